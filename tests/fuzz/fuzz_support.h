// Shared pieces of the fuzz targets: a cursor over the fuzzer's input, far sides
// of the simulated line (one fed from the input, one wired to the simulated
// controller) and the set-up of one open port on the simulated platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "controller.h"
#include "platform/platform.h"
#include "platform/simulated.h"
#include "port/port_table.h"

namespace pelvfuzz {

constexpr int kPort = 3;
constexpr const char* kPath = "\\\\.\\COM3";
constexpr const char* kBridgeName = "CP210x USB to UART Bridge Controller (COM3)";

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
class StreamFarSide : public pelvane::simport::FarSide {
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
    std::uint64_t at = nowUs + kDelaysUs[ctl & 0x03];
    const std::uint64_t spacing = (ctl & 0x04) ? 100 : 0;
    if (ctl & 0x10) {
      // The host frame's command code sits after 00 00 FF LEN LCS D4.
      const std::uint8_t code = n > 6 ? static_cast<std::uint8_t>(data[6] + 1) : 0x00;
      body.insert(body.begin(), code);
      std::vector<std::uint8_t> wrapped = {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF};
      const std::size_t len = body.size() + 1;
      if (len > 255) {
        const auto m = static_cast<std::uint8_t>(len >> 8);
        const auto l = static_cast<std::uint8_t>(len);
        wrapped.insert(wrapped.end(), {0xFF, 0xFF, m, l, static_cast<std::uint8_t>(-(m + l))});
      } else {
        wrapped.push_back(static_cast<std::uint8_t>(len));
        wrapped.push_back(static_cast<std::uint8_t>(-static_cast<int>(len)));
      }
      unsigned sum = 0xD5;
      wrapped.push_back(0xD5);
      for (std::uint8_t b : body) {
        wrapped.push_back(b);
        sum += b;
      }
      wrapped.push_back(static_cast<std::uint8_t>(-static_cast<int>(sum) + ((ctl & 0x20) ? 1 : 0)));
      wrapped.push_back(0x00);
      body.swap(wrapped);
    }
    for (std::uint8_t b : body) {
      line_.push_back(Timed{at, b});
      at += spacing;
    }
  }
  std::size_t available(std::uint64_t nowUs) override {
    std::size_t k = 0;
    for (const Timed& t : line_) {
      if (t.atUs > nowUs) break;
      ++k;
    }
    return k;
  }
  int pop(std::uint64_t nowUs) override {
    if (line_.empty() || line_.front().atUs > nowUs) return -1;
    const int b = line_.front().byte;
    line_.pop_front();
    return b;
  }
  void dropArrived(std::uint64_t nowUs) override {
    while (!line_.empty() && line_.front().atUs <= nowUs) line_.pop_front();
  }

 private:
  struct Timed {
    std::uint64_t atUs;
    std::uint8_t byte;
  };
  Input& input_;
  // Chunks keep their order: a later chunk never overtakes an earlier one.
  std::deque<Timed> line_;
};

// The simulated controller on the simulated line.
class ControllerSide : public pelvane::simport::FarSide {
 public:
  explicit ControllerSide(pelvsim::Controller& c) : c_(c) {}
  void hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                 std::uint32_t baud) override {
    c_.advanceTo(nowUs);
    c_.hostWrote(data, n, nowUs, baud);
  }
  std::size_t available(std::uint64_t nowUs) override {
    c_.advanceTo(nowUs);
    return c_.available(nowUs);
  }
  int pop(std::uint64_t nowUs) override {
    c_.advanceTo(nowUs);
    return c_.pop(nowUs);
  }
  void dropArrived(std::uint64_t nowUs) override {
    c_.advanceTo(nowUs);
    c_.dropArrived(nowUs);
  }

 private:
  pelvsim::Controller& c_;
};

// A clean platform and table with the device kPath wired to `far`, named by
// device enumeration as a bridge port, and nothing open.
inline void resetPlatform(pelvane::simport::FarSide* far) {
  namespace ps = pelvane::simport;
  ps::reset(100000);
  ps::setRecording(false);
  pelvane::setUpPortTable();
  ps::addDevice(kPath, far);
  ps::setDeviceNames({kBridgeName});
}

// Opens kPath straight into kPort's slot as opening leaves it (115200 baud,
// ReaderMode 3, the deadline armed), without the bring-up exchanges. An open
// slot never has deadline 0 with a time-out set: the RW_ calls that run under
// the last armed deadline would wait on a silent line for ever.
inline bool openSlot(std::uint32_t baud, double tenths) {
  const pelvane::PortHandle h = pelvane::openDevice(kPath, pelvane::kOpenAttributesNone);
  if (h == pelvane::kInvalidHandle) return false;
  pelvane::LineSettings line;
  pelvane::getLineSettings(h, &line);
  line.baudRate = baud;
  pelvane::setLineSettings(h, &line);
  const pelvane::CommTimeouts t{1000, 0, 1000, 0, 1000};
  pelvane::setTimeouts(h, &t);
  pelvane::PortSlot& s = pelvane::slot(kPort);
  s.handle = h;
  s.portNumber = kPort;
  s.lineSettings = line;
  s.readerMode = pelvane::kModeMifare;
  s.timeoutTenths = tenths;
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
