// The replay's bench: the simulated controller on the simulated port, with the
// library's time on the virtual clock, so that a call that waits for its whole
// deadline takes no real time. The line behaves as the pseudo-terminal does:
// the controller's bytes move into the host's input queue when they arrive,
// a purge drops what has arrived, and an unplugged line fails every call.
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <vector>

#include "bench.h"
#include "cards.h"
#include "pelvane.h"
#include "platform/simulated.h"
#include "support/hex.h"

namespace soak {

namespace {

namespace simport = pelvane::simport;

class VirtualLine : public simport::FarSide {
 public:
  explicit VirtualLine(pelvsim::Controller& c) : controller_(c) {}

  void hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                 std::uint32_t hostBaud) override {
    deliver(nowUs);
    note(true, data, n, nowUs);
    controller_.hostWrote(data, n, nowUs, hostBaud);
  }
  std::size_t available(std::uint64_t nowUs) override {
    deliver(nowUs);
    return input_.size();
  }
  int pop(std::uint64_t nowUs) override {
    deliver(nowUs);
    if (input_.empty()) return -1;
    const int b = input_.front();
    input_.pop_front();
    return b;
  }
  void dropArrived(std::uint64_t nowUs) override {
    deliver(nowUs);
    input_.clear();
  }
  // The controller's bytes that have reached the host by nowUs, into its queue.
  void deliver(std::uint64_t nowUs) {
    for (int b = controller_.pop(nowUs); b >= 0; b = controller_.pop(nowUs)) {
      input_.push_back(static_cast<std::uint8_t>(b));
      const std::uint8_t byte = static_cast<std::uint8_t>(b);
      note(false, &byte, 1, nowUs);
    }
  }

  bool recording = false;
  std::string record;

 private:
  // One line per run of bytes in one direction, with its virtual time.
  void note(bool host, const std::uint8_t* data, std::size_t n, std::uint64_t nowUs) {
    if (!recording || n == 0) return;
    if (host || !lastFromController_) {
      char head[64];
      std::snprintf(head, sizeof head, "%s%10.3f ms %s ", record.empty() ? "" : "\n",
                    static_cast<double>(nowUs) / 1000.0, host ? "host   " : "reader ");
      record += head;
    } else {
      record += ' ';
    }
    record += pelvtest::toHex(data, n);
    lastFromController_ = !host;
  }

  pelvsim::Controller& controller_;
  std::deque<std::uint8_t> input_;
  bool lastFromController_ = false;
};

class VirtualBench : public Bench {
 public:
  VirtualBench() {
    simport::reset();
    simport::setRecording(false);  // the line keeps its own record, when asked
  }

  bool start(int port, std::string* error) override {
    if (!filled_) {
      if (!pelvsim::addCards(kSoakCards, controller_.field(), error)) return false;
      filled_ = true;
    }
    // Bytes that arrived while no line was there are lost, as on the terminal.
    controller_.dropArrived(simport::nowUs());
    const bool recording = line_ != nullptr && line_->recording;
    // A line that went away stays known to the simulated port (its handles are
    // dead), so it is kept.
    lines_.emplace_back(new VirtualLine(controller_));
    line_ = lines_.back().get();
    line_->recording = recording;
    path_ = "/virtual/line" + std::to_string(lines_.size());
    simport::addDevice(path_, line_);
    return PV_SetPortDevice(port, path_.c_str()) == PELVANE_EXT_DONE;
  }
  void dropLine() override { simport::removeDevice(path_); }
  void stop() override {}
  std::string linePath() const override { return path_; }

  void withController(const std::function<void(pelvsim::Controller&)>& fn) override { fn(controller_); }
  bool waitQuiet() override {
    for (int i = 0; i < 2000; ++i) {
      if (line_) line_->deliver(simport::nowUs());
      const std::uint64_t next = controller_.nextArrivalUs();
      if (next == UINT64_MAX) return true;
      const std::uint64_t now = simport::nowUs();
      simport::advanceUs(next > now && next - now < 1000 ? next - now : 1000);
    }
    return false;
  }

  double nowMs() const override { return static_cast<double>(simport::nowUs()) / 1000.0; }
  bool realTime() const override { return false; }

  void recordLine(bool on) override {
    if (!line_) return;
    line_->recording = on;
    if (on) line_->record.clear();
  }
  std::string lineRecord() const override { return line_ ? line_->record : ""; }

 private:
  pelvsim::Controller controller_;
  std::vector<std::unique_ptr<VirtualLine>> lines_;
  VirtualLine* line_ = nullptr;
  std::string path_;
  bool filled_ = false;
};

}  // namespace

std::unique_ptr<Bench> makeBench() { return std::unique_ptr<Bench>(new VirtualBench); }

}  // namespace soak
