#include "card/mifare.h"

#include <cstring>

#include "card/card_exchange.h"

namespace pelvane {

namespace {

constexpr std::uint8_t kMifareAuthTemplate[14] = {0x40, 0x01, 0x60};
constexpr int kAuthBlock = 3;
constexpr int kAuthKey = 4;
constexpr int kAuthUid = 10;
constexpr int kPacketUid = 2;
constexpr int kPacketKey = 6;

}  // namespace

std::int32_t authenticateKeyA(int port, const std::uint8_t* packet, std::uint8_t block,
                              Answer* answer) {
  std::uint8_t auth[sizeof kMifareAuthTemplate];
  std::memcpy(auth, kMifareAuthTemplate, sizeof auth);
  auth[kAuthBlock] = block;
  std::memcpy(auth + kAuthKey, packet + kPacketKey, 6);
  std::memcpy(auth + kAuthUid, packet + kPacketUid, 4);
  return exchangeWithTarget(port, auth, sizeof auth, answer);
}

}  // namespace pelvane
