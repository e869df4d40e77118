// What the pause between polls costs a host, on the virtual clock: the
// operations of pelvane_bench, run through the library over the simulated
// platform against the simulated controller pacing every byte at 115200 baud
// (10 bits a byte, both directions), with pauses that wake only on the ticks of
// a system timer. Quantum 1 ms is a timer at 1 ms resolution; quantum 15.625 ms
// is Windows' default 64 Hz tick, the "15.6 ms" that Sleep(1) lasts there.
// Wire time is the bytes that crossed the line for the operation, both ways,
// ACKs included, x 10 / 115200 s.
//
//   pelvane_quantum_bench
// Prints one line per operation and quantum, and the end of a 1.0 s time-out
// on a silent reader at each quantum:
//   bench <operation> quantum_ms=<Q> pelvane_ms=<mean> wire_ms=<mean>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cards.h"
#include "controller.h"
#include "field.h"
#include "pelvane.h"
#include "platform/simulated.h"
#include "port/port_table.h"
#include "support/hex.h"
#include "support/sim_port.h"

namespace {

namespace ps = pelvane::simport;
using pelvtest::Bytes;

constexpr int kPort = pelvtest::kPort;
constexpr const char* kPath = pelvtest::kPath;
constexpr const char* kCards = "felica,mifare1k,typeB,peer";
constexpr double kUsPerByte = 10.0 / 115200.0 * 1e6;
constexpr std::uint64_t kQuantaUs[] = {1000, 15625};

// The simulated controller on the line, counting every byte that crosses it;
// a silent line loses what the host writes.
class PacedLine : public pelvtest::ControllerFarSide {
 public:
  using ControllerFarSide::ControllerFarSide;
  void hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                 std::uint32_t hostBaud) override {
    bytes += n;
    if (!silent) ControllerFarSide::hostWrote(data, n, nowUs, hostBaud);
  }
  int pop(std::uint64_t nowUs) override {
    const int b = ControllerFarSide::pop(nowUs);
    if (b >= 0) ++bytes;
    return b;
  }
  void dropArrived(std::uint64_t nowUs) override {
    bytes += available(nowUs);
    ControllerFarSide::dropArrived(nowUs);
  }

  std::uint64_t bytes = 0;
  bool silent = false;
};

// One RF_COMMAND: the packet as hex, then `filler` bytes i % 0xA0; it succeeds
// with result 0, STATUS 00 and a response of LEN `answerLength`.
struct Step {
  const char* hex;
  std::size_t filler;
  std::uint8_t answerLength;
};

// The timed command of each operation, after the untimed commands that set it up.
struct Operation {
  const char* name;
  std::vector<Step> setup;
  Step timed;
  int runs;
};

const Operation kOperations[] = {
    {"select_felica", {}, {"07 10 10 0A 00 00 00", 0, 5}, 50},
    {"poll_felica", {}, {"05 20 FF FF 00", 0, 11}, 50},
    {"read_felica_4", {},
     {"16 30 01 2E 4C 10 00 00 00 01 01 09 0F 04 80 00 80 01 80 02 80 03", 0, 3 + 64}, 50},
    {"poll_typea", {{"07 10 30 0A 00 00 00", 0, 5}}, {"02 20", 0, 7}, 50},
    {"read_mifare_4", {}, {"0F 30 0A 01 3C 4D FF FF FF FF FF FF 01 00 04", 0, 3 + 64}, 50},
    {"mifare_read_1", {}, {"04 86 30 04", 0, 3 + 16}, 50},
    {"select_peer", {}, {"07 10 50 0A 00 00 00", 0, 5}, 50},
    {"exchange_250", {{"03 50 02", 0, 3}}, {"FC 86", 250, 253}, 25},
    {"segmented_10", {}, {"06 70 00 00 00 0A", 0, 10}, 10},
    {"select_typeb", {}, {"07 10 60 0A 00 00 00", 0, 5}, 50},
};

Bytes packetOf(const Step& step) {
  Bytes out = pelvtest::hex(step.hex);
  for (std::size_t i = 0; i < step.filler; ++i) out.push_back(static_cast<std::uint8_t>(i % 0xA0));
  return out;
}

struct Figures {
  double pelvaneMs = 0.0;
  double wireMs = 0.0;
  int failures = 0;
};

class QuantumBench {
 public:
  explicit QuantumBench(std::uint64_t quantumUs) : quantumUs_(quantumUs) {}

  // Opens the reader; false when it does not come up.
  bool open() {
    ps::reset();
    ps::setRecording(false);
    ps::setSleepQuantumUs(quantumUs_);
    pelvane::setUpPortTable();
    controller_.setPacing(true);
    pelvsim::addCards(kCards, controller_.field());
    ps::addDevice(kPath, &line_);
    std::int32_t opened = 0;
    return RF_OPEN(kPort, &opened) == PELVANE_RESULT_DONE;
  }

  bool send(const Step& step) {
    const Bytes packet = packetOf(step);
    const std::uint16_t r = RF_COMMAND(kPort, packet.data(), response_.data());
    return r == PELVANE_RESULT_DONE && response_[0] == step.answerLength && response_[2] == 0x00;
  }

  Figures measure(const Operation& op) {
    Figures f;
    for (const Step& s : op.setup) {
      if (!send(s)) ++f.failures;
    }
    const std::uint64_t t0 = ps::nowUs();
    const std::uint64_t bytes0 = line_.bytes;
    for (int i = 0; i < op.runs; ++i) {
      if (!send(op.timed)) ++f.failures;
    }
    f.pelvaneMs = static_cast<double>(ps::nowUs() - t0) / 1000.0 / op.runs;
    f.wireMs = static_cast<double>(line_.bytes - bytes0) * kUsPerByte / 1000.0 / op.runs;
    return f;
  }

  // A FeliCa poll under a 1.0 s time-out on a reader that has stopped answering.
  Figures silentTimeout() {
    const bool selected = send({"07 10 10 0A 00 00 00", 0, 5});
    line_.silent = true;
    Figures f = measure({"", {}, {"05 20 FF FF 00", 0, 3}, 1});
    f.failures = selected && response_[2] == 0xFE ? 0 : 1;  // the time-out status
    return f;
  }

  void close() {
    RF_CLOSE(kPort);
    ps::reset();
  }

  double quantumMs() const { return static_cast<double>(quantumUs_) / 1000.0; }

 private:
  std::uint64_t quantumUs_;
  pelvsim::Controller controller_;
  PacedLine line_{controller_};
  std::vector<std::uint8_t> response_ = std::vector<std::uint8_t>(PELVANE_RESPONSE_MAX);
};

void printLine(const char* name, double quantumMs, const Figures& f) {
  std::printf("bench %s quantum_ms=%g pelvane_ms=%.3f wire_ms=%.3f%s\n", name, quantumMs, f.pelvaneMs,
              f.wireMs, f.failures > 0 ? " (failed runs)" : "");
}

}  // namespace

int main() {
  std::printf("quantum bench: virtual clock, simulated controller paced at 115200 baud; every pause\n"
              "wakes on the first tick of the quantum at or after its end\n");
  int failures = 0;
  for (std::uint64_t q : kQuantaUs) {
    auto bench = std::make_unique<QuantumBench>(q);
    if (!bench->open()) {
      std::fprintf(stderr, "quantum bench: RF_OPEN failed at quantum %g ms\n", bench->quantumMs());
      return 2;
    }
    for (const Operation& op : kOperations) {
      const Figures f = bench->measure(op);
      failures += f.failures;
      printLine(op.name, bench->quantumMs(), f);
    }
    const Figures timeout = bench->silentTimeout();
    failures += timeout.failures;
    printLine("silent_timeout_1s", bench->quantumMs(), timeout);
    bench->close();
  }
  if (failures > 0) std::printf("quantum bench: %d runs did not give the expected answer\n", failures);
  return failures == 0 ? 0 : 1;
}
