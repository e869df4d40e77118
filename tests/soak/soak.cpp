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
//     success its data against what the card really holds;
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
//   soak [--seed N] [--seconds S] [--min-calls N] [--commands N] [--verbose]
// Exit status 0 when every check held.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cards.h"
#include "controller.h"
#include "faults.h"
#include "field.h"
#include "pelvane.h"
#include "platform/platform.h"
#include "port/port_table.h"
#include "pty_server.h"
#include "support/cards.h"
#include "support/hex.h"

namespace {

using pelvtest::Bytes;
using SteadyClock = std::chrono::steady_clock;
using pelvsim::Fault;

constexpr int kPort = 7;
// Time-out that mode selection gives the card and reader commands, in tenths of
// a second. Opening leaves 10.0 (1 s) until the next selection.
constexpr std::uint8_t kTenths = 5;
// Mode selection runs against a deadline of its own, 5 s from its start.
constexpr double kSelectMs = 5000.0;
// Opening: at most three deadlines of 1 s (reset at the host's speed, the speed
// switch at 9600, the reset after reopening).
constexpr double kOpenMs = 3000.0;
// The RW_ interface selects Type B with a time-out of 3.2 s.
constexpr std::uint8_t kTypeBTenths = 0x20;
constexpr double kTypeBMs = kTypeBTenths * 100.0;
// Pause after each segment of a segmented read, and RW_Activate's two pauses.
constexpr double kSegmentPauseMs = 47.0;
constexpr double kActivatePausesMs = 40.0;
// An overrun above this fails the soak.
constexpr double kMarginMs = 250.0;
// A call that got no fault may fail only when the machine held the process up
// for at least this long during it. Every such call is listed at the end, and
// more than one in a hundred fails the run: the machine was too busy to judge.
constexpr double kExcusingStallMs = 100.0;
constexpr std::uint64_t kExcusedPerHundredCalls = 1;
// A call still running this long after its bound is a hang: the soak stops.
constexpr double kHangMs = 10000.0;
constexpr std::size_t kResponseSize = PELVANE_RESPONSE_MAX;
constexpr std::uint8_t kSentinel = 0xEE;

// The cards in the field (field.h gives their contents).
const Bytes kIdm = pelvtest::hex(pelvtest::kIdm);
const Bytes kUid = pelvtest::hex(pelvtest::kUid4);
constexpr std::uint16_t kFelicaService = 0x090F;  // read-only, 10 blocks, service number 1
constexpr int kFelicaServiceIndex = 1;
constexpr std::uint8_t kIcCode = 0x32;
constexpr std::uint8_t kFirmwareVersion = 0x01;

std::string hexOf(const std::uint8_t* p, std::size_t n, std::size_t most = 24) {
  return pelvtest::toHex(p, n < most ? n : most) + (n > most ? " .." : "");
}

// ---- the watchdog: a call far past its bound ends the program ----
// It also wakes every 5 ms and keeps the longest and the mean lateness of its
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
               SteadyClock::now().time_since_epoch())
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

// ---- statistics per kind of call ----

struct KindStats {
  std::uint64_t calls = 0;
  std::uint64_t faulted = 0;
  std::uint64_t succeeded = 0;
  std::uint64_t failedAsAllowed = 0;
  double worstMs = 0.0;
  double worstOverrunMs = -1e9;
};

enum class Verdict { Success, AllowedFailure, Wrong };

struct Check {
  Verdict verdict;
  std::string detail;
  // A failure that an earlier call's fault explains (see RW_Transmit), allowed
  // even on a call that got no fault itself.
  bool explained;
};

Check success() { return {Verdict::Success, "", false}; }
Check allowedFailure(std::string d) { return {Verdict::AllowedFailure, std::move(d), false}; }
Check wrong(std::string d) { return {Verdict::Wrong, std::move(d), false}; }

bool isControllerStatus(std::uint8_t s) {
  return s != 0x00 && s != 0xFF && s != 0xFE && s != 0xFD && s != 0xFC && s != 0xF9;
}

// One failure outcome a command may give: result and STATUS of a 03 CMD STATUS
// response. kAnyController stands for any controller status byte.
constexpr int kAnyController = -1;
struct FailureOutcome {
  std::uint16_t result;
  int status;
};

Check checkFailure(std::uint8_t cmd, std::uint16_t result, const std::uint8_t* r,
                   std::initializer_list<FailureOutcome> allowed) {
  if (r[0] != 0x03 || r[1] != cmd) {
    return wrong("failure response not 03 CMD STATUS: " + hexOf(r, 8));
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

bool untouched(const std::uint8_t* r, std::size_t n) {
  return std::all_of(r, r + n, [](std::uint8_t b) { return b == kSentinel; });
}

// ---- the soak ----

struct Options {
  std::uint32_t seed = 0;
  bool seedGiven = false;
  std::uint64_t commands = 0;  // 0: no upper limit
  std::uint64_t minCalls = 1000;
  double seconds = 90.0;
  bool verbose = false;
};

// Every kind of fault the soak injects; each must be applied at least once.
const std::vector<std::string>& faultKindNames() {
  static const std::vector<std::string> names = {
      "silence", "nack", "ack-only", "bad-lcs", "bad-dcs", "garbage-before-ack",
      "garbage-before-answer", "extended-answer", "truncated", "oversized", "answer-delay",
      "line-gone", "speed-mismatch", "reader-at-9600"};
  return names;
}
static_assert(static_cast<int>(Fault::AnswerDelay) == 11, "faultKindNames follows the order of Fault");
std::string faultName(Fault f) { return faultKindNames()[static_cast<std::size_t>(f) - 1]; }

enum class Reader { Felica, Mifare, Peer, TypeB };

class Soak {
 public:
  explicit Soak(const Options& o) : options_(o), rng_(o.seed) {}

  int run();

 private:
  // What the next call gets from the controller and the line.
  struct Plan {
    Fault fault = Fault::None;
    int skip = 0;
    std::uint32_t param = 0;
    bool lineGone = false;
    std::uint32_t readerBaud = 0;  // not 0: the reader runs at this speed, not 115200
  };

  // ---- set-up ----
  bool startServer(std::string* error);
  void withController(const std::function<void(pelvsim::Controller&)>& fn) {
    server_->withController(fn);
  }

  // ---- faults ----
  Plan drawPlan(int commandsInCall, bool costly);
  void applyPlan(const Plan& p);
  void healLine();
  bool waitQuiet();
  std::uint64_t faultsApplied() {
    std::uint64_t n = 0;
    withController([&](pelvsim::Controller& c) { n = c.faults().applied; });
    return n;
  }

  // ---- one call: timing and bookkeeping ----
  // Runs fn (which returns the check of its outcome) under the plan, records it
  // and returns whether the call succeeded.
  bool call(const std::string& kind, double boundMs, const Plan& plan,
            const std::function<Check()>& fn);

  // ---- the calls ----
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

  std::uint16_t command(const Bytes& packet) {
    std::memset(response_.data(), kSentinel, response_.size());
    return RF_COMMAND(kPort, packet.data(), response_.data());
  }
  const std::uint8_t* resp() const { return response_.data(); }
  bool portOpen() const { return pelvane::slotOpen(kPort); }
  // The deadline the dispatcher will arm for the next command.
  double commandMs() const { return pelvane::slot(kPort).timeoutTenths * 100.0; }
  double remainingDeadlineMs() const {
    const pelvane::PortSlot& s = pelvane::slot(kPort);
    if (s.deadline == 0) return 0.0;
    const std::int32_t left = s.deadline - pelvane::clockMs();
    return left > 0 ? left : 0.0;
  }
  int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p; }
  double elapsedSeconds() const {
    return std::chrono::duration<double>(SteadyClock::now() - start_).count();
  }
  bool minimumsMet() const {
    return calls_ >= options_.minCalls && faultKindsSeen_.size() == faultKindNames().size();
  }
  // Time is up once --seconds have passed and the minimums are met, or at four
  // times --seconds in any case; --commands caps the calls.
  bool outOfBudget() const {
    if (options_.commands != 0 && calls_ >= options_.commands) return true;
    const double t = elapsedSeconds();
    return (t >= options_.seconds && minimumsMet()) || t >= 4.0 * options_.seconds;
  }
  void sawFault(const std::string& name) {
    faultKindsSeen_.insert(name);
    ++faultCounts_[name];
  }

  void problem(const std::string& what) {
    ++problems_;
    if (problems_ <= 40) std::fprintf(stderr, "soak: PROBLEM: %s\n", what.c_str());
  }

  Options options_;
  std::mt19937 rng_;
  std::unique_ptr<pelvsim::PtyServer> server_;
  std::vector<std::uint8_t> response_ = std::vector<std::uint8_t>(kResponseSize);
  Watchdog watchdog_;
  SteadyClock::time_point start_;

  Reader reader_ = Reader::Felica;
  bool cardReady_ = false;  // polled (cards) or activated (peer) since the last selection
  bool needsRecovery_ = false;
  std::uint64_t calls_ = 0;
  std::uint64_t problems_ = 0;
  std::uint64_t recoveries_ = 0;
  std::uint64_t slowFaultsOnCostlyCalls_ = 0;
  std::uint64_t controllerStatuses_ = 0;
  std::uint64_t partialSegmentedReads_ = 0;
  std::uint64_t unpluggings_ = 0;
  std::uint64_t speedSwitches_ = 0;
  std::uint64_t speedSwitched_ = 0;
  std::map<std::string, KindStats> stats_;
  std::map<std::string, std::uint64_t> faultCounts_;
  std::set<std::string> faultKindsSeen_;
  std::vector<std::string> excusedCalls_;
  // The last RW_Activate got a NACK in place of its poll's acknowledgement.
  bool activationNacked_ = false;
  std::uint64_t apdusAfterNackedActivation_ = 0;
  std::string worstCall_;
  double worstOverrunMs_ = -1e9;
  double worstStallMs_ = 0.0;
  std::uint64_t stalledOverruns_ = 0;
  std::uint64_t excusedFailures_ = 0;
};

bool Soak::startServer(std::string* error) {
  if (server_) server_->stop();
  if (!server_) {
    server_.reset(new pelvsim::PtyServer);
    std::string e;
    bool ok = true;
    server_->withController([&](pelvsim::Controller& c) {
      ok = pelvsim::addCards("felica,mifare1k,typeB,peer", c.field(), &e);
    });
    if (!ok) {
      *error = e;
      return false;
    }
  }
  if (!server_->open(error) || !server_->start()) return false;
  return PV_SetPortDevice(kPort, server_->slavePath().c_str()) == PELVANE_EXT_DONE;
}

// A fault for the next call, with probability 0.18. Faults that make the call
// wait for its whole deadline are kept rare on the calls whose deadlines are
// seconds long (mode selection, opening, the RW_ interface).
Soak::Plan Soak::drawPlan(int commandsInCall, bool costly) {
  Plan p;
  if (!chance(0.18)) return p;
  static const Fault kQuick[] = {Fault::Nack, Fault::BadLcs, Fault::BadDcs,
                                 Fault::GarbageBeforeAck, Fault::GarbageBeforeAnswer,
                                 Fault::ExtendedAnswer, Fault::Oversized, Fault::AnswerDelay};
  static const Fault kSlow[] = {Fault::Silence, Fault::AckOnly, Fault::Truncated,
                                Fault::AnswerDelay};
  bool slow = chance(0.15);
  if (slow && costly) {
    slow = slowFaultsOnCostlyCalls_ < 6 && chance(0.1);
    if (slow) ++slowFaultsOnCostlyCalls_;
  }
  p.skip = uniform(0, std::max(0, commandsInCall - 1));
  if (!slow) {
    p.fault = kQuick[uniform(0, 7)];
    if (p.fault == Fault::AnswerDelay) {
      p.param = static_cast<std::uint32_t>(uniform(1000, 60000));  // well inside the deadline
    } else if (p.fault != Fault::ExtendedAnswer && p.fault != Fault::Nack &&
               p.fault != Fault::BadLcs && p.fault != Fault::BadDcs) {
      p.param = static_cast<std::uint32_t>(uniform(1, 12));
    }
    return p;
  }
  const int k = uniform(0, 5);
  if (k < 4) {
    p.fault = kSlow[k];
    if (p.fault == Fault::AnswerDelay) {
      // Past the deadline: the answer comes after the host has given up.
      p.param = static_cast<std::uint32_t>(uniform(250000, 400000));
    }
  } else if (k == 4) {
    p.lineGone = true;
  } else {
    p.readerBaud = 57600;
  }
  return p;
}

void Soak::applyPlan(const Plan& p) {
  withController([&](pelvsim::Controller& c) {
    c.faults().clear();
    if (p.fault != Fault::None) c.faults().script(p.fault, 1, p.skip, p.param);
    c.faults().lineGone = p.lineGone;
    if (p.readerBaud != 0) c.setBaud(p.readerBaud);
  });
}

void Soak::healLine() {
  withController([](pelvsim::Controller& c) {
    c.faults().clear();
    c.setBaud(115200);
  });
}

// Waits (at most 2 s) until the controller has nothing more on its way to the
// host, so that a late answer of a faulted call cannot meet the next one.
bool Soak::waitQuiet() {
  for (int i = 0; i < 2000; ++i) {
    std::uint64_t next = 0;
    withController([&](pelvsim::Controller& c) { next = c.nextArrivalUs(); });
    if (next == UINT64_MAX) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

bool Soak::call(const std::string& kind, double boundMs, const Plan& plan,
                const std::function<Check()>& fn) {
  const std::uint64_t appliedBefore = faultsApplied();
  applyPlan(plan);
  watchdog_.beginCall(kind, boundMs);
  const auto t0 = SteadyClock::now();
  const Check check = fn();
  const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
  const double stallMs = watchdog_.endCall();
  const bool faulted = plan.lineGone || plan.readerBaud != 0 || faultsApplied() != appliedBefore;
  healLine();
  ++calls_;

  if (faulted) {
    if (plan.lineGone) sawFault("line-gone");
    if (plan.readerBaud == 57600) sawFault("speed-mismatch");
    if (plan.readerBaud == 9600) sawFault("reader-at-9600");
    if (plan.fault != Fault::None && !plan.lineGone && plan.readerBaud == 0) sawFault(faultName(plan.fault));
  }
  KindStats& st = stats_[kind];
  ++st.calls;
  if (faulted) ++st.faulted;
  st.worstMs = std::max(st.worstMs, ms);
  const double overrun = ms - boundMs;
  st.worstOverrunMs = std::max(st.worstOverrunMs, overrun);
  if (overrun > worstOverrunMs_) {
    worstOverrunMs_ = overrun;
    char b[160];
    std::snprintf(b, sizeof b, "%s (call %" PRIu64 ", %.1f ms against %.0f ms, fault %d%s%s)",
                  kind.c_str(), calls_, ms, boundMs, static_cast<int>(plan.fault),
                  plan.lineGone ? ", line gone" : "", plan.readerBaud != 0 ? ", reader at another speed" : "");
    worstCall_ = b;
  }
  worstStallMs_ = std::max(worstStallMs_, stallMs);
  if (overrun > kMarginMs) {
    char b[200];
    std::snprintf(b, sizeof b, "%s took %.1f ms, %.1f ms past its bound of %.0f ms (the machine added %.1f ms)",
                  kind.c_str(), ms, overrun, boundMs, stallMs);
    if (overrun - stallMs > kMarginMs) {
      problem(b);
    } else {
      ++stalledOverruns_;
      excusedCalls_.push_back("call " + std::to_string(calls_) + " " + b);
      std::fprintf(stderr, "soak: STALL: %s\n", b);
    }
  }

  switch (check.verdict) {
    case Verdict::Success:
      ++st.succeeded;
      break;
    case Verdict::AllowedFailure:
      ++st.failedAsAllowed;
      if (faulted || check.explained) break;
      if (stallMs >= kExcusingStallMs) {
        // The process did not run for a good part of the call: the deadline
        // passed while the machine was busy elsewhere.
        ++excusedFailures_;
        char b[160];
        std::snprintf(b, sizeof b, "call %" PRIu64 " %s failed without a fault while the machine added %.1f ms",
                      calls_, kind.c_str(), stallMs);
        excusedCalls_.push_back(b);
        std::fprintf(stderr, "soak: STALL: %s\n", b);
      } else {
        problem(kind + " failed without any fault: " + check.detail);
      }
      break;
    case Verdict::Wrong:
      problem(kind + (faulted ? " (faulted)" : "") + ": " + check.detail);
      break;
  }
  if (options_.verbose) {
    std::fflush(stderr);
    std::printf("%6" PRIu64 " %-14s %8.2f ms  fault %2d%s  %s %s\n", calls_, kind.c_str(), ms,
                static_cast<int>(plan.fault), faulted ? "*" : " ",
                check.verdict == Verdict::Success ? "ok" : "failed", check.detail.c_str());
    std::fflush(stdout);
  }
  if (faulted || check.verdict != Verdict::Success) needsRecovery_ = true;
  return check.verdict == Verdict::Success;
}

std::uint8_t modeCode(Reader r) {
  switch (r) {
    case Reader::Felica: return PELVANE_MODE_CODE_FELICA;
    case Reader::Mifare: return PELVANE_MODE_CODE_MIFARE;
    case Reader::Peer: return PELVANE_MODE_CODE_PEER_INITIATOR;
    case Reader::TypeB: return PELVANE_MODE_CODE_TYPE_B;
  }
  return 0;
}

bool Soak::selectMode(Reader reader, const Plan& plan) {
  const std::uint8_t code = modeCode(reader);
  const std::uint8_t tenths = reader == Reader::TypeB ? kTypeBTenths : kTenths;
  // Type B writes a raw InSelect and pauses 10 ms before its deadline starts;
  // the peer modes poll once and pause 20 ms inside it.
  const double pauses = reader == Reader::TypeB ? 10.0 : (reader == Reader::Peer ? 20.0 : 0.0);
  const bool ok = call("0x10 select", kSelectMs + pauses, plan, [&] {
    const std::uint16_t result = command({0x07, 0x10, code, tenths, 0x00, 0x00, 0x00});
    const std::uint8_t* r = resp();
    if (result == PELVANE_RESULT_DONE) {
      const std::uint8_t want[] = {0x05, 0x10, 0x00, kIcCode, kFirmwareVersion};
      if (std::memcmp(r, want, sizeof want) == 0) return success();
      return wrong("success with " + hexOf(r, 5));
    }
    if (result == PELVANE_RESULT_FAILED && untouched(r, 16)) return allowedFailure("result 1");
    return wrong("result " + std::to_string(result) + " with " + hexOf(r, 5));
  });
  reader_ = reader;
  cardReady_ = false;
  return ok;
}

bool Soak::poll(const Plan& plan) {
  const bool felica = reader_ == Reader::Felica;
  const bool ok = call(felica ? "0x20 felica" : "0x20 typeA", commandMs(), plan, [&] {
    const std::uint16_t result = felica ? command({0x05, 0x20, 0xFF, 0xFF, 0x00}) : command({0x02, 0x20});
    const std::uint8_t* r = resp();
    if (result == PELVANE_RESULT_DONE && r[2] == 0x00) {
      Bytes want = {0x00, 0x20, 0x00};
      if (felica) {
        want.insert(want.end(), kIdm.begin(), kIdm.end());
      } else {
        want.insert(want.end(), kUid.begin(), kUid.end());
      }
      want[0] = static_cast<std::uint8_t>(want.size());
      if (std::memcmp(r, want.data(), want.size()) == 0) return success();
      return wrong("poll answered " + hexOf(r, 12));
    }
    return checkFailure(0x20, result, r, {{0, 0xFE}, {1, 0xFF}});
  });
  cardReady_ = ok;
  return ok;
}

bool Soak::readCard(const Plan& plan) {
  if (reader_ == Reader::Felica) {
    const int m = uniform(1, 4);
    const int first = uniform(0, 10 - m);
    Bytes p = {0x00, 0x30};
    p.insert(p.end(), kIdm.begin(), kIdm.end());
    p.push_back(0x01);
    p.push_back(static_cast<std::uint8_t>(kFelicaService >> 8));
    p.push_back(static_cast<std::uint8_t>(kFelicaService & 0xFF));
    p.push_back(static_cast<std::uint8_t>(m));
    for (int i = 0; i < m; ++i) {
      p.push_back(0x80);  // 2-byte element, service index 0
      p.push_back(static_cast<std::uint8_t>(first + i));
    }
    p[0] = static_cast<std::uint8_t>(p.size());
    return call("0x30 felica", commandMs(), plan, [&] {
      const std::uint16_t result = command(p);
      const std::uint8_t* r = resp();
      if (result == PELVANE_RESULT_DONE && r[2] == 0x00) {
        if (r[0] != 3 + 16 * m || r[1] != 0x30) return wrong("read answered " + hexOf(r, 8));
        for (int i = 0; i < m; ++i) {
          for (int j = 0; j < 16; ++j) {
            const auto want = static_cast<std::uint8_t>(16 * (first + i) + j +
                                                        0x40 * kFelicaServiceIndex + 1);
            if (r[3 + 16 * i + j] != want) return wrong("FeliCa block data differ: " + hexOf(r, 40));
          }
        }
        return success();
      }
      const Check c = checkFailure(0x30, result, r, {{0, 0xFE}, {1, 0xFF}, {1, 0xF9}, {1, kAnyController}});
      if (c.verdict == Verdict::AllowedFailure && isControllerStatus(r[2])) ++controllerStatuses_;
      return c;
    });
  }
  // MIFARE Classic 1K: data blocks of sectors 1 to 15 (the trailers left out).
  const int sector = uniform(1, 15);
  const int firstBlock = uniform(0, 2);
  const int count = uniform(1, 3 - firstBlock);
  Bytes p = {0x0F, 0x30};
  p.insert(p.end(), kUid.begin(), kUid.end());
  p.insert(p.end(), pelvsim::MifareClassicCard::kFactoryKey.begin(),
           pelvsim::MifareClassicCard::kFactoryKey.end());
  p.push_back(static_cast<std::uint8_t>(sector));
  p.push_back(static_cast<std::uint8_t>(firstBlock));
  p.push_back(static_cast<std::uint8_t>(count));
  return call("0x30 mifare", commandMs(), plan, [&] {
    const std::uint16_t result = command(p);
    const std::uint8_t* r = resp();
    if (result == PELVANE_RESULT_DONE && r[2] == 0x00) {
      if (r[0] != 3 + 16 * count || r[1] != 0x30) return wrong("read answered " + hexOf(r, 8));
      for (int i = 0; i < count; ++i) {
        const int block = 4 * sector + firstBlock + i;
        for (int j = 0; j < 16; ++j) {
          if (r[3 + 16 * i + j] != static_cast<std::uint8_t>(block + j)) {
            return wrong("MIFARE block data differ: " + hexOf(r, 40));
          }
        }
      }
      return success();
    }
    const Check c = checkFailure(0x30, result, r, {{0, 0xFE}, {1, 0xFF}, {1, kAnyController}});
    if (c.verdict == Verdict::AllowedFailure && isControllerStatus(r[2])) ++controllerStatuses_;
    return c;
  });
}

bool Soak::activatePeer(const Plan& plan) {
  const bool ok = call("0x50 activate", commandMs(), plan, [&] {
    const std::uint16_t result = command({0x03, 0x50, 0x02});
    const std::uint8_t* r = resp();
    if (result == PELVANE_RESULT_DONE) {
      const std::uint8_t want[] = {0x03, 0x50, 0x00};
      if (std::memcmp(r, want, 3) == 0) return success();
      return wrong("activation answered " + hexOf(r, 4));
    }
    return checkFailure(0x50, result, r, {{1, 0xFE}, {1, 0xFF}, {1, kAnyController}});
  });
  cardReady_ = ok;
  return ok;
}

bool Soak::passThrough(const Plan& plan) {
  const int n = uniform(1, 250);
  Bytes p = {static_cast<std::uint8_t>(n + 2), 0x86};
  // The peer echoes anything that is not a segment request (A6).
  for (int i = 0; i < n; ++i) p.push_back(static_cast<std::uint8_t>(uniform(0, 0xA5)));
  return call("0x86 exchange", commandMs(), plan, [&] {
    const std::uint16_t result = command(p);
    const std::uint8_t* r = resp();
    // The echo of one byte is too short an answer: 03 86 FE with result 1.
    if (n == 1 && result == PELVANE_RESULT_FAILED && r[0] == 0x03 && r[1] == 0x86 && r[2] == 0xFE) {
      return success();
    }
    if (result == PELVANE_RESULT_DONE && r[0] != 0xFF && r[2] == 0x00) {
      if (n == 1) return wrong("success for a one-byte answer");
      if (r[0] != n + 3 || r[1] != 0x86 || std::memcmp(r + 3, p.data() + 2, n) != 0) {
        return wrong("echo differs: " + hexOf(r, 12));
      }
      return success();
    }
    return checkFailure(0x86, result, r, {{0, 0xFE}, {1, 0xFF}, {1, 0xFE}, {1, kAnyController}});
  });
}

bool Soak::segmentedRead(const Plan& plan) {
  const int block = uniform(0, 3);
  const int first = uniform(0, 5);
  const int count = uniform(1, 3);
  const double bound = count * (commandMs() + kSegmentPauseMs);
  return call("0x70 segments", bound, plan, [&] {
    const std::uint16_t result = command({0x06, 0x70, 0x00, static_cast<std::uint8_t>(block),
                                          static_cast<std::uint8_t>(first),
                                          static_cast<std::uint8_t>(count)});
    const std::uint8_t* r = resp();
    const int got = r[0];
    if (r[1] != 0x70 || r[3] != 0xA7 || got > count) return wrong("response head " + hexOf(r, 4));
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
      ++partialSegmentedReads_;
      return allowedFailure("short transfer of " + std::to_string(got));  // a time-out mid-way
    }
    if (result == PELVANE_RESULT_FAILED && r[2] == 0xFF) {
      if (portOpen()) return wrong("a link failure left the port open");
      return allowedFailure("link failure, port closed");
    }
    if (result == PELVANE_RESULT_FAILED && r[2] == 0x00) return allowedFailure("controller status");
    return wrong("result " + std::to_string(result) + " with " + hexOf(r, 4));
  });
}

bool Soak::readRegister(const Plan& plan) {
  return call("0xF1 register", commandMs(), plan, [&] {
    const std::uint16_t result = command({0x04, 0xF1, 0x63, 0x06});
    const std::uint8_t* r = resp();
    if (result == PELVANE_RESULT_DONE && r[2] == 0x00) {
      std::uint8_t value = 0;
      withController([&](pelvsim::Controller& c) { value = c.registerValue(0x6306); });
      if (r[0] == 0x04 && r[1] == 0xF1 && r[3] == value) return success();
      return wrong("register read answered " + hexOf(r, 5));
    }
    return checkFailure(0xF1, result, r, {{0, 0xFE}, {1, 0xFF}});
  });
}

bool Soak::readGpio(const Plan& plan) {
  return call("0xF5 gpio", commandMs(), plan, [&] {
    const std::uint16_t result = command({0x02, 0xF5});
    const std::uint8_t* r = resp();
    if (result == PELVANE_RESULT_DONE && r[2] == 0x00) {
      std::uint8_t p3 = 0;
      std::uint8_t p7 = 0;
      withController([&](pelvsim::Controller& c) {
        p3 = c.gpioP3();
        p7 = c.gpioP7();
      });
      if (r[0] == 0x06 && r[1] == 0xF5 && r[3] == p3 && r[4] == p7) return success();
      return wrong("GPIO read answered " + hexOf(r, 6));
    }
    return checkFailure(0xF5, result, r, {{0, 0xFE}, {1, 0xFF}});
  });
}

bool Soak::openPort(const Plan& plan, const char* kind) {
  const bool ok = call(kind, kOpenMs, plan, [&] {
    std::int32_t opened = 0;
    const std::uint16_t result = RF_OPEN(kPort, &opened);
    if (result == PELVANE_RESULT_DONE) {
      if (opened != kPort || !portOpen()) return wrong("opened, but port " + std::to_string(opened));
      return success();
    }
    if (result == PELVANE_RESULT_FAILED) {
      if (portOpen()) return wrong("a failed open left the slot open");
      return allowedFailure("result 1");
    }
    return wrong("RF_OPEN gave " + std::to_string(result));
  });
  reader_ = Reader::Mifare;  // opening leaves ReaderMode 3, with the field off
  cardReady_ = false;
  return ok;
}

bool Soak::closePort(const Plan& plan) {
  const bool wasOpen = portOpen();
  return call("RF_CLOSE", commandMs(), plan, [&] {
    const std::int32_t result = RF_CLOSE(kPort);
    if (portOpen()) return wrong("the port is still open after RF_CLOSE");
    if (result == (wasOpen ? PELVANE_CLOSE_DONE : PELVANE_CLOSE_NOT_OPEN)) return success();
    return wrong("RF_CLOSE gave " + std::to_string(result));
  });
}

// RW_Open, RW_Activate, APDUs, RW_Deactivate, RW_Close, then the RF_ port again.
void Soak::typeBSession() {
  if (portOpen()) closePort(Plan{});
  if (needsRecovery_) return;
  const bool opened = call("RW_Open", kOpenMs + commandMs() + kSelectMs + 10.0, drawPlan(12, true), [&] {
    const std::int32_t r = RW_Open(kPort);
    if (r == PELVANE_RW_OK) return portOpen() ? success() : wrong("RW_Open: 0 but not open");
    if (r == PELVANE_RW_OPEN_FAILED || r == PELVANE_RW_NO_CARD) return allowedFailure(std::to_string(r));
    return wrong("RW_Open gave " + std::to_string(r));
  });
  reader_ = Reader::TypeB;
  cardReady_ = false;
  if (!opened) return;

  const double activateBound = remainingDeadlineMs() + kActivatePausesMs;
  const Plan activatePlan = drawPlan(2, true);
  // A NACK in place of the poll's acknowledgement is a success of the exchange
  // (a NACK ends it with code 0), so RW_Activate reports 0 with no card
  // activated; the first APDU then fails. The NACK on the field-off command
  // before the poll (skip 0) is ignored by RW_Activate and activates normally.
  activationNacked_ = activatePlan.fault == Fault::Nack && activatePlan.skip == 1;
  if (!call("RW_Activate", activateBound, activatePlan, [&] {
        const std::int32_t r = RW_Activate(kPort, 1, 0, 0, 0);
        if (r == PELVANE_RW_OK) return success();
        if (r == PELVANE_RW_NO_CARD) return allowedFailure("no card");
        return wrong("RW_Activate gave " + std::to_string(r));
      })) {
    return;
  }
  for (int i = 0, apdus = uniform(1, 4); i < apdus && !outOfBudget(); ++i) {
    const bool select = uniform(0, 2) == 0;
    const std::uint8_t le = static_cast<std::uint8_t>(uniform(1, 200));
    const std::uint16_t offset = static_cast<std::uint16_t>(uniform(0, 0x3FF));
    const Bytes apdu = select ? Bytes{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}
                              : Bytes{0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8),
                                      static_cast<std::uint8_t>(offset & 0xFF), le};
    if (!call("RW_Transmit", commandMs(), drawPlan(1, true), [&] {
          std::uint8_t out[PELVANE_APDU_RESPONSE_MAX];
          std::int32_t n = -1;
          const std::int32_t r = RW_Transmit(kPort, 0, 0, static_cast<std::int32_t>(apdu.size()),
                                             apdu.data(), &n, out);
          if (r == PELVANE_RW_TRANSMIT_FAILED) {
            Check c = allowedFailure("transmit failed");
            if (activationNacked_) {
              c.detail += " (the activation met a NACK: no card was activated)";
              c.explained = true;
              ++apdusAfterNackedActivation_;
            }
            return c;
          }
          if (r != PELVANE_RW_OK) return wrong("RW_Transmit gave " + std::to_string(r));
          Bytes want;
          if (!select) {
            for (int k = 0; k < le; ++k) want.push_back(pelvsim::TypeBCard::dataByte(offset + k));
          }
          want.push_back(0x90);
          want.push_back(0x00);
          if (n != static_cast<std::int32_t>(want.size()) || std::memcmp(out, want.data(), want.size()) != 0) {
            return wrong("APDU answer differs: " + hexOf(out, n > 0 ? static_cast<std::size_t>(n) : 0));
          }
          return success();
        })) {
      return;
    }
  }
  const double releaseBound = remainingDeadlineMs();
  if (!call("RW_Deactivate", releaseBound, drawPlan(1, true), [&] {
        const std::int32_t r = RW_Deactivate(kPort, 0, 0);
        if (r == 0) return success();
        if (r == PELVANE_LINK_FAILED || r == PELVANE_LINK_TIMEOUT) return allowedFailure(std::to_string(r));
        return wrong("RW_Deactivate gave " + std::to_string(r));
      })) {
    return;
  }
  call("RW_Close", commandMs(), Plan{}, [&] {
    const std::int32_t r = RW_Close(kPort);
    if (r != 0 || portOpen()) return wrong("RW_Close gave " + std::to_string(r));
    return success();
  });
}

// A reader left at 9600 by an earlier user: opening tells it to switch to
// 115200 and reopens; the open must succeed and leave the reader at 115200.
void Soak::speedSwitchOpen() {
  if (portOpen()) closePort(Plan{});
  if (needsRecovery_) return;
  ++speedSwitches_;
  Plan atNineSixHundred;
  atNineSixHundred.readerBaud = 9600;  // healLine() puts 115200 back afterwards
  call("RF_OPEN 9600", kOpenMs, atNineSixHundred, [&] {
    std::int32_t opened = 0;
    const std::uint16_t result = RF_OPEN(kPort, &opened);
    std::uint32_t baud = 0;
    withController([&](pelvsim::Controller& c) { baud = c.baud(); });
    if (result != PELVANE_RESULT_DONE) return wrong("RF_OPEN gave " + std::to_string(result));
    if (baud != 115200) return wrong("the reader was left at " + std::to_string(baud));
    ++speedSwitched_;
    return success();
  });
  reader_ = Reader::Mifare;
  cardReady_ = false;
}

// The line goes away for good (the adapter is unplugged) and a new one appears.
void Soak::lineUnplugged() {
  if (!portOpen()) return;
  ++unpluggings_;
  server_->dropLine();
  Plan gone;
  gone.lineGone = true;  // marks the call as faulted
  call("unplugged cmd", commandMs(), gone, [&] {
    const std::uint16_t result = command({0x02, 0xF5});
    return checkFailure(0xF5, result, resp(), {{0, 0xFE}, {1, 0xFF}});
  });
  closePort(Plan{});
  std::string error;
  if (!startServer(&error)) {
    problem("the simulated controller did not come back: " + error);
    return;
  }
  needsRecovery_ = true;
}

void Soak::recover() {
  needsRecovery_ = false;
  ++recoveries_;
  healLine();
  if (!waitQuiet()) problem("the controller kept sending for 2 s after a fault");
  bool ok;
  if (portOpen()) {
    ok = selectMode(reader_, Plan{});
  } else {
    ok = openPort(Plan{}, "RF_OPEN check");
  }
  if (!ok) problem("the clean check after a fault failed");
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
  pelvane::setUpPortTable();
  std::string error;
  if (!startServer(&error)) {
    std::fprintf(stderr, "soak: cannot start the simulated controller: %s\n", error.c_str());
    return 2;
  }
  std::printf("soak: seed %u (replay with --seed %u --seconds %.0f), at least %" PRIu64
              " calls and every fault kind, on %s\n",
              options_.seed, options_.seed, options_.seconds, options_.minCalls,
              server_->slavePath().c_str());
  std::fflush(stdout);
  start_ = SteadyClock::now();
  watchdog_.start((4.0 * options_.seconds + 120.0) * 1000.0);

  openPort(Plan{});
  while (!outOfBudget()) {
    if (needsRecovery_) {
      recover();
    } else {
      step();
    }
  }
  if (needsRecovery_) recover();
  if (portOpen()) closePort(Plan{});
  watchdog_.stop();
  server_->stop();

  const double seconds = std::chrono::duration<double>(SteadyClock::now() - start_).count();
  std::printf("\n%-15s %7s %7s %7s %7s %10s %12s\n", "call", "calls", "faulted", "ok", "failed",
              "worst ms", "overrun ms");
  for (const auto& [kind, st] : stats_) {
    std::printf("%-15s %7" PRIu64 " %7" PRIu64 " %7" PRIu64 " %7" PRIu64 " %10.1f %12.1f\n",
                kind.c_str(), st.calls, st.faulted, st.succeeded, st.failedAsAllowed, st.worstMs,
                st.worstOverrunMs);
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
              " (switched %" PRIu64 "), controller statuses %" PRIu64 ", short segmented reads %" PRIu64
              ", APDUs failed after an activation that met a NACK %" PRIu64 "\n",
              recoveries_, unpluggings_, speedSwitches_, speedSwitched_, controllerStatuses_,
              partialSegmentedReads_, apdusAfterNackedActivation_);
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
  return problems_ == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
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
    } else {
      std::fprintf(stderr,
                   "usage: soak [--seed N] [--seconds S] [--min-calls N] [--commands N] [--verbose]\n");
      return 2;
    }
  }
  if (o.minCalls == 0) {
    std::fprintf(stderr, "soak: --min-calls must be at least 1\n");
    return 2;
  }
  if (!o.seedGiven) o.seed = std::random_device{}();
  Soak soak(o);
  return soak.run();
}
