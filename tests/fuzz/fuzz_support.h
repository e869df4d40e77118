// Shared pieces of the fuzz targets: a cursor over the fuzzer's input, far sides
// of the simulated line (one fed from the input, one wired to the simulated
// controller) and the set-up of one open port on the simulated platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "controller.h"
#include "platform/platform.h"
#include "platform/simulated.h"
#include "port/port_table.h"
#include "support/frames.h"
#include "support/sim_port.h"

namespace pelvfuzz {

using pelvtest::ControllerFarSide;
using pelvtest::kPath;
using pelvtest::kPort;
using pelvtest::ScriptedFarSide;

// Reads the fuzzer's bytes front to back; past the end every byte is 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t word() {
    const std::uint16_t high = byte();
    return static_cast<std::uint16_t>(high << 8 | byte());
  }
  // Up to n bytes (fewer at the end of the input) appended to out.
  void take(std::size_t n, std::vector<std::uint8_t>* out) {
    for (std::size_t i = 0; i < n && !empty(); ++i) out->push_back(data_[at_++]);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The controller's side of the line, spoken by the fuzzer. Every host write is
// answered by the next chunk of the input:
//   ctl, then the body
//   ctl bits 0-1  when the chunk arrives: at once, after 1 ms, after 30 ms, or
//                 after 3 s (past any short deadline)
//   ctl bit 2     the bytes are spaced 100 us apart instead of arriving together
//   ctl bit 3     the body length is a 16-bit word (capped at 1400), else one byte
//   ctl bit 4     the body is wrapped: ACK, then a reader frame (TFI D5) around the
//                 host command's code + 1 and the body, with correct checksums
//                 (extended above 254 bytes); bit 5 then spoils the DCS
//   ctl bit 6     the chunk answers nothing: the write goes unanswered
// Once the input is used up the controller stays silent.
class StreamFarSide : public pelvtest::TimedLine {
 public:
  explicit StreamFarSide(Input& input) : input_(input) {}

  void hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                 std::uint32_t) override {
    if (input_.empty()) return;
    const std::uint8_t ctl = input_.byte();
    if (ctl & 0x40) return;
    std::size_t length = (ctl & 0x08) ? input_.word() : input_.byte();
    if (length > 1400) length = 1400;
    std::vector<std::uint8_t> body;
    input_.take(length, &body);
    static constexpr std::uint64_t kDelaysUs[4] = {0, 1000, 30000, 3000000};
    if (ctl & 0x10) {
      // The host frame's command code sits after 00 00 FF LEN LCS D4.
      const std::uint8_t code = n > 6 ? static_cast<std::uint8_t>(data[6] + 1) : 0x00;
      body.insert(body.begin(), code);
      pelvtest::Bytes wrapped = pelvtest::cat(pelvtest::ACK(), pelvtest::answer(body));
      if (ctl & 0x20) ++wrapped[wrapped.size() - 2];
      body.swap(wrapped);
    }
    append(body, nowUs + kDelaysUs[ctl & 0x03], (ctl & 0x04) ? 100 : 0);
  }

 private:
  Input& input_;
};

// A clean platform and table with the device kPath wired to `far`, named by
// device enumeration as a bridge port, and nothing open.
inline void resetPlatform(pelvane::simport::FarSide* far) {
  namespace ps = pelvane::simport;
  ps::reset(pelvtest::kStartMs);
  ps::setRecording(false);
  pelvane::setUpPortTable();
  ps::addDevice(kPath, far);
  ps::setDeviceNames({pelvtest::cp210xName(kPort)});
}

// Opens kPath straight into kPort's slot as opening leaves it (115200 baud,
// ReaderMode 3, the deadline armed), without the bring-up exchanges. An open
// slot never has deadline 0 with a time-out set: the RW_ calls that run under
// the last armed deadline would wait on a silent line for ever.
inline bool openSlot(std::uint32_t baud, double tenths) {
  if (!pelvtest::openIntoSlot(kPort, kPath, baud, tenths)) return false;
  pelvane::armDeadline(kPort);
  return true;
}

// ReaderMode values worth trying: every named one, the never-set 5 and 6, and
// one outside the table.
inline pelvane::ReaderMode modeFrom(std::uint8_t b) {
  static constexpr std::uint8_t kModes[11] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xAB};
  return static_cast<pelvane::ReaderMode>(kModes[b % 11]);
}

// Time-outs of 0.1 to 0.8 s keep the virtual clock short; 0.0 (no limit) is
// never chosen, since a silent line would then be waited on for ever.
inline double tenthsFrom(std::uint8_t b) { return 1.0 + (b & 0x07); }

}  // namespace pelvfuzz
