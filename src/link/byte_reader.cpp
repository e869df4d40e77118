#include "link/byte_reader.h"

#include "platform/platform.h"
#include "port/port_table.h"

namespace pelvane {

namespace {
// The deadline is tested once every this many empty polls (the first test on the 51st).
constexpr int kPollsPerDeadlineTest = 50;
}  // namespace

std::int32_t readByte(int port, std::uint8_t* out) {
  if (out == nullptr || port < 1 || port > kPortCount) return -1;
  const PortHandle handle = slot(port).handle;
  int polls = 0;
  for (;;) {
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    if (!clearErrors(handle, &errors, &waiting)) return -1;
    // A line error goes to the read as well: ClearCommError has already cleared it.
    if (errors != 0 || waiting >= 1) break;
    if (polls == kPollsPerDeadlineTest) {
      if (deadlineExpired(port)) return -2;
      polls = 0;
    }
    // One empty poll, whether the pause ran its 1 ms or ended early on input.
    pauseForInput(handle, 1);
    ++polls;
  }
  std::uint8_t byte = 0;
  std::uint32_t delivered = 0;
  if (!readOneByte(handle, &byte, &delivered)) return -1;
  // A read that ended on its time-out (after a line error with nothing queued)
  // delivered no byte; reporting -1 keeps a never-received byte out of the frame.
  if (delivered == 0) return -1;
  *out = byte;
  return 0;
}

}  // namespace pelvane
