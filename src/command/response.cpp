#include "command/response.h"

#include <cstring>

#include "command/dispatcher.h"
#include "link/exchange.h"

namespace pelvane {

void writeFailure(std::uint8_t* response, std::uint8_t cmd, std::int32_t code) {
  response[0] = 0x03;
  response[1] = cmd;
  response[2] = static_cast<std::uint8_t>(code & 0xFF);
}

void writeSuccess(std::uint8_t* response, std::uint8_t cmd, const std::uint8_t* data,
                  std::int32_t n) {
  if (n < 0) n = 0;
  if (n > kShortResponseData) n = kShortResponseData;
  response[0] = static_cast<std::uint8_t>(3 + n);
  response[1] = cmd;
  response[2] = 0x00;
  if (n > 0) std::memcpy(response + 3, data, static_cast<std::size_t>(n));
}

std::uint16_t resultFor(std::int32_t code, TimeoutRule rule) {
  if (code == 0) return kResultDone;
  if (code == kCodeBadLength) return kResultRefused;
  if (code == kLinkTimeout && rule == TimeoutRule::Done) return kResultDone;
  return kResultFailed;
}

std::uint16_t finish(std::uint8_t* response, std::uint8_t cmd, std::int32_t code,
                     const std::uint8_t* data, std::int32_t n, TimeoutRule rule) {
  if (code == 0) {
    writeSuccess(response, cmd, data, n);
  } else {
    writeFailure(response, cmd, code);
  }
  return resultFor(code, rule);
}

}  // namespace pelvane
