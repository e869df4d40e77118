#include "plan.h"

#include <algorithm>

namespace soak {

using pelvsim::Fault;

Plan Planner::draw(int commandsInCall, bool costly) {
  Plan p;
  if (!random_.chance(0.18)) return p;
  static const Fault kQuick[] = {Fault::Nack, Fault::BadLcs, Fault::BadDcs,
                                 Fault::GarbageBeforeAck, Fault::GarbageBeforeAnswer,
                                 Fault::ExtendedAnswer, Fault::Oversized, Fault::AnswerDelay};
  static const Fault kSlow[] = {Fault::Silence, Fault::AckOnly, Fault::Truncated,
                                Fault::AnswerDelay};
  bool slow = random_.chance(0.15);
  if (slow && costly) {
    slow = slowFaultsOnCostlyCalls_ < 6 && random_.chance(0.1);
    if (slow) ++slowFaultsOnCostlyCalls_;
  }
  p.skip = random_.uniform(0, std::max(0, commandsInCall - 1));
  if (!slow) {
    p.fault = kQuick[random_.uniform(0, 7)];
    if (p.fault == Fault::AnswerDelay) {
      p.param = static_cast<std::uint32_t>(random_.uniform(1000, 60000));  // well inside the deadline
    } else if (p.fault != Fault::ExtendedAnswer && p.fault != Fault::Nack &&
               p.fault != Fault::BadLcs && p.fault != Fault::BadDcs) {
      p.param = static_cast<std::uint32_t>(random_.uniform(1, 12));
    }
    return p;
  }
  const int k = random_.uniform(0, 5);
  if (k < 4) {
    p.fault = kSlow[k];
    if (p.fault == Fault::AnswerDelay) {
      // Past the deadline: the answer comes after the host has given up.
      p.param = static_cast<std::uint32_t>(random_.uniform(250000, 400000));
    }
  } else if (k == 4) {
    p.lineGone = true;
  } else {
    p.readerBaud = 57600;
  }
  return p;
}

const std::vector<std::string>& faultKindNames() {
  static const std::vector<std::string> names = {
      "silence", "nack", "ack-only", "bad-lcs", "bad-dcs", "garbage-before-ack",
      "garbage-before-answer", "extended-answer", "truncated", "oversized", "answer-delay",
      "line-gone", "speed-mismatch", "reader-at-9600"};
  return names;
}
static_assert(static_cast<int>(Fault::AnswerDelay) == 11, "faultKindNames follows the order of Fault");

std::string faultKindOf(const Plan& p) {
  if (p.lineGone) return "line-gone";
  if (p.readerBaud == 9600) return "reader-at-9600";
  if (p.readerBaud != 0) return "speed-mismatch";
  if (p.fault == Fault::None) return "none";
  return faultKindNames()[static_cast<std::size_t>(p.fault) - 1];
}

std::string describe(const Plan& p) {
  if (p.lineGone) return "line-gone";
  if (p.readerBaud != 0) return "reader at " + std::to_string(p.readerBaud) + " bit/s";
  if (p.fault == Fault::None) return "none";
  std::string d = faultKindOf(p);
  if (p.fault == Fault::AnswerDelay) {
    d += " " + std::to_string(p.param) + " us";
  } else if (p.param != 0) {
    d += " " + std::to_string(p.param) + " bytes";
  }
  return d + " on command " + std::to_string(p.skip + 1);
}

}  // namespace soak
