// Spelling helpers for the card command tests: packets, InDataExchange answers
// and the controller commands the host wrote, as hex text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "command/handlers.h"
#include "support/harness.h"

namespace cardtest {

using namespace pelvtest;

// A CommandPacket: LEN, CMD, then the parameters given as hex text.
inline Bytes packet(std::uint8_t cmd, const std::string& params) {
  const Bytes body = hex(params);
  // Sized once and filled in place: GCC 12 at -O2 sees a false out-of-bounds
  // copy in inserting into a two-byte vector (-Warray-bounds, an error here).
  Bytes p(body.size() + 2);
  p[0] = static_cast<std::uint8_t>(body.size() + 2);
  p[1] = cmd;
  std::copy(body.begin(), body.end(), p.begin() + 2);
  return p;
}

// The host writes the next frame; the controller acknowledges and answers with
// the answer code and data given (TFI D5 added).
inline void answerNext(ScriptedFarSide& far, const Bytes& answerBytes) {
  far.reply(cat(ACK(), answer(answerBytes)));
}
inline void answerNext(ScriptedFarSide& far, const std::string& answerHex) {
  answerNext(far, hex(answerHex));
}

// InDataExchange answer: 41, status, then the target's bytes.
inline Bytes dataAnswer(std::uint8_t status, const Bytes& target = {}) {
  Bytes a{0x41, status};
  a.insert(a.end(), target.begin(), target.end());
  return a;
}

// The controller commands (payloads without TFI) of every frame the host wrote,
// as hex text; a write that is not a well-formed normal host frame shows as
// "BAD FRAME ...".
inline std::vector<std::string> sentCommands() {
  std::vector<std::string> out;
  for (const Bytes& w : pelvane::simport::writes()) {
    Bytes payload;
    out.push_back(hostPayload(w, &payload) ? toHex(payload) : "BAD FRAME " + toHex(w));
  }
  return out;
}

// A response buffer that shows whether a handler wrote into it.
struct ResponseBuffer {
  std::uint8_t bytes[512];
  ResponseBuffer() { std::memset(bytes, kUntouched, sizeof bytes); }
  bool untouched() const {
    for (std::uint8_t b : bytes) {
      if (b != kUntouched) return false;
    }
    return true;
  }
  // The short response packet, by its LEN.
  Bytes packet() const { return Bytes(bytes, bytes + bytes[0]); }
  std::string text() const { return toHex(packet()); }
};

// A request refused before any exchange, and the response and result it gets.
struct Refusal {
  const char* name;
  std::uint8_t mode;
  Bytes packet;
  const char* response;
  std::uint16_t result;
};

// One handler on a port with a scripted controller, the deadline armed for 1 s.
class HandlerTest : public LinkTest {
 protected:
  // Every case answered as listed, and nothing sent to the reader.
  void expectRefusals(pelvane::Handler handler, const std::vector<Refusal>& cases) {
    for (const Refusal& c : cases) {
      response = ResponseBuffer();
      EXPECT_EQ(runIn(c.mode, handler, c.packet), c.result) << c.name;
      EXPECT_EQ(response.text(), c.response) << c.name;
    }
    EXPECT_TRUE(pelvane::simport::writes().empty());
  }
  void SetUp() override {
    LinkTest::SetUp();
    arm(10.0);
  }
  std::uint16_t runIn(std::uint8_t mode, pelvane::Handler handler, const Bytes& p) {
    portSlot().readerMode = static_cast<pelvane::ReaderMode>(mode);
    return handler(kPort, p.data(), response.bytes);
  }
  ResponseBuffer response;
};

}  // namespace cardtest
