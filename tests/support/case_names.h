// Short, stable test names for parameterised cases that carry a `label`:
// its letters and digits ("no dn before no entry" -> "nodnbeforenoentry").
#pragma once

#include <cctype>
#include <string>

namespace qortest {

struct LabelName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    std::string name;
    for (const char* p = info.param.label; *p != '\0'; ++p) {
      if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
    }
    return name;
  }
};

}  // namespace qortest
