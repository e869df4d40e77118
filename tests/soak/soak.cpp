// Fault soak: thousands of host calls through the real POSIX serial code against
// the simulated controller on a pseudo-terminal, while the controller injects
// faults drawn from a seeded generator (silence, NACK, wrong LCS and DCS,
// garbage, truncated, oversized and extended frames, late answers, the line
// going away and coming back, a speed mismatch, a reader left at 9600).
//
// Every call is checked on three counts:
//   - its wall time against the time its deadlines allow (plus the library's own
//     pauses); the worst overrun is reported, and one above the margin fails;
//   - its result and status against the outcomes that command can give, and on
//     success its data against what the card really holds (oracle.h);
//   - after every fault, with the faults off and the line quiet, a clean mode
//     selection (GetFirmwareVersion and the reset sequence) or a reopen must
//     succeed; every call that got no fault must succeed too.
//
// The run itself is checked too: it must make at least --min-calls calls and
// inject every kind of fault at least once, or it fails. It runs for --seconds
// and goes on past them (up to four times as long) until both minimums are met.
// Without --seed the seed is drawn anew; it is printed so a failure can be
// replayed with --seed.
//
// Each PROBLEM line names the call (its number and kind), the fault planned for
// it and whether the controller applied it, what the call sent and what it got,
// and is followed by the command that replays it: --replay-call N runs the same
// seeded calls again, up to call N, with the library on the simulated port and
// its virtual clock (the program soak-replay beside this one), so that the calls
// before N wait for nothing; it then shows call N with every byte on the line
// and the library's trace. --stalled lists the calls the run saw fail only
// because the machine held it up (the replay fails them too), and --path the
// run's digest of every call before N, which tells whether the replay took the
// same path.
//
//   soak [--seed N] [--seconds S] [--min-calls N] [--commands N] [--verbose]
//        [--replay-call N [--stalled N,N..] [--path HEX]]
// Exit status 0 when every check held.
#include "soak.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pelvane.h"
#include "port/port_table.h"

namespace soak {

namespace {

// An overrun above this fails the soak.
constexpr double kMarginMs = 250.0;
// A call that got no fault may fail only when the machine held the process up
// for at least this long during it. Every such call is listed at the end, and
// more than one in a hundred fails the run: the machine was too busy to judge.
constexpr double kExcusingStallMs = 100.0;
constexpr std::uint64_t kExcusedPerHundredCalls = 1;
constexpr std::uint64_t kProblemsShown = 40;

std::uint32_t fnv(std::uint32_t h, const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

// The library's trace lines during the replayed call.
std::string libraryTrace;
void PELVANE_CALL collectTrace(const char* line) {
  libraryTrace += "    ";
  libraryTrace += line;
  if (libraryTrace.back() != '\n') libraryTrace += '\n';
}

std::string indent(const std::string& lines) {
  std::string out = "    ";
  for (char c : lines) {
    out += c;
    if (c == '\n') out += "    ";
  }
  return out;
}

}  // namespace

void Soak::applyPlan(const Plan& p) {
  bench_->withController([&](pelvsim::Controller& c) {
    c.faults().clear();
    if (p.fault != pelvsim::Fault::None) c.faults().script(p.fault, 1, p.skip, p.param);
    c.faults().lineGone = p.lineGone;
    if (p.readerBaud != 0) c.setBaud(p.readerBaud);
  });
}

void Soak::healLine() {
  // The reader goes back to the speed of the open port's line (a faster line
  // stays fast), else to 115200.
  const std::uint32_t baud = portOpen() && pelvane::slot(kPort).lineSettings.baudRate > 115200
                                 ? pelvane::slot(kPort).lineSettings.baudRate
                                 : 115200;
  bench_->withController([baud](pelvsim::Controller& c) {
    c.faults().clear();
    c.setBaud(baud);
  });
}

std::uint64_t Soak::faultsApplied() {
  std::uint64_t n = 0;
  bench_->withController([&](pelvsim::Controller& c) { n = c.faults().applied; });
  return n;
}

bool Soak::outOfBudget() const {
  if (options_.commands != 0 && calls_ >= options_.commands) return true;
  // The replay stops at its call; the run it follows had time left until then.
  if (replaying()) return calls_ >= options_.replayCall;
  // Time is up once --seconds have passed and the minimums are met, or at four
  // times --seconds in any case; --commands caps the calls.
  const double t = elapsedSeconds();
  return (t >= options_.seconds && minimumsMet()) || t >= 4.0 * options_.seconds;
}

void Soak::problem(const std::string& what) {
  ++problems_;
  if (problems_ <= kProblemsShown) std::fprintf(stderr, "soak: PROBLEM: %s\n", what.c_str());
}

namespace {

std::string describeCall(const CallRecord& c, const std::string& outcome) {
  std::string s = "call " + std::to_string(c.number) + " " + c.kind + ", fault " + describe(c.plan);
  if (c.plan.fault != pelvsim::Fault::None) s += c.faulted ? " (applied)" : " (not applied)";
  s += ": " + outcome;
  if (!c.sent.empty()) s += "; sent " + c.sent;
  if (!c.got.empty()) s += "; got " + c.got;
  return s;
}

}  // namespace

void Soak::callProblem(const std::string& what) {
  problem(describeCall(current_, what));
  if (problems_ <= kProblemsShown && !replaying()) {
    std::fprintf(stderr, "soak:   replay: %s\n", replayCommand(current_.number, pathBeforeCall_).c_str());
  }
}

std::string Soak::replayCommand(std::uint64_t call, std::uint32_t pathBefore) const {
  char b[96];
  std::snprintf(b, sizeof b, " --seed %u --replay-call %" PRIu64, options_.seed, call);
  std::string command = options_.program + b;
  if (pathBefore != 0) {
    std::snprintf(b, sizeof b, " --path %08x", pathBefore);
    command += b;
  }
  std::string stalled;
  for (std::uint64_t n : stalledFailures_) {
    if (n > call) break;
    stalled += (stalled.empty() ? "" : ",") + std::to_string(n);
  }
  if (!stalled.empty()) command += " --stalled " + stalled;
  return command;
}

bool Soak::call(const std::string& kind, double boundMs, const Plan& plan, const std::function<Check()>& fn) {
  const std::uint64_t appliedBefore = faultsApplied();
  current_ = CallRecord{};
  current_.number = calls_ + 1;
  current_.kind = kind;
  current_.plan = plan;
  const bool replayed = replaying() && current_.number == options_.replayCall;
  // A call the run saw fail while the machine stalled it fails here too.
  const bool stalled = replaying() && options_.stalled.count(current_.number) != 0;
  applyPlan(plan);
  if (stalled) {
    bench_->withController([](pelvsim::Controller& c) { c.faults().script(pelvsim::Fault::Silence, 64); });
  }
  if (replayed) {
    libraryTrace.clear();
    bench_->recordLine(true);
    PV_SetTraceSink(collectTrace);
  }
  watchdog_.beginCall(kind, boundMs);
  const double t0 = bench_->nowMs();
  const Check check = fn();
  const double ms = bench_->nowMs() - t0;
  const double stallMs = watchdog_.endCall();
  if (replayed) {
    PV_SetTraceSink(nullptr);
    bench_->recordLine(false);
  }
  const bool faulted = stalled || plan.lineGone || plan.readerBaud != 0 || faultsApplied() != appliedBefore;
  current_.faulted = faulted;
  healLine();
  ++calls_;
  pathBeforeCall_ = path_;
  const std::uint8_t outcome[] = {static_cast<std::uint8_t>(plan.fault), static_cast<std::uint8_t>(plan.skip),
                                  plan.lineGone, check.verdict == Verdict::Success};
  const std::uint32_t values[] = {plan.param, plan.readerBaud};
  path_ = fnv(fnv(fnv(path_, kind.data(), kind.size()), outcome, sizeof outcome), values, sizeof values);

  if (faulted && !stalled) sawFault(plan);
  KindStats& st = stats_[kind];
  ++st.calls;
  if (faulted) ++st.faulted;
  st.worstMs = std::max(st.worstMs, ms);
  const double overrun = ms - boundMs;
  st.worstOverrunMs = std::max(st.worstOverrunMs, overrun);
  if (overrun > worstOverrunMs_) {
    worstOverrunMs_ = overrun;
    char b[64];
    std::snprintf(b, sizeof b, ", %.1f ms against %.0f ms", ms, boundMs);
    worstCall_ = "call " + std::to_string(current_.number) + " " + kind + b + ", fault " + describe(plan);
  }
  worstStallMs_ = std::max(worstStallMs_, stallMs);
  if (overrun > kMarginMs) {
    char b[200];
    std::snprintf(b, sizeof b, "took %.1f ms, %.1f ms past its bound of %.0f ms (the machine added %.1f ms)", ms,
                  overrun, boundMs, stallMs);
    if (overrun - stallMs > kMarginMs) {
      callProblem(b);
    } else {
      ++stalledOverruns_;
      excusedCalls_.push_back("call " + std::to_string(current_.number) + " " + kind + " " + b);
      std::fprintf(stderr, "soak: STALL: call %" PRIu64 " %s %s\n", current_.number, kind.c_str(), b);
    }
  }

  switch (check.verdict) {
    case Verdict::Success:
      ++st.succeeded;
      break;
    case Verdict::AllowedFailure:
      ++st.failedAsAllowed;
      if (faulted) break;
      if (stallMs >= kExcusingStallMs) {
        // The process did not run for a good part of the call: the deadline
        // passed while the machine was busy elsewhere.
        ++excusedFailures_;
        stalledFailures_.push_back(current_.number);
        char b[160];
        std::snprintf(b, sizeof b, "call %" PRIu64 " %s failed without a fault while the machine added %.1f ms",
                      current_.number, kind.c_str(), stallMs);
        excusedCalls_.push_back(b);
        std::fprintf(stderr, "soak: STALL: %s\n", b);
      } else {
        callProblem("failed without any fault: " + check.detail);
      }
      break;
    case Verdict::Wrong:
      callProblem(check.detail);
      break;
  }
  if (options_.verbose) {
    std::fflush(stderr);
    std::printf("%6" PRIu64 " %-14s %8.2f ms  fault %2d%s  %s %s\n", current_.number, kind.c_str(), ms,
                static_cast<int>(plan.fault), faulted ? "*" : " ",
                check.verdict == Verdict::Success ? "ok" : "failed", check.detail.c_str());
    std::fflush(stdout);
  }
  if (replayed) showReplayedCall(check);
  if (faulted || check.verdict != Verdict::Success) needsRecovery_ = true;
  return check.verdict == Verdict::Success;
}

void Soak::showReplayedCall(const Check& check) {
  const char* verdict = check.verdict == Verdict::Success          ? "succeeded"
                        : check.verdict == Verdict::AllowedFailure ? "failed as allowed"
                                                                   : "WRONG";
  std::printf("\nreplay: call %" PRIu64 " of seed %u on the virtual clock", current_.number, options_.seed);
  if (options_.path == 0) {
    std::printf(" (path digest %08x)\n", pathBeforeCall_);
  } else if (options_.path == pathBeforeCall_) {
    std::printf(", on the run's path (digest %08x)\n", pathBeforeCall_);
  } else {
    std::printf(", NOT on the run's path (digest %08x, the run's %08x): an earlier call ended otherwise than in "
                "the run, so this call %" PRIu64 " may be another one\n",
                pathBeforeCall_, options_.path, current_.number);
  }
  std::printf("  %s\n", describeCall(current_, std::string(verdict) +
                                                   (check.detail.empty() ? "" : ": " + check.detail))
                            .c_str());
  std::printf("  the line (virtual time, host writes and the reader's bytes):\n%s\n",
              indent(bench_->lineRecord()).c_str());
  std::printf("  the library's trace:\n%s", libraryTrace.c_str());
  std::fflush(stdout);
}

void Soak::recover() {
  needsRecovery_ = false;
  ++recoveries_;
  healLine();
  const std::uint64_t after = calls_;
  if (!bench_->waitQuiet()) problem("after call " + std::to_string(after) + ": the controller kept sending for 2 s");
  bool ok;
  if (portOpen()) {
    ok = selectMode(reader_, Plan{});
  } else {
    ok = openPort(Plan{}, "RF_OPEN check");
  }
  if (!ok) problem("after call " + std::to_string(after) + ": the clean check after a fault failed");
  needsRecovery_ = false;
}

// One step: a call chosen for the state the port is in.
void Soak::step() {
  if (!portOpen()) {
    openPort(drawPlan(6, !chance(0.15)));
    return;
  }
  if (reader_ == Reader::TypeB) {
    selectMode(static_cast<Reader>(uniform(0, 2)), drawPlan(3, true));
    return;
  }
  const int roll = uniform(0, 99);
  if (roll < 6) {
    selectMode(static_cast<Reader>(uniform(0, 2)), drawPlan(3, true));
  } else if (roll < 9) {
    closePort(drawPlan(1, false));
  } else if (roll < 11) {
    typeBSession();
  } else if (roll < 12 && speedSwitches_ < 1 + calls_ / 1000) {
    speedSwitchOpen();
  } else if (roll < 13 && unpluggings_ < 1 + calls_ / 1000) {
    lineUnplugged();
  } else if (roll < 19) {
    readRegister(drawPlan(1, false));
  } else if (roll < 25) {
    readGpio(drawPlan(1, false));
  } else if (reader_ == Reader::Peer) {
    if (!cardReady_) {
      activatePeer(drawPlan(1, false));
    } else if (roll < 40) {
      segmentedRead(drawPlan(2, false));
    } else {
      passThrough(drawPlan(1, false));
    }
  } else if (!cardReady_ || roll < 45) {
    poll(drawPlan(1, false));
  } else {
    readCard(drawPlan(reader_ == Reader::Mifare ? 3 : 1, false));
  }
}

int Soak::run() {
  response_.assign(PELVANE_RESPONSE_MAX, kSentinel);
  pelvane::setUpPortTable();
  std::string error;
  if (!bench_->start(kPort, &error)) {
    std::fprintf(stderr, "soak: cannot start the simulated controller: %s\n", error.c_str());
    return 2;
  }
  if (replaying()) {
    std::printf("soak: replaying seed %u up to call %" PRIu64 " on the virtual clock\n", options_.seed,
                options_.replayCall);
  } else {
    std::printf("soak: seed %u (replay with --seed %u --seconds %.0f), at least %" PRIu64
                " calls and every fault kind, on %s\n",
                options_.seed, options_.seed, options_.seconds, options_.minCalls, bench_->linePath().c_str());
  }
  std::fflush(stdout);
  const auto wallStart = std::chrono::steady_clock::now();
  startMs_ = bench_->nowMs();
  if (bench_->realTime()) watchdog_.start((4.0 * options_.seconds + 120.0) * 1000.0);

  openPort(Plan{});
  while (!outOfBudget()) {
    if (needsRecovery_) {
      recover();
    } else {
      step();
    }
  }
  const double wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  if (replaying()) {
    bench_->stop();
    std::printf("\nreplay: %" PRIu64 " calls in %.1f s (%.1f s on the virtual clock), path digest %08x, %" PRIu64
                " problems\n",
                calls_, wallSeconds, elapsedSeconds(), path_, problems_);
    return problems_ == 0 ? 0 : 1;
  }
  // The replay of the whole run ends with the same digest when it took the same path.
  const std::uint64_t loopCalls = calls_;
  const std::uint32_t loopPath = path_;
  if (needsRecovery_) recover();
  if (portOpen()) closePort(Plan{});
  watchdog_.stop();
  bench_->stop();
  std::printf("\nreplay of the run's calls: %s (the replay ends with path digest %08x)\n",
              replayCommand(loopCalls, 0).c_str(), loopPath);
  summary(wallSeconds);
  return problems_ == 0 ? 0 : 1;
}

void Soak::summary(double seconds) {
  std::printf("\n%-15s %7s %7s %7s %7s %10s %12s\n", "call", "calls", "faulted", "ok", "failed", "worst ms",
              "overrun ms");
  for (const auto& [kind, st] : stats_) {
    std::printf("%-15s %7" PRIu64 " %7" PRIu64 " %7" PRIu64 " %7" PRIu64 " %10.1f %12.1f\n", kind.c_str(),
                st.calls, st.faulted, st.succeeded, st.failedAsAllowed, st.worstMs, st.worstOverrunMs);
  }
  std::uint64_t faultTotal = 0;
  std::printf("\nfaults applied:");
  for (const std::string& name : faultKindNames()) {
    const auto it = faultCounts_.find(name);
    const std::uint64_t n = it == faultCounts_.end() ? 0 : it->second;
    std::printf(" %s=%" PRIu64, name.c_str(), n);
    faultTotal += n;
    if (n == 0) problem("the fault kind " + name + " was never injected");
  }
  std::printf(" (total %" PRIu64 ")\n", faultTotal);
  if (calls_ < options_.minCalls) {
    problem(std::to_string(calls_) + " calls, fewer than the minimum of " + std::to_string(options_.minCalls));
  }
  std::printf("recoveries %" PRIu64 ", unplugged lines %" PRIu64 ", openings of a reader at 9600 %" PRIu64
              " (switched %" PRIu64 "), openings on a 921600 baud line %" PRIu64 ", controller statuses %" PRIu64
              ", short segmented reads %" PRIu64 "\n",
              recoveries_, unpluggings_, speedSwitches_, speedSwitched_, fastOpenings_, controllerStatuses_,
              partialSegmentedReads_);
  std::printf("worst overrun %.1f ms: %s\n", worstOverrunMs_, worstCall_.c_str());
  std::printf("most the machine added to a call %.1f ms; overruns past the margin it explains: %" PRIu64
              ", clean calls failed while it did: %" PRIu64 "\n",
              worstStallMs_, stalledOverruns_, excusedFailures_);
  for (const std::string& e : excusedCalls_) std::printf("  stall: %s\n", e.c_str());
  if ((stalledOverruns_ + excusedFailures_) * 100 > kExcusedPerHundredCalls * calls_) {
    problem("the machine stalled " + std::to_string(stalledOverruns_ + excusedFailures_) +
            " calls: too busy to judge the timing");
  }
  std::printf("%" PRIu64 " calls in %.1f s, %" PRIu64 " problems\n", calls_, seconds, problems_);
  std::printf("soak: %s\n", problems_ == 0 ? "PASSED" : "FAILED");
}

}  // namespace soak

namespace {

constexpr const char* kUsage =
    "usage: soak [--seed N] [--seconds S] [--min-calls N] [--commands N] [--verbose]\n"
    "            [--replay-call N [--stalled N,N..] [--path HEX]]\n";

bool parseCallList(const char* text, std::set<std::uint64_t>* out) {
  for (const char* p = text; *p != '\0';) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(p, &end, 10);
    if (end == p || n == 0) return false;
    out->insert(n);
    p = *end == ',' ? end + 1 : end;
    if (*end != ',' && *end != '\0') return false;
  }
  return true;
}

// The soak runs the replay with soak-replay, the same calls over the library on
// the simulated port, which sits beside it.
int execReplay(char** argv) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    std::fprintf(stderr, "soak: cannot find this program's folder for soak-replay\n");
    return 2;
  }
  self[n] = '\0';
  std::string replay(self);
  replay = replay.substr(0, replay.rfind('/') + 1) + "soak-replay";
  execv(replay.c_str(), argv);
  std::fprintf(stderr, "soak: cannot run %s: %s\n", replay.c_str(), std::strerror(errno));
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  soak::Options o;
  o.program = argv[0];
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--seed" && hasValue) {
      o.seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
      o.seedGiven = true;
    } else if (a == "--commands" && hasValue) {
      o.commands = std::strtoull(argv[++i], nullptr, 0);
    } else if (a == "--min-calls" && hasValue) {
      o.minCalls = std::strtoull(argv[++i], nullptr, 0);
    } else if (a == "--seconds" && hasValue) {
      o.seconds = std::max(1.0, std::atof(argv[++i]));
    } else if (a == "--verbose") {
      o.verbose = true;
    } else if (a == "--replay-call" && hasValue) {
      o.replayCall = std::strtoull(argv[++i], nullptr, 0);
    } else if (a == "--stalled" && hasValue && parseCallList(argv[i + 1], &o.stalled)) {
      ++i;
    } else if (a == "--path" && hasValue) {
      o.path = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 16));
    } else {
      std::fprintf(stderr, "%s", kUsage);
      return 2;
    }
  }
  if (o.minCalls == 0) {
    std::fprintf(stderr, "soak: --min-calls must be at least 1\n");
    return 2;
  }
  std::unique_ptr<soak::Bench> bench = soak::makeBench();
  if (bench->realTime() && o.replayCall != 0) return execReplay(argv);
  if (!bench->realTime() && (o.replayCall == 0 || !o.seedGiven)) {
    std::fprintf(stderr, "soak-replay: give the run's --seed and the --replay-call to show\n%s", kUsage);
    return 2;
  }
  if (!o.seedGiven) o.seed = std::random_device{}();
  soak::Soak soak(o, std::move(bench));
  return soak.run();
}
