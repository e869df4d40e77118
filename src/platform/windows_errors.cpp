// Meanings of the Windows error codes an opening can meet, shared by the Win32
// platform and the simulated one (which reports the same codes).
#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdio>

#include "platform/platform.h"

namespace pelvane {

namespace {

struct KnownError {
  std::uint32_t code;
  const char* text;
  ErrorCause cause;
};

// A COM port held by another program gives ERROR_ACCESS_DENIED; a bridge that
// was unplugged while open gives ERROR_GEN_FAILURE or ERROR_DEVICE_NOT_CONNECTED.
constexpr KnownError kKnownErrors[] = {
    {1, "invalid function", ErrorCause::Other},
    {2, "file not found", ErrorCause::NotFound},
    {3, "path not found", ErrorCause::NotFound},
    {5, "access denied", ErrorCause::InUse},
    {6, "invalid handle", ErrorCause::Other},
    {22, "the device does not recognize the command", ErrorCause::Other},
    {31, "a device attached to the system is not functioning", ErrorCause::Other},
    {32, "sharing violation", ErrorCause::InUse},
    {87, "invalid parameter", ErrorCause::Other},
    {121, "the semaphore timeout period has expired", ErrorCause::Other},
    {433, "a device which does not exist was specified", ErrorCause::NotFound},
    {1167, "the device is not connected", ErrorCause::NotFound},
};

}  // namespace

ErrorCause describeLastError(std::uint32_t* code, char* text, std::size_t size) {
  const std::uint32_t error = lastError();
  if (code != nullptr) *code = error;
  if (text == nullptr || size == 0) return ErrorCause::Other;
  for (const KnownError& e : kKnownErrors) {
    if (e.code == error) {
      std::snprintf(text, size, "%s", e.text);
      return e.cause;
    }
  }
  std::snprintf(text, size, "unknown error");
#if defined(_WIN32)
  // The system's own wording, without its closing period and line break.
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 error, 0, text, static_cast<DWORD>(size), nullptr);
  if (n == 0) {
    std::snprintf(text, size, "unknown error");
  } else {
    for (DWORD i = n; i > 0 && (text[i - 1] == '\r' || text[i - 1] == '\n' || text[i - 1] == '.'); --i) {
      text[i - 1] = '\0';
    }
  }
#endif
  return ErrorCause::Other;
}

const char* portCallName(PortCall call) {
  switch (call) {
    case PortCall::Open: return "CreateFileA";
    case PortCall::GetTimeouts: return "GetCommTimeouts";
    case PortCall::SetTimeouts: return "SetCommTimeouts";
    case PortCall::GetLineSettings: return "GetCommState";
    case PortCall::SetLineSettings: return "SetCommState";
  }
  return "?";
}

}  // namespace pelvane
