// The DEP peer that InJumpForDEP / InJumpForPSL activate, or InATR after a poll
// found it, and that answers InDataExchange: segment requests and echoes; InPSL
// changes its speed.
#include <algorithm>

#include "controller_state.h"

namespace pelvsim {

// Appends status 00 and the ATR_RES fields of the peer in the field (Tg 01,
// NFCID3t, DIDt BSt BRt TO PPt) and lists it; false when no peer answers.
bool Controller::State::activatePeer(Bytes* a) {
  if (!field.present || !field.peer) return false;
  listed.push_back({Kind::Peer, Bytes(field.peer->nfcid3.begin(), field.peer->nfcid3.end()), 0x40, true, -1, {}, true});
  a->insert(a->end(), {kStatusOk, 0x01});
  appendAtrRes(*field.peer, a);
  return true;
}

void Controller::State::appendAtrRes(const DepPeer& peer, Bytes* a) const {
  a->insert(a->end(), peer.nfcid3.begin(), peer.nfcid3.end());
  a->insert(a->end(), {0x00, 0x00, 0x00, 0x0E, 0x30});  // DIDt BSt BRt TO PPt
}

// InATR (PN532 user manual, 7.3.6): 50 Tg Next [NFCID3i(10)] [Gi(<= 48)] sends
// ATR_REQ to a target that InListPassiveTarget found; a DEP peer answers
// 51 00 NFCID3t DIDt BSt BRt TO PPt, a card that has no DEP never answers (01).
Reply Controller::State::inAtr(const Bytes& p) {
  if (p.size() < 3 || (p[2] & ~0x03u) != 0) return errorFrame();
  const std::size_t nfcid3 = (p[2] & 0x01) ? 10 : 0;
  const std::size_t gi = p.size() - 3 - std::min(nfcid3, p.size() - 3);
  if (p.size() < 3 + nfcid3 || ((p[2] & 0x02) ? (gi == 0 || gi > 48) : gi != 0)) return errorFrame();
  Target* tg = target(p[1]);
  if (!tg) return answer({0x51, kStatusWrongContext});
  // Passive, at the speed of the poll that found the target.
  tg->depActive = false;
  tg->depSpeed = tg->brTy <= 0x02 ? tg->brTy : 0;
  const std::size_t atrReq = 16 + gi;
  if (tg->kind != Kind::Peer || !field.present || !field.peer) {
    air(rf::depFrame(atrReq, tg->depSpeed) + rf::fromTimeoutCode(atrResTimeout));
    return answer({0x51, kStatusTimeout});
  }
  air(depAtrAir(*tg, atrReq));
  tg->dep = true;
  Bytes a = {0x51, kStatusOk};
  appendAtrRes(*field.peer, &a);
  return answer(a);
}

// InPSL (PN532 user manual, 7.3.7): 4E Tg BRit BRti, each 0 (106), 1 (212) or
// 2 (424 kbit/s), to a target in DEP; the peer takes any of them.
Reply Controller::State::inPsl(const Bytes& p) {
  if (p.size() != 4 || p[2] > 0x02 || p[3] > 0x02) return errorFrame();
  Target* tg = target(p[1]);
  if (!tg || !tg->dep) return answer({0x4F, kStatusWrongContext});
  // PSL_REQ D4 04 DID BRS FSL and PSL_RES D5 05 DID at the old speed; the new
  // one (BRit) from then on.
  const unsigned speed = tg->depSpeed;
  if (!field.present || !field.peer) {
    air(rf::depFrame(5, speed) + retryAir());
    return answer({0x4F, kStatusTimeout});
  }
  air(rf::depFrame(5, speed) + rf::depTurnaround(tg->depActive, speed) + rf::depFrame(3, speed));
  tg->depSpeed = p[2];
  return answer({0x4F, kStatusOk});
}

Reply Controller::State::peerExchange(DepPeer& peer, const Bytes& d) {
  peer.received.push_back(d);
  Bytes a = {0x41, kStatusOk};
  if (d.size() == 3 && d[0] == 0xA6) {
    if (peer.stopAfterSegments >= 0 && peer.segmentsAnswered >= peer.stopAfterSegments) {
      if (peer.stopMode == DepPeer::Stop::Silence) return Reply{Reply::NoAnswer, {}, 0};
      return answer({0x41, kStatusTimeout});
    }
    ++peer.segmentsAnswered;
    const Bytes seg = DepPeer::segment(d[1], d[2], peer.segmentLength);
    a.insert(a.end(), seg.begin(), seg.end());
    return answer(a);
  }
  a.insert(a.end(), d.begin(), d.end());
  return answer(a);
}

}  // namespace pelvsim
