#include "link/raw_write.h"

#include "link/exchange.h"
#include "platform/platform.h"
#include "port/port_table.h"

namespace pelvane {

std::int32_t writeRaw(int port, const std::uint8_t* bytes, std::int32_t n) {
  if (!slotOpen(port) || n < 0 || (n > 0 && bytes == nullptr)) return kLinkFailed;
  if (n == 0) return kLinkOk;
  if (!writeBytes(slot(port).handle, bytes, static_cast<std::uint32_t>(n))) return kLinkFailed;
  return kLinkOk;
}

std::int32_t purgeRaw(int port) {
  if (!slotOpen(port)) return kLinkTimeout;
  if (!purgeBuffers(slot(port).handle)) return kLinkTimeout;
  return kLinkOk;
}

}  // namespace pelvane
