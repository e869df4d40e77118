// Meanings of errno values for the trace lines of a failed opening.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace pelvane {

ErrorCause describeLastError(std::uint32_t* code, char* text, std::size_t size) {
  const std::uint32_t error = lastError();
  if (code != nullptr) *code = error;
  if (text != nullptr && size > 0) std::snprintf(text, size, "%s", std::strerror(static_cast<int>(error)));
  switch (static_cast<int>(error)) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return ErrorCause::NotFound;
    case EBUSY:  // TIOCEXCL held by another open
    case EWOULDBLOCK:  // flock held by another program
      return ErrorCause::InUse;
    case EACCES:
    case EPERM:
      return ErrorCause::Denied;
    default:
      return ErrorCause::Other;
  }
}

const char* portCallName(PortCall call) {
  switch (call) {
    case PortCall::Open: return "open";
    case PortCall::GetTimeouts: return "reading the time-outs";
    case PortCall::SetTimeouts: return "setting the time-outs";
    case PortCall::GetLineSettings: return "tcgetattr";
    case PortCall::SetLineSettings: return "tcsetattr";
  }
  return "?";
}

}  // namespace pelvane
