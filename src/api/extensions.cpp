// Functions of our own beside the RF_ and RW_ interfaces: a trace sink the host
// can install, device paths for port numbers, and a faster serial line.
#include <atomic>
#include <cstdint>

#include "command/dispatcher.h"
#include "pelvane.h"
#include "platform/platform.h"
#include "port/line_speed.h"

namespace pelvane {
namespace {

// The host's sink uses the exported calling convention; the dispatcher's sink
// is a plain function, so lines pass through this adapter. The host may replace
// its sink while other threads trace: each line goes to the sink loaded for it.
std::atomic<PelvaneTraceSink> hostSink{nullptr};

void forwardTrace(const char* line) {
  const PelvaneTraceSink sink = hostSink.load(std::memory_order_acquire);
  if (sink != nullptr) sink(line);
}

}  // namespace
}  // namespace pelvane

extern "C" {

PELVANE_API std::int32_t PELVANE_CALL PV_SetTraceSink(PelvaneTraceSink sink) {
  // The adapter stays installed, null host sink or not, so that setters racing
  // on different threads end with the sink the last of them stored.
  pelvane::hostSink.store(sink, std::memory_order_release);
  pelvane::setTraceSink(pelvane::forwardTrace);
  return PELVANE_EXT_DONE;
}

PELVANE_API std::int32_t PELVANE_CALL PV_SetPortDevice(std::int32_t port, const char* path) {
  return pelvane::setPortDevice(port, path) ? PELVANE_EXT_DONE : PELVANE_EXT_REFUSED;
}

PELVANE_API std::int32_t PELVANE_CALL PV_SetLineSpeed(std::int32_t port, std::int32_t baud) {
  if (baud < 0) return PELVANE_EXT_REFUSED;
  return pelvane::setRequestedSpeed(port, static_cast<std::uint32_t>(baud)) ? PELVANE_EXT_DONE
                                                                            : PELVANE_EXT_REFUSED;
}

}  // extern "C"
