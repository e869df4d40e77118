// Far sides of the simulated line, without GoogleTest (the fuzz targets use them
// too). kPort on kPath is the port the unit fixtures open; cp210xName(port) and
// prolificName(port) are the friendly names discovery looks for.
//   TimedLine                 bytes on their way to the host, each with its arrival time
//   ScriptedFarSide           canned replies, byte-exact (see below)
//   ControllerFarSide         a pelvsim::Controller on the line
//
// ScriptedFarSide:
//   far.reply(bytes, delayUs)   answers the next host write with `bytes`, arriving
//                               delayUs after the write (queued: one per write, in order;
//                               every write counts, raw ACK frames too: reply({})
//                               lets one pass unanswered)
//   far.replyToEvery(fn)        when the queue is empty, fn(written) gives the reply
//   far.arriveAt(bytes, atUs)   bytes that reach the host at virtual time atUs
//   far.perByteUs               spacing of the bytes of one reply (0: all at once)
//   far.received                every host write, with its time and baud
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "controller.h"
#include "platform/simulated.h"
#include "support/hex.h"
#include "support/slot.h"

namespace pelvtest {

constexpr int kPort = 3;
constexpr const char* kPath = "\\\\.\\COM3";
constexpr std::int32_t kStartMs = 100000;

// Friendly names under which device enumeration shows a bridge's port.
inline std::string cp210xName(int port) {
  return "CP210x USB to UART Bridge Controller (COM" + std::to_string(port) + ")";
}
inline std::string prolificName(int port) {
  return "Prolific USB-to-Serial Comm Port (COM" + std::to_string(port) + ")";
}

// Bytes for the host in order of arrival; equal times keep their order.
class TimedLine : public pelvane::simport::FarSide {
 public:
  void place(const Bytes& bytes, std::uint64_t startUs, std::uint64_t spacingUs = 0) {
    std::uint64_t t = startUs;
    for (std::uint8_t b : bytes) {
      auto at = line_.end();
      while (at != line_.begin() && std::prev(at)->atUs > t) --at;
      line_.insert(at, Timed{t, b});
      t += spacingUs;
    }
  }
  // Behind everything queued, even bytes due later: a later chunk never overtakes.
  void append(const Bytes& bytes, std::uint64_t startUs, std::uint64_t spacingUs = 0) {
    std::uint64_t t = startUs;
    for (std::uint8_t b : bytes) {
      line_.push_back(Timed{t, b});
      t += spacingUs;
    }
  }
  // Bytes queued and not yet taken by the host (arrived or not).
  std::size_t pending() const { return line_.size(); }

  std::size_t available(std::uint64_t nowUs) override {
    std::size_t n = 0;
    for (const Timed& t : line_) {
      if (t.atUs > nowUs) break;
      ++n;
    }
    return n;
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
  std::deque<Timed> line_;
};

class ScriptedFarSide : public TimedLine {
 public:
  struct Write {
    Bytes bytes;
    std::uint64_t atUs;
    std::uint32_t baud;
  };
  using Responder = std::function<Bytes(const Bytes& written)>;

  void reply(const Bytes& bytes, std::uint64_t delayUs = 0) { script_.push_back({bytes, delayUs}); }
  void replyToEvery(Responder responder) { responder_ = std::move(responder); }
  void arriveAt(const Bytes& bytes, std::uint64_t atUs) { place(bytes, atUs, perByteUs); }

  std::uint64_t perByteUs = 0;
  std::vector<Write> received;
  bool keepRecord = true;  // off for very long runs

  void hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                 std::uint32_t hostBaud) override {
    Bytes written(data, data + n);
    if (!script_.empty()) {
      const std::pair<Bytes, std::uint64_t> next = script_.front();
      script_.pop_front();
      place(next.first, nowUs + next.second, perByteUs);
    } else if (responder_) {
      place(responder_(written), nowUs, perByteUs);
    }
    if (keepRecord) received.push_back(Write{std::move(written), nowUs, hostBaud});
  }

 private:
  std::deque<std::pair<Bytes, std::uint64_t>> script_;
  Responder responder_;
};

class ControllerFarSide : public pelvane::simport::FarSide {
 public:
  explicit ControllerFarSide(pelvsim::Controller& controller) : controller_(controller) {}
  void hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                 std::uint32_t hostBaud) override {
    controller_.advanceTo(nowUs);
    controller_.hostWrote(data, n, nowUs, hostBaud);
  }
  std::size_t available(std::uint64_t nowUs) override {
    controller_.advanceTo(nowUs);
    return controller_.available(nowUs);
  }
  int pop(std::uint64_t nowUs) override {
    controller_.advanceTo(nowUs);
    return controller_.pop(nowUs);
  }
  void dropArrived(std::uint64_t nowUs) override {
    controller_.advanceTo(nowUs);
    controller_.dropArrived(nowUs);
  }

 private:
  pelvsim::Controller& controller_;
};

}  // namespace pelvtest
