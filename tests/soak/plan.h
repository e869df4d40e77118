// The faults of a run: which call gets which fault, drawn from the run's seeded
// generator. Every draw of a run comes from that one generator in a fixed order,
// so a seed gives the same calls and the same faults again (the replay relies
// on it).
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "faults.h"

namespace soak {

class Random {
 public:
  explicit Random(std::uint32_t seed) : rng_(seed) {}
  int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p; }

 private:
  std::mt19937 rng_;
};

// What the next call gets from the controller and the line.
struct Plan {
  pelvsim::Fault fault = pelvsim::Fault::None;
  int skip = 0;  // commands of the call the controller answers before the faulted one
  std::uint32_t param = 0;
  bool lineGone = false;
  std::uint32_t readerBaud = 0;  // not 0: the reader runs at this speed, not 115200
};

// A fault for a call with probability 0.18. Faults that make the call wait for
// its whole deadline are kept rare on the calls whose deadlines are seconds long
// (mode selection, opening, the RW_ interface): `costly`.
class Planner {
 public:
  explicit Planner(Random& random) : random_(random) {}
  Plan draw(int commandsInCall, bool costly);

 private:
  Random& random_;
  std::uint64_t slowFaultsOnCostlyCalls_ = 0;
};

// Every kind of fault the soak injects; each must be applied at least once.
const std::vector<std::string>& faultKindNames();
// The kind a faulted call counts under ("line-gone", "speed-mismatch", ...).
std::string faultKindOf(const Plan& p);
// "none", or e.g. "extended-answer on command 1", "answer-delay 2500 us on command 2".
std::string describe(const Plan& p);

}  // namespace soak
