// The command bytes command-reference.md lists, spelled out here rather than
// taken from the dispatcher. Header only and free of GoogleTest.
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

}  // namespace pelvtest
