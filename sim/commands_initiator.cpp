// Initiator commands: InListPassiveTarget, InDataExchange, InDeselect / InRelease /
// InSelect and InJumpForDEP (PN532 user manual, 7.3); InCommunicateThru is in
// communicate_thru.cpp.
// What a card answers is in its technology's file (card_*.cpp, peer.cpp).
#include <algorithm>

#include "controller_state.h"

namespace pelvsim {

Target* Controller::State::target(std::uint8_t tg) {
  const std::size_t n = tg & 0x0F;
  if (n == 0 || n > listed.size()) return nullptr;
  return &listed[n - 1];
}

bool Controller::State::isHalted(const Bytes& id) const {
  return std::find(halted.begin(), halted.end(), id) != halted.end();
}

// One attempt of InListPassiveTarget on the air: per card found its activation
// (Type A: REQA, anticollision and SELECT per cascade level; FeliCa: Polling and
// the answer in the card's time slot; Type B: REQB and ATTRIB), or the wait for
// an answer that does not come.
rf::Cycles Controller::State::pollAir(std::uint8_t brTy, const Bytes& init, const std::vector<Polled>& found) {
  rf::Cycles t = 0;
  if (brTy == 0x00) {
    if (found.empty()) return rf::typeANoAnswer();
    for (const Polled& f : found) t += rf::typeAActivation(f.id);
    return t;
  }
  if (brTy == 0x01 || brTy == 0x02) {
    const unsigned kbps = brTy == 0x02 ? 424 : 212;
    constexpr std::size_t kPollingLength = 6;  // LEN 00 SC1 SC2 RC TSN
    if (found.empty()) return rf::felicaPollingNoAnswer(kPollingLength, init[4] + 1u, kbps);
    unsigned slot = 0;
    std::size_t longest = 0;
    for (const Polled& f : found) {
      if (const FelicaCard* c = findFelica(f.id)) slot = std::max<unsigned>(slot, c->timeSlot);
      longest = std::max<std::size_t>(longest, f.data[0]);
    }
    return rf::felicaFrame(kPollingLength, kbps) + rf::felicaPollingSlot(slot) + rf::felicaFrame(longest, kbps);
  }
  if (brTy == 0x03) {
    if (found.empty()) return rf::typeBNoAnswer();
    constexpr std::size_t kReqb = 3, kAtqb = 12, kAttrib = 9;
    for (const Polled& f : found) t += rf::typeBExchange(kReqb, kAtqb) + rf::typeBExchange(kAttrib, f.data[kAtqb]);
  }
  return t;
}

Reply Controller::State::inListPassiveTarget(const Bytes& p) {
  if (p.size() < 3) return errorFrame();
  const std::uint8_t maxTg = p[1];
  const std::uint8_t brTy = p[2];
  if (maxTg == 0 || maxTg > 2 || brTy > 0x04) return errorFrame();
  const Bytes init(p.begin() + 3, p.end());
  // InitiatorData (PN532 user manual, 7.3.5): FeliCa needs its Polling request
  // (5 bytes); Type B its AFI, optionally followed by the polling method 00
  // (time slots) or 01 (probabilistic), as libnfc's prepare_initiator_data
  // gives it ("\x00").
  if ((brTy == 0x01 || brTy == 0x02) && init.size() < 5) return errorFrame();
  if (brTy == 0x03 && (init.empty() || init.size() > 2 || (init.size() == 2 && init[1] > 0x01)))
    return errorFrame();
  rfOn = true;
  listed.clear();
  targetMode = TargetMode::Idle;
  Bytes a = {0x4B, 0x00};
  std::vector<Polled> found;
  if (!field.present) {
    if (brTy == 0x00) fillFifo({0x26});
    air(pollAir(brTy, init, found));
    return answer(a);
  }
  useModulation(brTy);
  if (brTy == 0x00) {
    pollTypeA(maxTg, init, &found);
  } else if (brTy == 0x01 || brTy == 0x02) {
    pollFelica(maxTg, brTy, init, &found);
  } else if (brTy == 0x03) {
    pollTypeB(maxTg, init[0], &found);
  }
  // 0x04 Jewel: no such card is modelled.
  air(pollAir(brTy, init, found));
  // The FIFO keeps the request when nothing answered: after an empty Type A
  // poll it still holds REQA 26, which nfcpy's pn53x.py sense_tta reads from
  // CIU_FIFOData to tell "no card" from "a card that did not finish selection".
  if (found.empty()) {
    if (brTy == 0x00) fillFifo({0x26});
    if (brTy == 0x03) fillFifo({0x05, init[0], 0x00});
    if (brTy == 0x01 || brTy == 0x02) {
      Bytes polling = {0x06};
      polling.insert(polling.end(), init.begin(), init.begin() + 5);
      fillFifo(polling);
    }
  } else {
    const Bytes& last = found.back().data;
    fillFifo(brTy == 0x00 ? Bytes{last[2]} : Bytes(last.begin(), last.end()));  // Type A: the SAK
  }
  for (Polled& f : found) {
    listed.push_back({f.kind, std::move(f.id), brTy, true, -1, {}});
    a.push_back(u8(static_cast<unsigned>(listed.size())));
    a.insert(a.end(), f.data.begin(), f.data.end());
  }
  a[1] = u8(static_cast<unsigned>(listed.size()));
  return answer(a);
}

// The controller keeps at most kLongestExchangeData bytes of a target's answer
// for one InDataExchange answer; the rest waits, flagged with the MI bit, for an
// InDataExchange with no data (PN532 user manual, 7.3.8; libnfc's
// pn53x_transceive sends the bare command until MI clears). Other commands leave
// it waiting; new data for the target while it waits is refused with status 25
// (invalid in the current state: the card is still sending its chain), and only
// a poll, the field going off or InDeselect / InRelease end the chain.
Reply Controller::State::inDataExchange(const Bytes& p) {
  if (p.size() < 2 || p.size() > 2 + kLongestExchangeData) return errorFrame();
  if (targetMode != TargetMode::Idle) return answer({0x41, kStatusWrongContext});
  Target* tg = target(p[1]);
  if (!tg) return answer({0x41, kStatusWrongContext});  // no target listed
  if (!tg->selected) return answer({0x41, kStatusTimeout});
  const Bytes d(p.begin() + 2, p.end());
  if (!tg->answerRest.empty()) {
    if (!d.empty()) return answer({0x41, kStatusInvalidState});
    Bytes rest;
    rest.swap(tg->answerRest);
    return chainedAnswer(tg, rest);
  }
  Bytes a = {0x41};
  bool ok = false;
  // The air time: what was sent and what came back, or the wait for an answer
  // that did not come (fRetryTimeout).
  const rf::Cycles silent = retryAir();
  switch (tg->kind) {
    case Kind::Felica:
      if (FelicaCard* c = findFelica(tg->id)) {
        ok = felicaCommand(*c, d, &a);
        const unsigned kbps = tg->brTy == 0x02 ? 424 : 212;
        air(rf::felicaFrame(d.size(), kbps) +
            (ok ? rf::felicaResponseTime(c->pmm, d) + rf::felicaFrame(a.size() - 2, kbps) : silent));
      }
      break;
    case Kind::Mifare:
      if (MifareClassicCard* c = findMifare(tg->id)) {
        mifareCommand(*c, *tg, d, &a);
        ok = true;
        const bool accepted = a[1] == kStatusOk;
        if (d.size() == 12 && (d[0] == 0x60 || d[0] == 0x61)) {
          air(rf::mifareCommand(d, accepted, 0) + (accepted ? 0 : silent));
        } else {
          air(rf::mifareCommand(d, true, accepted ? a.size() - 2 : 0));  // a refusal is the card's NAK
        }
      }
      break;
    case Kind::Page:
      if (PageCard* c = findPage(tg->id)) {
        ok = pageCommand(*c, d, &a);
        air(ok ? rf::mifareCommand(d, true, a.size() - 2) : rf::mifareCommand(d, false, 0) + silent);
      }
      break;
    case Kind::TypeB:
      if (TypeBCard* c = findTypeB(tg->id)) ok = typeBApdu(*c, d, &a);
      break;
    case Kind::Peer:
      // Found by polling, the peer speaks DEP only once InATR has activated it.
      if (tg->dep && field.present && field.peer) {
        Reply r = peerExchange(*field.peer, d);
        const bool answered = r.type == Reply::Answer && r.data.size() >= 2 && r.data[1] == kStatusOk;
        air(answered ? rf::depExchange(d.size(), r.data.size() - 2, tg->depActive, tg->depSpeed)
                     : rf::depFrame(3 + d.size(), tg->depSpeed) + silent);
        return r;
      }
      break;
    case Kind::TypeA:
      break;  // answers polling only
  }
  if (!ok) return answer({0x41, kStatusTimeout});
  if (a[1] != kStatusOk) return answer(a);
  return chainedAnswer(tg, Bytes(a.begin() + 2, a.end()));
}

Reply Controller::State::chainedAnswer(Target* tg, const Bytes& data) {
  Bytes a = {0x41, kStatusOk};
  if (data.size() <= kLongestExchangeData) {
    a.insert(a.end(), data.begin(), data.end());
    return answer(a);
  }
  const auto cut = data.begin() + static_cast<std::ptrdiff_t>(kLongestExchangeData);
  a[1] = kStatusMoreInformation;
  a.insert(a.end(), data.begin(), cut);
  tg->answerRest.assign(cut, data.end());
  return answer(a);
}

Reply Controller::State::inDeselectOrRelease(const Bytes& p) {
  if (p.size() != 2) return errorFrame();
  const std::uint8_t code = u8(p[0] + 1u);
  const bool release = p[0] == 0x52;
  std::vector<Target> kept;
  for (std::size_t k = 0; k < listed.size(); ++k) {
    Target& tg = listed[k];
    const bool hit = p[1] == 0 || (p[1] & 0x0F) == k + 1;
    if (hit && field.present) {
      // On the air: HLTA to a Type A card, S(DESELECT) to a Type B card, DSL_REQ
      // or RLS_REQ (D4 08 / D4 0A) to a DEP peer; a FeliCa card hears nothing.
      const unsigned dep = tg.depSpeed;
      if (tg.kind == Kind::Mifare || tg.kind == Kind::Page || tg.kind == Kind::TypeA) air(rf::typeAHalt());
      if (tg.kind == Kind::TypeB) air(rf::typeBExchange(1, 1));
      if (tg.kind == Kind::Peer && tg.dep)
        air(rf::depFrame(2, dep) + rf::depTurnaround(tg.depActive, dep) + rf::depFrame(2, dep));
    }
    if (hit) {
      if (tg.kind != Kind::Felica && tg.kind != Kind::Peer) {  // HLTA / HLTB
        if (!isHalted(tg.id)) halted.push_back(tg.id);
      }
      tg.selected = false;
      tg.authSector = -1;
      tg.answerRest.clear();
    }
    if (!(hit && release)) kept.push_back(tg);
  }
  listed = kept;
  return answer({code, kStatusOk});
}

Reply Controller::State::inSelect(const Bytes& p) {
  if (p.size() != 2) return errorFrame();
  Target* tg = target(p[1]);
  if (!tg) return answer({0x55, kStatusWrongContext});
  // On the air the card is woken and selected again: WUPA and the anticollision
  // loop for Type A, WUPB and ATTRIB for Type B.
  if (field.present && (tg->kind == Kind::Mifare || tg->kind == Kind::Page || tg->kind == Kind::TypeA))
    air(rf::typeAActivation(tg->id));
  if (field.present && tg->kind == Kind::TypeB) air(rf::typeBExchange(3, 12) + rf::typeBExchange(9, 1));
  tg->selected = true;
  tg->authSector = -1;
  halted.erase(std::remove(halted.begin(), halted.end(), tg->id), halted.end());
  return answer({0x55, kStatusOk});
}

// ATR_REQ (D4 00 NFCID3i DIDi BSi BRi PPi [Gi]: `atrReq` bytes) and the peer's
// ATR_RES (D5 01 NFCID3t DIDt BSt BRt TO PPt: 17 bytes) at the link's speed.
rf::Cycles Controller::State::depAtrAir(const Target& tg, std::size_t atrReq) const {
  constexpr std::size_t kAtrRes = 17;
  return rf::depFrame(atrReq, tg.depSpeed) + rf::depTurnaround(tg.depActive, tg.depSpeed) +
         rf::depFrame(kAtrRes, tg.depSpeed);
}

// InJumpForDEP 56 and InJumpForPSL 46 (PN532 user manual, 7.3.3 and 7.3.4) take
// the same parameters, ActPass BR Next [PassiveInitiatorData] [NFCID3i] [Gi], and
// answer alike; InJumpForPSL leaves the PSL to a later InPSL. With no peer in the
// field the ATR_REQ goes unanswered: it is sent again MxRtyATR times, each
// attempt waiting fATR_RES_Timeout (100 us x 2^(n-1)), then status 01; MxRtyATR
// FF, or no ATR_RES time-out at all, retries until the host's ACK frame aborts
// the command (PN532 user manual, 7.3.1 items 02 and 05).
Reply Controller::State::inJumpForDep(const Bytes& p, std::uint64_t t) {
  if (p.size() < 4) return errorFrame();
  if (p[1] > 0x01 || p[2] > 0x02) return errorFrame();
  rfOn = true;
  listed.clear();
  targetMode = TargetMode::Idle;
  const std::uint8_t code = u8(p[0] + 1u);
  Bytes a = {code};
  if (activatePeer(&a)) {
    Target& tg = listed.back();
    tg.depActive = p[1] == 0x01;
    tg.depSpeed = p[2];
    // Next bit 0: passive initiator data (4 bytes at 106, 5 at 212/424), bit 1:
    // NFCID3i (10), bit 2: general bytes, the rest.
    std::size_t at = 4;
    if (p[3] & 0x01) at += p[2] == 0 ? 4 : 5;
    if (p[3] & 0x02) at += 10;
    const std::size_t gi = (p[3] & 0x04) && p.size() > at ? p.size() - at : 0;
    rf::Cycles before = 0;
    if (tg.depActive) {
      before = rf::depInitialGuard();
    } else if (tg.depSpeed == 0) {
      before = rf::typeAActivation(Bytes(field.peer->nfcid1.begin(), field.peer->nfcid1.end()));
    } else {
      const unsigned kbps = tg.depSpeed == 2 ? 424 : 212;
      before = rf::felicaFrame(6, kbps) + rf::felicaPollingSlot(0) + rf::felicaFrame(18, kbps);
    }
    air(before + depAtrAir(tg, 16 + gi));
    return answer(a);
  }
  if (maxRetriesAtr == 0xFF || atrResTimeout == 0) return Reply{Reply::Wait, {}, 0};
  const std::uint64_t attemptUs = 100ull << (std::min<unsigned>(atrResTimeout, 16u) - 1);
  Reply r = answer({code, kStatusTimeout});
  r.at = t + ackDelayUs + (maxRetriesAtr + 1ull) * attemptUs;
  return r;
}

}  // namespace pelvsim
