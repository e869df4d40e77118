// Writing complete frames to the port as they are: no purge, no acknowledgement,
// no answer. Used for the InSelect frame of mode selection and the ACK frame.
#pragma once

#include <cstdint>

namespace pelvane {

// One WriteFile of n bytes on the slot's handle. 0 written, -1 failed (also for
// a port outside 1..256, a closed slot or a negative count).
std::int32_t writeRaw(int port, const std::uint8_t* bytes, std::int32_t n);

// PurgeComm of both buffers on the slot's handle, outside any exchange.
// 0 cleared, -2 failed (also for a port outside 1..256 or a closed slot).
std::int32_t purgeRaw(int port);

}  // namespace pelvane
