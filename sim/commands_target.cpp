// Target commands: the controller as a card or DEP target for an initiator in its
// field (PN532 user manual, 7.3.14 onwards): TgInitAsTarget, TgGetData,
// TgSetData, TgSetMetaData, TgGetTargetStatus, and the frame-by-frame commands
// TgGetInitiatorCommand, TgResponseToInitiator and TgSetGeneralBytes.
//
// The initiator's ATR_REQ comes back in TgInitAsTarget's answer. With
// fAutomaticATR_RES set (SetParameters bit 2) the controller has answered it and
// the link carries data (TgGetData / TgSetData). With the flag clear the host
// answers: TgSetGeneralBytes lets the controller send ATR_RES with those general
// bytes (then data as before), or TgResponseToInitiator sends the host's own
// ATR_RES frame and the link runs frame by frame: TgGetInitiatorCommand gives the
// initiator's DEP_REQ (LEN D4 06 PFB [DID] data) and TgResponseToInitiator takes
// the DEP_RES (LEN D5 07 PFB [DID] data), as nfcpy's pn53x.py listen_dep,
// _send_atr_response and send_rsp_recv_cmd drive it.
#include "controller_state.h"

namespace pelvsim {

namespace {

// TgInitAsTarget (PN532 user manual, 7.3.14): 8C Mode MifareParams(6)
// FeliCaParams(18) NFCID3t(10) LEN_Gt Gt LEN_Tk Tk; both length bytes are
// required, Gt holds at most 47 bytes and Tk at most 48.
constexpr std::size_t kGtLengthAt = 36;
constexpr std::size_t kLongestGt = 47;
constexpr std::size_t kLongestTk = 48;

constexpr std::uint8_t kAutomaticAtrRes = 0x04;  // SetParameters bit 2 (7.2.9)
constexpr std::size_t kLongestDepFrame = 255;
constexpr std::uint8_t kPfbMoreInformation = 0x10;

bool wellFormedInitAsTarget(const Bytes& p) {
  if (p.size() < kGtLengthAt + 2) return false;
  const std::size_t gt = p[kGtLengthAt];
  if (gt > kLongestGt || p.size() < kGtLengthAt + 2 + gt) return false;
  const std::size_t tk = p[kGtLengthAt + 1 + gt];
  return tk <= kLongestTk && p.size() == kGtLengthAt + 2 + gt + tk;
}

}  // namespace

// The PN532 powers down while it waits here and wakes when an initiator's field
// activates it (NXP's PN532 application note, HSU exchange for TgInitAsTarget;
// libnfc's pn53x_transceive marks the chip POWERDOWN for it).
Reply Controller::State::tgInitAsTarget(const Bytes& p, std::uint64_t t) {
  if (!wellFormedInitAsTarget(p)) return errorFrame();  // syntax error frame (6.2.1.5)
  listed.clear();
  useModulation(0x00);  // prepared for 106 kbit/s Type A (nfcpy's pn53x.py listen_tta)
  poweredDown = true;
  rfWakeUs = UINT64_MAX;
  const Initiator* ini = field.present && field.initiator ? &*field.initiator : nullptr;
  if (!ini || ini->never) {
    targetMode = TargetMode::Waiting;
    return Reply{Reply::Wait, {}, 0};
  }
  targetMode = TargetMode::Activated;
  targetLink = (parameters & kAutomaticAtrRes) ? TargetLink::Dep : TargetLink::AtrPending;
  targetMeta.clear();
  initiatorPni = 0;
  Bytes a = {0x8D, ini->modeByte};
  a.insert(a.end(), ini->atrReq.begin(), ini->atrReq.end());
  Reply r = answer(a);
  r.at = t + ackDelayUs + ini->activateAfterUs;
  rfWakeUs = r.at;
  return r;
}

Reply Controller::State::tgGetData() {
  if (targetMode != TargetMode::Activated || targetLink == TargetLink::AtrPending)
    return answer({0x87, kStatusWrongContext});
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
  if (targetMode != TargetMode::Activated || targetLink == TargetLink::AtrPending)
    return answer({0x8F, kStatusWrongContext});
  Initiator* ini = activeInitiator();
  if (!ini) return answer({0x8F, kStatusReleased});
  // The parts TgSetMetaData sent with the MI bit end with this one.
  Bytes whole;
  whole.swap(targetMeta);
  whole.insert(whole.end(), p.begin() + 1, p.end());
  ini->received.push_back(whole);
  return answer({0x8F, kStatusOk});
}

// TgSetMetaData (7.3.20): data sent with the MI bit, to be continued by TgSetMetaData
// or ended by TgSetData; the initiator takes the chain as one message.
Reply Controller::State::tgSetMetaData(const Bytes& p) {
  if (targetMode != TargetMode::Activated || targetLink == TargetLink::AtrPending)
    return answer({0x95, kStatusWrongContext});
  if (!activeInitiator()) return answer({0x95, kStatusReleased});
  targetMeta.insert(targetMeta.end(), p.begin() + 1, p.end());
  return answer({0x95, kStatusOk});
}

// The initiator in the field while the controller is its activated target; when it
// has gone, the controller is released.
Initiator* Controller::State::activeInitiator() {
  Initiator* ini = field.present && field.initiator ? &*field.initiator : nullptr;
  if (!ini) targetMode = TargetMode::Idle;
  return ini;
}

// TgGetInitiatorCommand (7.3.17): the initiator's next frame, length byte first:
// a DEP_REQ information PDU with its next payload (PNI counting 0 to 3, the DID
// of its ATR_REQ when not 0), or RLS_REQ once it has nothing more to send and
// releases; with nothing to send and no release, no answer yet.
Reply Controller::State::tgGetInitiatorCommand() {
  if (targetMode != TargetMode::Activated || targetLink == TargetLink::AtrPending)
    return answer({0x89, kStatusWrongContext});
  Initiator* ini = activeInitiator();
  if (!ini) return answer({0x89, kStatusReleased});
  constexpr std::size_t kDidAt = 13;  // LEN D4 00 NFCID3i(10) DIDi ...
  const std::uint8_t did = ini->atrReq.size() > kDidAt ? ini->atrReq[kDidAt] : 0;
  Bytes f = {0x00, 0xD4};
  if (ini->toSend.empty()) {
    if (!ini->releasesWhenDone) return Reply{Reply::Wait, {}, 0};
    f.push_back(0x0A);  // RLS_REQ
    if (did) f.push_back(did);
  } else {
    f.push_back(0x06);  // DEP_REQ, information PDU
    f.push_back(u8((did ? 0x04u : 0x00u) | (initiatorPni & 0x03u)));
    if (did) f.push_back(did);
    // A frame holds at most 255 bytes with its length byte (ISO/IEC 18092,
    // 12.6.1): a longer payload goes in parts flagged MI (PFB bit 4).
    Bytes& next = ini->toSend.front();
    const std::size_t room = kLongestDepFrame - f.size();
    if (next.size() > room) {
      f[3] = u8(f[3] | kPfbMoreInformation);
      f.insert(f.end(), next.begin(), next.begin() + static_cast<std::ptrdiff_t>(room));
      next.erase(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(room));
    } else {
      f.insert(f.end(), next.begin(), next.end());
      ini->toSend.pop_front();
    }
    initiatorPni = u8(initiatorPni + 1u);
  }
  f[0] = u8(static_cast<unsigned>(f.size()));
  Bytes a = {0x89, kStatusOk};
  a.insert(a.end(), f.begin(), f.end());
  return answer(a);
}

// TgResponseToInitiator (7.3.18): the host's frame, length byte first, goes to the
// initiator: ATR_RES (D5 01) opens the frame-by-frame link, a DEP_RES (D5 07)
// carries data, RLS_RES (D5 0B) or DSL_RES (D5 09) ends the link.
Reply Controller::State::tgResponseToInitiator(const Bytes& p) {
  if (p.size() < 2) return errorFrame();
  if (targetMode != TargetMode::Activated) return answer({0x91, kStatusWrongContext});
  Initiator* ini = activeInitiator();
  if (!ini) return answer({0x91, kStatusReleased});
  const Bytes f(p.begin() + 1, p.end());
  const bool framed = f.size() >= 3 && f[0] == f.size() && f[1] == 0xD5;
  const std::uint8_t cmd = framed ? f[2] : 0xFF;
  if (targetLink == TargetLink::AtrPending) {
    if (cmd == 0x01) targetLink = TargetLink::Raw;  // anything else: the initiator still waits
  } else if (cmd == 0x07 && f.size() >= 4 && (f[3] & 0xE0) == 0) {  // an information PDU
    const std::size_t head = (f[3] & 0x04) ? 5 : 4;  // DID present
    if (f.size() >= head) ini->received.emplace_back(f.begin() + static_cast<std::ptrdiff_t>(head), f.end());
  } else if (cmd == 0x0B || cmd == 0x09) {
    targetMode = TargetMode::Idle;
  }
  return answer({0x91, kStatusOk});
}

// TgSetGeneralBytes (7.3.15): with fAutomaticATR_RES clear, the controller sends
// ATR_RES with these general bytes (at most 47) and the link carries data.
Reply Controller::State::tgSetGeneralBytes(const Bytes& p) {
  if (p.size() > 1 + 47) return errorFrame();
  if (targetMode != TargetMode::Activated || targetLink != TargetLink::AtrPending)
    return answer({0x93, kStatusWrongContext});
  if (!activeInitiator()) return answer({0x93, kStatusReleased});
  targetLink = TargetLink::Dep;
  return answer({0x93, kStatusOk});
}

Reply Controller::State::tgGetTargetStatus() const {
  return answer({0x8B, static_cast<std::uint8_t>(targetMode == TargetMode::Activated ? 0x01 : 0x00), 0x00});
}

}  // namespace pelvsim
