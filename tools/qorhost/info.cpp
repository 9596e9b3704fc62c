// The dump of `qorhost info` (info.h): every line is read from the host
// that loaded the module, never from a directory.
#include "info.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <string>

#include <qorldap/abi/image.h>
#include <qorldap/table.h>

#include "trace.h"

namespace qorcli {
namespace {

std::string fixedText(const char* text, std::size_t size) {
  std::string out(text, size);
  out.resize(out.find('\0') == std::string::npos ? size : out.find('\0'));
  return out;
}

std::string utcTime(int64_t seconds) {
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (::gmtime_r(&time, &parts) == nullptr) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

void printImage(std::ostream& out, const Host& host) {
  const qor_image_info* image = host.module().image();
  if (image == nullptr) return;
  char magic[24];
  std::snprintf(magic, sizeof magic, "0x%llX", static_cast<unsigned long long>(image->magic));
  out << "image:\n"
      << "  marker:        " << fixedText(image->marker, sizeof image->marker) << '\n'
      << "  magic:         " << magic << '\n'
      << "  release:       " << fixedText(image->shortRelease, sizeof image->shortRelease) << '\n'
      << "  full release:  " << fixedText(image->fullRelease, sizeof image->fullRelease) << '\n'
      << "  build date:    " << fixedText(image->buildDate, sizeof image->buildDate) << '\n'
      << "  level:         " << fixedText(image->level, sizeof image->level) << '\n'
      << "  notice:        " << (image->notice != nullptr ? image->notice : "") << '\n';
  const qor_pcn* node = host.module().node();
  if (node != nullptr) {
    out << "  node:          '" << std::string(node->name, sizeof node->name) << "'\n";
  }
}

void printVersionRecord(std::ostream& out, const Host& host) {
  using VersionCopy = void (*)(qor_version_word*);
  auto copy = reinterpret_cast<VersionCopy>(host.module().symbol("vqvercn1"));
  if (copy == nullptr) return;
  qor_version_word words[QOR_VERSION_WORDS] = {};
  copy(words);
  out << "version record:\n";
  for (int i = 0; i < QOR_VERSION_WORDS; ++i) {
    if (i == 3) {
      out << "  " << i << ": " << words[i].number << " (" << utcTime(words[i].number) << ")\n";
    } else if (words[i].text != nullptr) {
      out << "  " << i << ": \"" << words[i].text << "\"\n";
    }
  }
}

void printTable(std::ostream& out, const Host& host) {
  const qorldap_table& table = host.ops();
  const auto& module = host.module();
  out << "entry table:\n";
  char line[160];
#define QOR_PRINT_OPERATION(word, name, result, parameters)                                 \
  {                                                                                         \
    void* address = reinterpret_cast<void*>(table.name);                                    \
    std::snprintf(line, sizeof line, "  %2d %-9s %p%s\n", word, #name, address,             \
                  address == module.symbol(#name) ? "" : "  (not the exported " #name ")"); \
    out << line;                                                                            \
  }
  QORLDAP_OPERATIONS(QOR_PRINT_OPERATION)
#undef QOR_PRINT_OPERATION
}

// The image record's short release for a version: one digit each for major,
// minor and patch ("1.0.0" reads "1.00"), as the module's build writes it.
std::string shortRelease(const std::string& version) {
  std::string digits;
  for (char c : version) {
    if (c != '.') digits += c;
  }
  return digits.empty() ? digits : digits.substr(0, 1) + "." + digits.substr(1);
}

// One version for qorhost and the module it loaded: the image record's
// short release is the same version written shorter, and a module of
// another version says so.
std::string versionLine(const Host& host) {
  const qor_image_info* image = host.module().image();
  const std::string release =
      image != nullptr ? fixedText(image->shortRelease, sizeof image->shortRelease) : "";
  if (release == shortRelease(QORHOST_VERSION)) {
    return std::string(QORHOST_VERSION) + " (qorhost and module; release " + release +
           " in the image record)";
  }
  return std::string("qorhost ") + QORHOST_VERSION + ", module release " + release;
}

}  // namespace

void printInfo(std::ostream& out, Host& host) {
  out << "version:         " << versionLine(host) << '\n';
  out << "module:          " << host.module().path() << '\n';
  auto& kernel = host.kernel();
  out << "extension:       vqeldap " << (kernel.extensionLoads() > 0 ? "loaded" : "not loaded")
      << '\n';
  if (kernel.extensionLoads() == 0) printDiagnostic(out, kernel.lastExtensionError());
  out << "pools:           "
      << (kernel.poolMode() == qorkernel::PoolMode::kChecked ? "checked" : "production") << '\n';
  printImage(out, host);
  printVersionRecord(out, host);
  printTable(out, host);
}

}  // namespace qorcli
