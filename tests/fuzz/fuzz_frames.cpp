// Frame building and parsing. The first part of the input is a payload that
// buildFrame wraps; the frame is checked against the frame rules and then, as a
// reader frame (TFI D5), read back through exchangeFrame, which must return the
// payload unchanged. The rest of the input is an arbitrary answer stream for one
// exchange, whose Answer is then probed at every index through the accessors.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "link/exchange.h"
#include "link/frame.h"

namespace {

using namespace pelvfuzz;

#define REQUIRE(c) \
  do {             \
    if (!(c)) std::abort(); \
  } while (0)

std::uint8_t sum(const std::uint8_t* p, std::int32_t n) {
  unsigned s = 0;
  for (std::int32_t i = 0; i < n; ++i) s += p[i];
  return static_cast<std::uint8_t>(s);
}

// buildFrame against the rules of normal and extended frames; returns the frame.
std::vector<std::uint8_t> checkBuild(const std::uint8_t* payload, std::int32_t n) {
  std::uint8_t out[pelvane::kFrameCapacity + 16];
  std::memset(out, 0xEE, sizeof out);
  std::int32_t length = -7;
  REQUIRE(pelvane::buildFrame(payload, n, out, &length) == 0);
  const bool extended = n > pelvane::kLongestNormalPayload;
  REQUIRE(length == n + (extended ? 11 : 8));
  REQUIRE(length <= pelvane::kFrameCapacity);
  REQUIRE(out[length] == 0xEE);  // nothing written past the frame
  REQUIRE(out[0] == 0x00 && out[1] == 0x00 && out[2] == 0xFF);
  std::int32_t tfiAt;
  if (extended) {
    REQUIRE(out[3] == 0xFF && out[4] == 0xFF);
    REQUIRE(out[5] * 256 + out[6] == n + 1);
    REQUIRE(static_cast<std::uint8_t>(out[5] + out[6] + out[7]) == 0);
    tfiAt = 8;
  } else {
    REQUIRE(out[3] == n + 1);
    REQUIRE(static_cast<std::uint8_t>(out[3] + out[4]) == 0);
    tfiAt = 5;
  }
  REQUIRE(out[tfiAt] == pelvane::kTfiToReader);
  REQUIRE(n == 0 || std::memcmp(out + tfiAt + 1, payload, static_cast<std::size_t>(n)) == 0);
  REQUIRE(sum(out + tfiAt, n + 2) == 0);  // TFI + payload + DCS
  REQUIRE(out[length - 1] == 0x00);
  return std::vector<std::uint8_t>(out, out + length);
}

// Every accessor of the Answer agrees with the bytes received.
void probe(const pelvane::Answer& a) {
  REQUIRE(a.received >= 0 && a.received <= pelvane::kAnswerCapacity);
  REQUIRE(a.frameLength >= 0 && a.frameLength <= a.received);
  const std::int32_t count = pelvane::answerDataCount(a);
  REQUIRE(count >= 0);
  if (!pelvane::hasAnswer(a)) {
    REQUIRE(count == 0 && pelvane::answerLength(a) == -1);
    REQUIRE(!pelvane::answerIsExtended(a));
  } else {
    const bool extended = pelvane::answerIsExtended(a);
    const std::int32_t base = extended ? 10 : 7;
    REQUIRE(a.frameLength >= base);  // header, TFI and answer code are in
    REQUIRE(base + count <= a.frameLength);
    // A frame of either form is only taken with both checksums right.
    if (!extended) {
      REQUIRE(static_cast<std::uint8_t>(a.bytes[3] + a.bytes[4]) == 0);
      REQUIRE(sum(a.bytes + 5, a.bytes[3] + 1) == 0);
      REQUIRE(a.frameLength == a.bytes[3] + 7);
    } else {
      const std::int32_t len = a.bytes[5] * 256 + a.bytes[6];
      REQUIRE(static_cast<std::uint8_t>(a.bytes[5] + a.bytes[6] + a.bytes[7]) == 0);
      REQUIRE(sum(a.bytes + 8, len + 1) == 0);
      REQUIRE(a.frameLength == len + 10);
    }
  }
  for (std::int32_t i = -3; i <= count + 3; ++i) {
    const int b = pelvane::answerByte(a, i);
    if (i < 0 || i >= count) {
      REQUIRE(b == -1);
    } else {
      REQUIRE(b >= 0 && b <= 255);
      std::uint8_t one = 0;
      REQUIRE(pelvane::answerCopy(a, i, 1, &one) && one == b);
    }
  }
  std::uint8_t copy[pelvane::kAnswerCapacity];
  REQUIRE(pelvane::answerCopy(a, 0, count, copy));
  REQUIRE(!pelvane::answerCopy(a, 0, count + 1, copy));
  REQUIRE(!pelvane::answerCopy(a, -1, 1, copy));
  REQUIRE(!pelvane::answerCopy(a, count, 1, copy));
  REQUIRE(!pelvane::answerCopy(a, 1, 0x7FFFFFFF, copy));
  REQUIRE(!pelvane::answerCopy(a, 0x7FFFFFFF, 1, copy));
  REQUIRE(pelvane::answerCopy(a, count, 0, copy));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  ScriptedFarSide far;
  far.keepRecord = false;
  resetPlatform(&far);
  openSlot(115200, 1.0);
  pelvane::Answer answer;

  // First, a payload of 0..255 bytes, built and read back.
  const std::int32_t n = in.byte();
  std::vector<std::uint8_t> payload;
  in.take(static_cast<std::size_t>(n), &payload);
  payload.resize(static_cast<std::size_t>(n));
  checkBuild(payload.data(), n);
  {
    std::uint8_t out[pelvane::kFrameCapacity];
    std::int32_t length = 99;
    REQUIRE(pelvane::buildFrame(payload.data(), -1, out, &length) != 0 && length == 0);
    REQUIRE(pelvane::buildFrame(payload.data(), 256, out, &length) != 0 && length == 0);
  }
  // The same payload from the reader's side, in the same frame form.
  far.reply(pelvtest::cat(pelvtest::ACK(),
                          pelvtest::infoFrame(0xD5, payload, n > pelvane::kLongestNormalPayload)));
  pelvane::armDeadline(kPort);
  const std::uint8_t command[] = {0x02};  // any command but RFRegulationTest
  std::uint8_t hostFrame[pelvane::kFrameCapacity];
  std::int32_t hostLength = 0;
  pelvane::buildFrame(command, 1, hostFrame, &hostLength);
  const std::int32_t echoed = pelvane::exchangeFrame(kPort, hostFrame, hostLength, &answer);
  if (n == 0) {
    // A frame of the TFI alone carries no answer code: a link failure.
    REQUIRE(echoed == -1);
  } else {
    REQUIRE(echoed == 0);
    probe(answer);
    REQUIRE(pelvane::hasAnswer(answer));
    REQUIRE(pelvane::answerLength(answer) == n + 1);
    REQUIRE(pelvane::answerDataCount(answer) == n - 1);
    for (std::int32_t i = 1; i < n; ++i) REQUIRE(pelvane::answerByte(answer, i - 1) == payload[i]);
  }

  // Then the rest of the input is what the reader sends after one command;
  // then the same stream to a polling exchange.
  std::vector<std::uint8_t> stream;
  const std::uint8_t selector = in.byte();
  in.take(4096, &stream);
  far.reply(stream);
  pelvane::armDeadline(kPort);
  const std::uint8_t regulation[] = {0x58, 0x00};
  const bool regulationTest = (selector & 1) != 0;
  pelvane::buildFrame(regulationTest ? regulation : command, regulationTest ? 2 : 1, hostFrame,
                      &hostLength);
  const std::int32_t code = pelvane::exchangeFrame(kPort, hostFrame, hostLength, &answer);
  REQUIRE(code == 0 || code == -1 || code == -2);
  if (code != 0) REQUIRE(!pelvane::hasAnswer(answer));
  probe(answer);

  far.reply(stream);
  pelvane::armDeadline(kPort);
  const std::uint8_t poll[] = {0x4A, 0x01, static_cast<std::uint8_t>(selector & 0x03)};
  const std::int32_t pollCode = pelvane::exchangeCommand(kPort, poll, 3, &answer, 1);
  REQUIRE(pollCode == 0 || pollCode == -1 || pollCode == -2);
  probe(answer);

  pelvane::dropHandle(kPort);
  return 0;
}
