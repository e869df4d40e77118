// The outcomes each call of the soak may have: for every command the results
// and responses the documented behaviour allows, and on success the data the
// virtual cards really hold. A check sees only what the call sent and got, plus
// what it needs of the controller's state, so a PROBLEM line that names both is
// enough to write a unit test.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "support/hex.h"

namespace soak {

using pelvtest::Bytes;

enum class Verdict { Success, AllowedFailure, Wrong };

struct Check {
  Verdict verdict;
  std::string detail;
};

Check success();
Check allowedFailure(std::string detail);
Check wrong(std::string detail);

constexpr std::uint8_t kSentinel = 0xEE;  // fills the response buffer before each call

// The cards in the field (field.h gives their contents).
Bytes felicaIdm();
Bytes typeAUid();
constexpr std::uint16_t kFelicaService = 0x090F;  // read-only, 10 blocks, service number 1

std::string hexOf(const std::uint8_t* p, std::size_t n, std::size_t most = 24);
// The response a command left: its short or long form whole, or "untouched"
// when the call wrote nothing.
std::string responseText(const std::uint8_t* r);

bool isControllerStatus(std::uint8_t s);
bool untouched(const std::uint8_t* r, std::size_t n);

// One failure outcome a command may give: result and STATUS of a 03 CMD STATUS
// response. kAnyController stands for any controller status byte.
constexpr int kAnyController = -1;
struct FailureOutcome {
  std::uint16_t result;
  int status;
};
Check checkFailure(std::uint8_t cmd, std::uint16_t result, const std::uint8_t* r,
                   std::initializer_list<FailureOutcome> allowed);

// ---- the commands the soak sends ----
// 0x10 mode selection: 05 10 00 IC VER, or result 1 with the response untouched.
Check checkSelect(std::uint16_t result, const std::uint8_t* r);
// 0x20 polling: the card's IDm (FeliCa) or UID (Type A) in `id`.
Check checkPoll(const Bytes& id, std::uint16_t result, const std::uint8_t* r);
// 0x30 FeliCa read of `count` blocks from `first` of the soak's read-only service.
Check checkFelicaRead(int first, int count, std::uint16_t result, const std::uint8_t* r);
// 0x30 MIFARE Classic read of `count` blocks from `firstBlock` of `sector`.
Check checkMifareRead(int sector, int firstBlock, int count, std::uint16_t result, const std::uint8_t* r);
// 0x50 peer activation.
Check checkPeerActivation(std::uint16_t result, const std::uint8_t* r);
// 0x86 pass-through of `data` to the peer, which echoes it. An answer of fewer
// than two bytes fails as 03 86 FE, result 1, whichever frame carried it.
Check checkPassThrough(const Bytes& data, std::uint16_t result, const std::uint8_t* r);
// 0x70 segmented read of `count` segments from `first` of peer block `block`.
// `portOpen`: whether the port is still open after the call.
Check checkSegmentedRead(int block, int first, int count, bool portOpen, std::uint16_t result,
                         const std::uint8_t* r);
// 0xF1 register read; `value` is what the controller holds.
Check checkRegisterRead(std::uint8_t value, std::uint16_t result, const std::uint8_t* r);
// 0xF5 GPIO read; `p3` and `p7` as the controller holds them.
Check checkGpioRead(std::uint8_t p3, std::uint8_t p7, std::uint16_t result, const std::uint8_t* r);
// What a Type B APDU of the soak must answer: READ BINARY gives the card's data
// from `offset`, SELECT only the status words.
Bytes expectedApduAnswer(bool select, std::uint16_t offset, int le);

}  // namespace soak
