// The soak's bench: the simulated controller on a pseudo-terminal, served in
// real time, opened by the library's POSIX serial code. Unplugging closes the
// pseudo-terminal; the next start opens a new one (a new device path).
#include <chrono>
#include <thread>

#include "bench.h"
#include "cards.h"
#include "pelvane.h"
#include "pty_server.h"

namespace soak {

namespace {

class PtyBench : public Bench {
 public:
  bool start(int port, std::string* error) override {
    if (server_) server_->stop();
    if (!server_) {
      server_.reset(new pelvsim::PtyServer);
      bool ok = true;
      server_->withController([&](pelvsim::Controller& c) { ok = pelvsim::addCards(kSoakCards, c.field(), error); });
      if (!ok) return false;
    }
    if (!server_->open(error) || !server_->start()) return false;
    return PV_SetPortDevice(port, server_->slavePath().c_str()) == PELVANE_EXT_DONE;
  }
  void dropLine() override { server_->dropLine(); }
  void stop() override {
    if (server_) server_->stop();
  }
  std::string linePath() const override { return server_ ? server_->slavePath() : ""; }

  void withController(const std::function<void(pelvsim::Controller&)>& fn) override {
    server_->withController(fn);
  }
  bool waitQuiet() override {
    for (int i = 0; i < 2000; ++i) {
      std::uint64_t next = 0;
      withController([&](pelvsim::Controller& c) { next = c.nextArrivalUs(); });
      if (next == UINT64_MAX) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  double nowMs() const override {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  bool realTime() const override { return true; }

 private:
  std::unique_ptr<pelvsim::PtyServer> server_;
};

}  // namespace

std::unique_ptr<Bench> makeBench() { return std::unique_ptr<Bench>(new PtyBench); }

}  // namespace soak
