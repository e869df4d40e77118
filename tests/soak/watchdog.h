// The soak's watchdog: a call far past its bound ends the program, and the time
// the machine held the process up during a call is measured.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace soak {

// A call still running this long after its bound is a hang: the soak stops.
constexpr double kHangMs = 10000.0;

// The watchdog also wakes every 5 ms and keeps the longest and the mean lateness of its
// wake-ups during the current call. A machine too busy to run this process for a
// while (others' builds on two cores) stalls the call as well; and the byte
// reader tests its deadline once every 50 pauses of 1 ms, so when each pause
// oversleeps, the test comes that much later. Both are reported, and allowed on
// top of the margin, rather than held against the library.

struct Watchdog {
  std::atomic<bool> inCall{false};
  std::atomic<std::int64_t> limitUs{0};
  std::atomic<std::int64_t> stallUs{0};
  std::atomic<std::int64_t> lateSumUs{0};
  std::atomic<std::int64_t> ticks{0};
  std::atomic<bool> finished{false};
  std::string current;  // written only while inCall is false
  std::thread thread;

  static std::int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  void beginCall(const std::string& name, double boundMs) {
    current = name;
    limitUs.store(nowUs() + static_cast<std::int64_t>((boundMs + kHangMs) * 1000));
    stallUs.store(0);
    lateSumUs.store(0);
    ticks.store(0);
    inCall.store(true);
  }
  // What the machine added to the call, in ms: the longest stall, plus 50 times
  // the mean oversleep of a pause (the stretch of the byte reader's deadline test).
  double endCall() {
    inCall.store(false);
    const double meanLateMs =
        ticks.load() > 0 ? static_cast<double>(lateSumUs.load()) / static_cast<double>(ticks.load()) / 1000.0
                         : 0.0;
    return static_cast<double>(stallUs.load()) / 1000.0 + 50.0 * meanLateMs;
  }

  void start(double totalBudgetMs) {
    const std::int64_t giveUpUs = nowUs() + static_cast<std::int64_t>(totalBudgetMs * 1000.0);
    thread = std::thread([this, giveUpUs] {
      constexpr std::int64_t kTickUs = 5000;
      std::int64_t last = nowUs();
      while (!finished.load()) {
        std::this_thread::sleep_for(std::chrono::microseconds(kTickUs));
        const std::int64_t t = nowUs();
        const std::int64_t late = t - last - kTickUs;
        last = t;
        if (inCall.load()) {
          if (late > stallUs.load()) stallUs.store(late);
          lateSumUs.fetch_add(late > 0 ? late : 0);
          ticks.fetch_add(1);
        }
        if (inCall.load() && t > limitUs.load()) {
          std::fprintf(stderr, "soak: HANG: %s still running %.0f ms past its bound\n",
                       current.c_str(), kHangMs);
          std::fflush(stderr);
          std::_Exit(3);
        }
        if (t > giveUpUs) {
          std::fprintf(stderr, "soak: the whole run overran its time limit\n");
          std::_Exit(3);
        }
      }
    });
  }
  void stop() {
    finished.store(true);
    if (thread.joinable()) thread.join();
  }
};

}  // namespace soak
