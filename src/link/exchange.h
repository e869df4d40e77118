// One controller command: write its frame, read the acknowledgement and the
// answer frame, check the checksums; optionally repeat while no target is listed.
#pragma once

#include <cstdint>

namespace pelvane {

// Link codes.
constexpr std::int32_t kLinkOk = 0;
constexpr std::int32_t kLinkFailed = -1;   // write, read or checksum failure
constexpr std::int32_t kLinkTimeout = -2;  // deadline passed, or purge failed

// Room for any normal answer frame (262 bytes) and extended answers of up to
// kAnswerCapacity - 10 bytes of TFI and answer. A longer answer fails with -1.
constexpr std::int32_t kAnswerCapacity = 1024;

// The receive buffer of one exchange. Only `received` bytes from offset 0 are
// valid; `frameLength` is the length of the answer frame read, 0 when there is
// none (NACK, RFRegulationTest, failure). Read it through the accessors below,
// which refuse anything that was not received in this exchange.
struct Answer {
  std::uint8_t bytes[kAnswerCapacity];
  std::int32_t received;
  std::int32_t frameLength;
};

std::int32_t exchangeFrame(int port, const std::uint8_t* frame, std::int32_t frameLength,
                           Answer* answer);
// poll != 0: repeat while the answer has LEN 3 (no target listed), up to 100001
// sends, until the deadline; Type B polls switch the field off between tries.
std::int32_t exchangeCommand(int port, const std::uint8_t* payload, std::int32_t n,
                             Answer* answer, int poll);

// True when an answer frame was read in this exchange.
bool hasAnswer(const Answer& answer);
// True when the answer frame is an extended one.
bool answerIsExtended(const Answer& answer);
// ALEN: the answer frame's LEN (TFI + answer code + data), -1 without a frame.
std::int32_t answerLength(const Answer& answer);
// Number of data bytes after the answer code (ALEN - 2), 0 without a frame.
std::int32_t answerDataCount(const Answer& answer);
// Data byte d[i] (after TFI and answer code) as 0..255; -1 when the frame has
// no such byte.
int answerByte(const Answer& answer, std::int32_t i);
// Copies d[from] .. d[from + n - 1]; false (nothing copied) when any is missing.
bool answerCopy(const Answer& answer, std::int32_t from, std::int32_t n, std::uint8_t* out);

}  // namespace pelvane
