// Frames of the PN532 host interface as the controller builds them (PN532 user
// manual, 6.2.1): ACK, NACK, the error frame and information frames, normal and
// extended. Finding host frames in the byte stream is Controller::State::parse.
#pragma once

#include <cstdint>

#include "controller_state.h"

namespace pelvsim {

constexpr std::uint8_t kTfiHost = 0xD4;
constexpr std::uint8_t kTfiController = 0xD5;
constexpr std::uint8_t kAck[6] = {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00};
constexpr std::uint8_t kNack[6] = {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00};
// Application-level error frame (PN532 user manual, 6.2.1.5).
constexpr std::uint8_t kErrorFrame[8] = {0x00, 0x00, 0xFF, 0x01, 0xFF, 0x7F, 0x81, 0x00};

// 00 00 FF LEN LCS D5 answer DCS 00; extended (FF FF LENM LENL LCS) when asked
// or when TFI + answer exceed 255 bytes. The rule: LEN + LCS = 0, TFI + data + DCS = 0.
Bytes infoFrame(const Bytes& answerBytes, bool extended);
bool isExtended(const Bytes& frame);
// Spoils an answer frame as a scripted fault says (BadLcs, BadDcs, Truncated, Oversized).
void mangle(Bytes* frame, const FaultEntry& fault);

}  // namespace pelvsim
