// Functions of our own beside the RF_ and RW_ interfaces: a trace sink the host
// can install, and device paths for port numbers.
#include <cstdint>

#include "command/dispatcher.h"
#include "pelvane.h"
#include "platform/platform.h"

namespace pelvane {
namespace {

// The host's sink uses the exported calling convention; the dispatcher's sink
// is a plain function, so lines pass through this adapter.
PelvaneTraceSink hostSink = nullptr;

void forwardTrace(const char* line) {
  const PelvaneTraceSink sink = hostSink;
  if (sink != nullptr) sink(line);
}

}  // namespace
}  // namespace pelvane

extern "C" {

PELVANE_API std::int32_t PELVANE_CALL PV_SetTraceSink(PelvaneTraceSink sink) {
  pelvane::hostSink = sink;
  pelvane::setTraceSink(sink != nullptr ? pelvane::forwardTrace : nullptr);
  return PELVANE_EXT_DONE;
}

PELVANE_API std::int32_t PELVANE_CALL PV_SetPortDevice(std::int32_t port, const char* path) {
  return pelvane::setPortDevice(port, path) ? PELVANE_EXT_DONE : PELVANE_EXT_REFUSED;
}

}  // extern "C"
