#include "faults.h"

namespace pelvsim {

namespace {

constexpr Fault kAllKinds[] = {
    Fault::Silence,  Fault::Nack,           Fault::AckOnly,   Fault::BadLcs,
    Fault::BadDcs,   Fault::GarbageBeforeAck, Fault::GarbageBeforeAnswer,
    Fault::ExtendedAnswer, Fault::Truncated, Fault::Oversized, Fault::AnswerDelay,
};

// splitmix64: small, seedable, the same sequence on every platform.
std::uint64_t nextRandom(std::uint64_t* state) {
  std::uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

void Faults::script(Fault fault, int count, int skip, std::uint32_t param) {
  if (count <= 0 || skip < 0) return;
  const std::size_t end = static_cast<std::size_t>(skip) + static_cast<std::size_t>(count);
  if (scripted.size() < end) scripted.resize(end);
  for (std::size_t i = static_cast<std::size_t>(skip); i < end; ++i) scripted[i] = {fault, param};
}

void Faults::randomize(std::uint32_t seed, double p, std::vector<Fault> k, std::uint32_t param) {
  rngState = seed;
  probability = p;
  kinds = std::move(k);
  randomParam = param;
}

void Faults::clear() {
  scripted.clear();
  probability = 0.0;
  kinds.clear();
  lineGone = false;
}

FaultEntry Faults::take() {
  FaultEntry e;
  if (!scripted.empty()) {
    e = scripted.front();
    scripted.pop_front();
  } else if (probability > 0.0) {
    const double draw = static_cast<double>(nextRandom(&rngState) >> 11) / 9007199254740992.0;
    if (draw < probability) {
      const std::uint64_t pick = nextRandom(&rngState);
      if (kinds.empty()) {
        e.fault = kAllKinds[static_cast<std::size_t>(pick % (sizeof kAllKinds / sizeof kAllKinds[0]))];
      } else {
        e.fault = kinds[static_cast<std::size_t>(pick % kinds.size())];
      }
      e.param = randomParam;
    }
  }
  if (e.fault != Fault::None) ++applied;
  return e;
}

}  // namespace pelvsim
