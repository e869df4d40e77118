// Target commands: the controller as a card or DEP target for an initiator in its
// field (PN532 user manual, 7.3.14 onwards): TgInitAsTarget, TgGetData,
// TgSetData, TgGetTargetStatus.
#include "controller_state.h"

namespace pelvsim {

namespace {

// TgInitAsTarget (PN532 user manual, 7.3.14): 8C Mode MifareParams(6)
// FeliCaParams(18) NFCID3t(10) LEN_Gt Gt LEN_Tk Tk; both length bytes are
// required, Gt holds at most 47 bytes and Tk at most 48.
constexpr std::size_t kGtLengthAt = 36;
constexpr std::size_t kLongestGt = 47;
constexpr std::size_t kLongestTk = 48;

bool wellFormedInitAsTarget(const Bytes& p) {
  if (p.size() < kGtLengthAt + 2) return false;
  const std::size_t gt = p[kGtLengthAt];
  if (gt > kLongestGt || p.size() < kGtLengthAt + 2 + gt) return false;
  const std::size_t tk = p[kGtLengthAt + 1 + gt];
  return tk <= kLongestTk && p.size() == kGtLengthAt + 2 + gt + tk;
}

}  // namespace

Reply Controller::State::tgInitAsTarget(const Bytes& p, std::uint64_t t) {
  if (!wellFormedInitAsTarget(p)) return errorFrame();  // syntax error frame (6.2.1.5)
  listed.clear();
  const Initiator* ini = field.present && field.initiator ? &*field.initiator : nullptr;
  if (!ini || ini->never) {
    targetMode = TargetMode::Waiting;
    return Reply{Reply::Wait, {}, 0};
  }
  targetMode = TargetMode::Activated;
  Bytes a = {0x8D, ini->modeByte};
  a.insert(a.end(), ini->atrReq.begin(), ini->atrReq.end());
  Reply r = answer(a);
  r.at = t + ackDelayUs + ini->activateAfterUs;
  return r;
}

Reply Controller::State::tgGetData() {
  if (targetMode != TargetMode::Activated) return answer({0x87, kStatusWrongContext});
  Initiator* ini = field.present && field.initiator ? &*field.initiator : nullptr;
  if (!ini) {
    targetMode = TargetMode::Idle;
    return answer({0x87, kStatusReleased});
  }
  if (ini->toSend.empty()) {
    if (!ini->releasesWhenDone) return Reply{Reply::Wait, {}, 0};
    targetMode = TargetMode::Idle;
    return answer({0x87, kStatusReleased});
  }
  Bytes a = {0x87, kStatusOk};
  a.insert(a.end(), ini->toSend.front().begin(), ini->toSend.front().end());
  ini->toSend.pop_front();
  return answer(a);
}

Reply Controller::State::tgSetData(const Bytes& p) {
  if (targetMode != TargetMode::Activated) return answer({0x8F, kStatusWrongContext});
  Initiator* ini = field.present && field.initiator ? &*field.initiator : nullptr;
  if (!ini) {
    targetMode = TargetMode::Idle;
    return answer({0x8F, kStatusReleased});
  }
  ini->received.emplace_back(p.begin() + 1, p.end());
  return answer({0x8F, kStatusOk});
}

Reply Controller::State::tgGetTargetStatus() const {
  return answer({0x8B, static_cast<std::uint8_t>(targetMode == TargetMode::Activated ? 0x01 : 0x00), 0x00});
}

}  // namespace pelvsim
