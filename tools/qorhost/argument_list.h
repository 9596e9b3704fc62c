// An argument list built at run time and handed over as a va_list, for the
// module's attribute builder, whose values follow as variable arguments: an
// attribute read from LDIF has as many values as the input gives.
//
// The va_list is laid out by the x86-64 System V calling convention: with the
// register save area marked as used up, va_arg reads every argument from the
// overflow area, one 8-byte slot per integer or pointer argument.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <vector>

#if !defined(__x86_64__) || !defined(__linux__)
#error "qorhost builds its va_list by the x86-64 System V calling convention"
#endif

namespace qorcli {

class ArgumentList {
 public:
  void addInt(int32_t value) {
    slots_.push_back(static_cast<uint64_t>(static_cast<int64_t>(value)));
  }
  void addInt64(int64_t value) { slots_.push_back(static_cast<uint64_t>(value)); }
  void addPointer(const void* value) { slots_.push_back(reinterpret_cast<uintptr_t>(value)); }

  // Calls `use` with a va_list positioned at the first argument added.
  template <typename Use>
  auto withVaList(Use use) {
    slots_.push_back(0);  // keeps the overflow area valid when no argument was added
    va_list arguments;
    Layout layout{kGeneralRegistersUsed, kVectorRegistersUsed, slots_.data(), nullptr};
    static_assert(sizeof(arguments) == sizeof(layout), "x86-64 va_list layout");
    std::memcpy(static_cast<void*>(&arguments), &layout, sizeof layout);
    return use(arguments);
  }

 private:
  // The x86-64 va_list record: offsets into the register save area (6 general
  // registers of 8 bytes, then 8 vector registers of 16 bytes), the overflow
  // area and the register save area.
  struct Layout {
    uint32_t generalOffset;
    uint32_t vectorOffset;
    void* overflowArea;
    void* registerSaveArea;
  };
  static constexpr uint32_t kGeneralRegistersUsed = 6 * 8;
  static constexpr uint32_t kVectorRegistersUsed = 6 * 8 + 8 * 16;

  std::vector<uint64_t> slots_;
};

}  // namespace qorcli
