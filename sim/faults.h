// Faults of the line and of the controller, scripted per test on the next
// commands or drawn at random from a seeded generator. Line-rate pacing and a
// speed mismatch are settings of the Controller itself (setPacing, setBaud).
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace pelvsim {

enum class Fault : std::uint8_t {
  None,
  Silence,              // no ACK, no answer; the command is recorded but not run
  Nack,                 // NACK frame in the ACK position; not run, no answer
  AckOnly,              // ACK, the command runs, its answer is lost
  BadLcs,               // the answer's LCS is off by one
  BadDcs,               // the answer's DCS is off by one
  GarbageBeforeAck,     // `param` bytes (default 3) of noise before the ACK
  GarbageBeforeAnswer,  // `param` bytes (default 3) of noise between ACK and answer
  ExtendedAnswer,       // the answer goes out as an extended frame however short
  Truncated,            // only the first half of the answer frame is sent
  Oversized,            // `param` bytes (default 4) more answer data than LEN announces
  AnswerDelay,          // the answer follows the ACK `param` microseconds later
};

struct FaultEntry {
  Fault fault = Fault::None;
  std::uint32_t param = 0;
};

// Garbage bytes never contain the start code 00 FF.
constexpr std::uint8_t kGarbageByte = 0xA5;

struct Faults {
  // The next `count` commands, after `skip` commands left alone, get `fault`.
  // Later calls overwrite earlier ones for the same commands.
  void script(Fault fault, int count = 1, int skip = 0, std::uint32_t param = 0);
  // From now on every command not scripted gets, with `probability`, one fault
  // drawn from `kinds` (all kinds when empty), from a generator seeded with `seed`.
  void randomize(std::uint32_t seed, double probability, std::vector<Fault> kinds = {},
                 std::uint32_t param = 0);
  // Forgets scripted and random faults; the line comes back.
  void clear();

  // The line went away: nothing crosses it in either direction until cleared.
  bool lineGone = false;

  // Used by the controller: the fault for the command just received.
  FaultEntry take();
  // Faults applied so far (None not counted).
  std::uint64_t applied = 0;

  std::deque<FaultEntry> scripted;
  double probability = 0.0;
  std::vector<Fault> kinds;
  std::uint32_t randomParam = 0;
  std::uint64_t rngState = 0;
};

}  // namespace pelvsim
