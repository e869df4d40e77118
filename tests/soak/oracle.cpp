#include "oracle.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "field.h"
#include "pelvane.h"
#include "support/cards.h"

namespace soak {

namespace {

constexpr int kFelicaServiceIndex = 1;
constexpr std::uint8_t kIcCode = 0x32;
constexpr std::uint8_t kFirmwareVersion = 0x01;

}  // namespace

Check success() { return {Verdict::Success, ""}; }
Check allowedFailure(std::string d) { return {Verdict::AllowedFailure, std::move(d)}; }
Check wrong(std::string d) { return {Verdict::Wrong, std::move(d)}; }

Bytes felicaIdm() { return pelvtest::hex(pelvtest::kIdm); }
Bytes typeAUid() { return pelvtest::hex(pelvtest::kUid4); }

std::string hexOf(const std::uint8_t* p, std::size_t n, std::size_t most) {
  return pelvtest::toHex(p, n < most ? n : most) + (n > most ? " .." : "");
}

std::string responseText(const std::uint8_t* r) {
  if (untouched(r, 3)) return "untouched";
  std::size_t n = r[0];
  if (r[0] == 0xFF) n = static_cast<std::size_t>(r[1]) << 8 | r[2];  // the long form of 0x86
  n = std::min<std::size_t>(std::max<std::size_t>(n, 3), PELVANE_RESPONSE_MAX);
  return pelvtest::toHex(r, n);
}

bool isControllerStatus(std::uint8_t s) {
  return s != 0x00 && s != 0xFF && s != 0xFE && s != 0xFD && s != 0xFC && s != 0xF9;
}

bool untouched(const std::uint8_t* r, std::size_t n) {
  return std::all_of(r, r + n, [](std::uint8_t b) { return b == kSentinel; });
}

Check checkFailure(std::uint8_t cmd, std::uint16_t result, const std::uint8_t* r,
                   std::initializer_list<FailureOutcome> allowed) {
  if (r[0] != 0x03 || r[1] != cmd) {
    return wrong("failure response not 03 CMD STATUS");
  }
  for (const FailureOutcome& a : allowed) {
    if (a.result != result) continue;
    if (a.status == kAnyController ? isControllerStatus(r[2]) : a.status == r[2]) {
      return allowedFailure(hexOf(r, 3));
    }
  }
  char b[96];
  std::snprintf(b, sizeof b, "result %u with response %s is not an outcome of command %02X",
                result, hexOf(r, 3).c_str(), cmd);
  return wrong(b);
}

Check checkSelect(std::uint16_t result, const std::uint8_t* r) {
  if (result == PELVANE_RESULT_DONE) {
    const std::uint8_t want[] = {0x05, 0x10, 0x00, kIcCode, kFirmwareVersion};
    if (std::memcmp(r, want, sizeof want) == 0) return success();
    return wrong("success with another answer");
  }
  if (result == PELVANE_RESULT_FAILED && untouched(r, 16)) return allowedFailure("result 1");
  return wrong("result " + std::to_string(result) + " with a response written");
}

Check checkPoll(const Bytes& id, std::uint16_t result, const std::uint8_t* r) {
  if (result == PELVANE_RESULT_DONE && r[2] == 0x00) {
    Bytes want = {0x00, 0x20, 0x00};
    want.insert(want.end(), id.begin(), id.end());
    want[0] = static_cast<std::uint8_t>(want.size());
    if (std::memcmp(r, want.data(), want.size()) == 0) return success();
    return wrong("poll answered another card");
  }
  return checkFailure(0x20, result, r, {{0, 0xFE}, {1, 0xFF}});
}

Check checkFelicaRead(int first, int count, std::uint16_t result, const std::uint8_t* r) {
  if (result == PELVANE_RESULT_DONE && r[2] == 0x00) {
    if (r[0] != 3 + 16 * count || r[1] != 0x30) return wrong("read answered with another length");
    for (int i = 0; i < count; ++i) {
      for (int j = 0; j < 16; ++j) {
        const auto want = static_cast<std::uint8_t>(16 * (first + i) + j + 0x40 * kFelicaServiceIndex + 1);
        if (r[3 + 16 * i + j] != want) return wrong("FeliCa block data differ");
      }
    }
    return success();
  }
  return checkFailure(0x30, result, r, {{0, 0xFE}, {1, 0xFF}, {1, 0xF9}, {1, kAnyController}});
}

Check checkMifareRead(int sector, int firstBlock, int count, std::uint16_t result, const std::uint8_t* r) {
  if (result == PELVANE_RESULT_DONE && r[2] == 0x00) {
    if (r[0] != 3 + 16 * count || r[1] != 0x30) return wrong("read answered with another length");
    for (int i = 0; i < count; ++i) {
      const int block = 4 * sector + firstBlock + i;
      for (int j = 0; j < 16; ++j) {
        if (r[3 + 16 * i + j] != static_cast<std::uint8_t>(block + j)) return wrong("MIFARE block data differ");
      }
    }
    return success();
  }
  return checkFailure(0x30, result, r, {{0, 0xFE}, {1, 0xFF}, {1, kAnyController}});
}

Check checkPeerActivation(std::uint16_t result, const std::uint8_t* r) {
  if (result == PELVANE_RESULT_DONE) {
    const std::uint8_t want[] = {0x03, 0x50, 0x00};
    if (std::memcmp(r, want, 3) == 0) return success();
    return wrong("activation answered otherwise");
  }
  return checkFailure(0x50, result, r, {{1, 0xFE}, {1, 0xFF}, {1, kAnyController}});
}

Check checkPassThrough(const Bytes& data, std::uint16_t result, const std::uint8_t* r) {
  const std::size_t n = data.size();
  // The peer echoes the data; an echo of one byte is too short an answer, in a
  // normal frame and in an extended one alike: 03 86 FE with result 1.
  if (n < 2 && result == PELVANE_RESULT_FAILED && r[0] == 0x03 && r[1] == 0x86 && r[2] == 0xFE) {
    return success();
  }
  if (result == PELVANE_RESULT_DONE && r[0] != 0xFF && r[2] == 0x00) {
    if (n < 2) return wrong("success for a one-byte answer");
    if (r[0] != n + 3 || r[1] != 0x86) return wrong("the echo's head differs");
    const auto differs = std::mismatch(data.begin(), data.end(), r + 3);
    if (differs.first != data.end()) {
      return wrong("the echo differs from response byte " + std::to_string(3 + (differs.first - data.begin())));
    }
    return success();
  }
  return checkFailure(0x86, result, r, {{0, 0xFE}, {1, 0xFF}, {1, 0xFE}, {1, kAnyController}});
}

Check checkSegmentedRead(int block, int first, int count, bool portOpen, std::uint16_t result,
                         const std::uint8_t* r) {
  const int got = r[0];
  if (r[1] != 0x70 || r[3] != 0xA7 || got > count) return wrong("response head differs");
  for (int k = 0; k < got; ++k) {
    const int q = 6 * block + first + k;
    const auto b = static_cast<std::uint8_t>(q / 6);
    const auto s = static_cast<std::uint8_t>(q % 6);
    for (int i = 0; i < 243; ++i) {
      if (r[4 + 243 * k + i] != pelvsim::DepPeer::segmentByte(b, s, static_cast<std::size_t>(i))) {
        return wrong("segment " + std::to_string(k) + " differs");
      }
    }
  }
  if (result == PELVANE_RESULT_DONE && r[2] == 0x00) {
    if (got == count) return success();
    return allowedFailure("short transfer of " + std::to_string(got));  // a time-out mid-way
  }
  if (result == PELVANE_RESULT_FAILED && r[2] == 0xFF) {
    if (portOpen) return wrong("a link failure left the port open");
    return allowedFailure("link failure, port closed");
  }
  if (result == PELVANE_RESULT_FAILED && r[2] == 0x00) return allowedFailure("controller status");
  return wrong("result " + std::to_string(result) + " is not an outcome of command 70");
}

Check checkRegisterRead(std::uint8_t value, std::uint16_t result, const std::uint8_t* r) {
  if (result == PELVANE_RESULT_DONE && r[2] == 0x00) {
    if (r[0] == 0x04 && r[1] == 0xF1 && r[3] == value) return success();
    return wrong("register read answered otherwise (the register holds " + pelvtest::hexByte(value) + ")");
  }
  return checkFailure(0xF1, result, r, {{0, 0xFE}, {1, 0xFF}});
}

Check checkGpioRead(std::uint8_t p3, std::uint8_t p7, std::uint16_t result, const std::uint8_t* r) {
  if (result == PELVANE_RESULT_DONE && r[2] == 0x00) {
    if (r[0] == 0x06 && r[1] == 0xF5 && r[3] == p3 && r[4] == p7) return success();
    return wrong("GPIO read answered otherwise (the ports hold " + pelvtest::hexByte(p3) + " " +
                 pelvtest::hexByte(p7) + ")");
  }
  return checkFailure(0xF5, result, r, {{0, 0xFE}, {1, 0xFF}});
}

Bytes expectedApduAnswer(bool select, std::uint16_t offset, int le) {
  Bytes want;
  if (!select) {
    for (int k = 0; k < le; ++k) want.push_back(pelvsim::TypeBCard::dataByte(offset + k));
  }
  want.push_back(0x90);
  want.push_back(0x00);
  return want;
}

}  // namespace soak
