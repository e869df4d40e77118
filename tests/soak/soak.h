// The fault soak: a seeded run of host calls against the simulated controller,
// each call checked for its result, its data and its time (soak.cpp says how).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bench.h"
#include "oracle.h"
#include "plan.h"
#include "watchdog.h"

namespace soak {

constexpr int kPort = 7;

struct Options {
  std::uint32_t seed = 0;
  bool seedGiven = false;
  std::uint64_t commands = 0;  // 0: no upper limit
  std::uint64_t minCalls = 1000;
  double seconds = 90.0;
  bool verbose = false;
  // Replay: run the seeded calls up to this one on the virtual clock and show it.
  std::uint64_t replayCall = 0;
  // Replay: calls that the run saw fail while the machine stalled it; the replay
  // fails them too (the controller stays silent), so it takes the run's path.
  std::set<std::uint64_t> stalled;
  // Replay: the run's path digest before the replayed call (0: none given).
  std::uint32_t path = 0;
  std::string program = "soak";  // how the run was started, for the replay hint
};

enum class Reader { Felica, Mifare, Peer, TypeB };

// Statistics per kind of call.
struct KindStats {
  std::uint64_t calls = 0;
  std::uint64_t faulted = 0;
  std::uint64_t succeeded = 0;
  std::uint64_t failedAsAllowed = 0;
  double worstMs = 0.0;
  double worstOverrunMs = -1e9;
};

// The call under way: what a PROBLEM line says of it.
struct CallRecord {
  std::uint64_t number = 0;
  std::string kind;
  Plan plan;
  bool faulted = false;
  std::string sent;  // the packet, APDU or arguments
  std::string got;   // the result and the response
};

class Soak {
 public:
  Soak(const Options& o, std::unique_ptr<Bench> bench)
      : options_(o), random_(o.seed), planner_(random_), bench_(std::move(bench)) {}

  int run();

 private:
  // ---- faults ----
  Plan drawPlan(int commandsInCall, bool costly) { return planner_.draw(commandsInCall, costly); }
  void applyPlan(const Plan& p);
  void healLine();
  std::uint64_t faultsApplied();

  // ---- one call: timing, checks and bookkeeping (soak.cpp) ----
  // Runs fn (which returns the check of its outcome) under the plan, records it
  // and returns whether the call succeeded.
  bool call(const std::string& kind, double boundMs, const Plan& plan, const std::function<Check()>& fn);

  // ---- the calls (calls.cpp) ----
  bool selectMode(Reader reader, const Plan& plan);
  bool poll(const Plan& plan);
  bool readCard(const Plan& plan);
  bool activatePeer(const Plan& plan);
  bool passThrough(const Plan& plan);
  bool segmentedRead(const Plan& plan);
  bool readRegister(const Plan& plan);
  bool readGpio(const Plan& plan);
  bool openPort(const Plan& plan, const char* kind = "RF_OPEN");
  bool closePort(const Plan& plan);
  void typeBSession();
  void speedSwitchOpen();
  void lineUnplugged();

  // After a faulted or failed call: the line healed, a clean check must pass.
  void recover();
  void step();
  void summary(double seconds);

  // RF_COMMAND with the packet, recorded for the PROBLEM line.
  std::uint16_t command(const Bytes& packet);
  const std::uint8_t* resp() const { return response_.data(); }
  bool portOpen() const;
  // The deadline the dispatcher will arm for the next command.
  double commandMs() const;
  double remainingDeadlineMs() const;
  int uniform(int lo, int hi) { return random_.uniform(lo, hi); }
  bool chance(double p) { return random_.chance(p); }
  double elapsedSeconds() const { return (bench_->nowMs() - startMs_) / 1000.0; }
  bool minimumsMet() const {
    return calls_ >= options_.minCalls && faultKindsSeen_.size() == faultKindNames().size();
  }
  bool replaying() const { return options_.replayCall != 0; }
  bool outOfBudget() const;
  void sawFault(const Plan& plan) {
    const std::string name = faultKindOf(plan);
    faultKindsSeen_.insert(name);
    ++faultCounts_[name];
  }
  // A problem of the run, or (callProblem) of the call just made.
  void problem(const std::string& what);
  void callProblem(const std::string& what);
  // The command that replays the run up to `call`; pathBefore (not 0) is the
  // digest of the calls before it.
  std::string replayCommand(std::uint64_t call, std::uint32_t pathBefore) const;
  void showReplayedCall(const Check& check);

  Options options_;
  Random random_;
  Planner planner_;
  std::unique_ptr<Bench> bench_;
  std::vector<std::uint8_t> response_;
  Watchdog watchdog_;
  double startMs_ = 0.0;

  Reader reader_ = Reader::Felica;
  bool cardReady_ = false;  // polled (cards) or activated (peer) since the last selection
  bool needsRecovery_ = false;
  CallRecord current_;
  std::uint64_t calls_ = 0;
  // FNV-1a over every call's kind, plan and outcome: the path the run took.
  std::uint32_t path_ = 2166136261u;
  std::uint32_t pathBeforeCall_ = 2166136261u;
  std::uint64_t problems_ = 0;
  std::uint64_t recoveries_ = 0;
  std::uint64_t controllerStatuses_ = 0;
  std::uint64_t partialSegmentedReads_ = 0;
  std::uint64_t unpluggings_ = 0;
  std::uint64_t speedSwitches_ = 0;
  std::uint64_t speedSwitched_ = 0;
  std::uint64_t fastOpenings_ = 0;  // openings that reached a 921600 baud line
  std::map<std::string, KindStats> stats_;
  std::map<std::string, std::uint64_t> faultCounts_;
  std::set<std::string> faultKindsSeen_;
  std::vector<std::string> excusedCalls_;
  // Calls that failed while the machine stalled them: the replay fails them too.
  std::vector<std::uint64_t> stalledFailures_;
  std::string worstCall_;
  double worstOverrunMs_ = -1e9;
  double worstStallMs_ = 0.0;
  std::uint64_t stalledOverruns_ = 0;
  std::uint64_t excusedFailures_ = 0;
};

}  // namespace soak
