// The command bytes of the dispatch table, and what the table says of each:
// its ReaderMode gate and the result a time-out (code -2) gives. Header only and
// free of GoogleTest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelvtest {

constexpr std::uint8_t kListedCommands[] = {0x01, 0x10, 0x20, 0x21, 0x25, 0x30, 0x31, 0x32,
                                            0x33, 0x50, 0x51, 0x60, 0x70, 0x71, 0x86, 0xF0,
                                            0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6};
constexpr std::size_t kListedCount = sizeof kListedCommands;

inline bool isListed(int cmd) {
  for (std::uint8_t c : kListedCommands) {
    if (c == cmd) return true;
  }
  return false;
}

// None: runs in every mode (0x10, 0xF4). AnyMode: result 2 and no response in
// mode 0. Detection: as AnyMode, then 03 21 FC for a first technology code 0.
// TypeA: result 1 and no response outside modes 3 and 4 (0x32, 0x33).
enum class Gate { None, AnyMode, Detection, TypeA };

inline Gate gateOf(int cmd) {
  switch (cmd) {
    case 0x10:
    case 0xF4:
      return Gate::None;
    case 0x21:
      return Gate::Detection;
    case 0x32:
    case 0x33:
      return Gate::TypeA;
    default:
      return Gate::AnyMode;
  }
}

}  // namespace pelvtest
