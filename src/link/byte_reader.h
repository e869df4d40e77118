#pragma once

#include <cstdint>

namespace pelvane {

// One byte from the port under the slot's deadline.
// 0 read; -1 ClearCommError/ReadFile failed (or read returned no byte); -2 deadline passed.
std::int32_t readByte(int port, std::uint8_t* out);

}  // namespace pelvane
