// The DEP peer that InJumpForDEP activates and that answers InDataExchange:
// segment requests and echoes.
#include "controller_state.h"

namespace pelvsim {

// Appends status 00 and the ATR_RES fields of the peer in the field (Tg 01,
// NFCID3t, DIDt BSt BRt TO PPt) and lists it; false when no peer answers.
bool Controller::State::activatePeer(Bytes* a) {
  if (!field.present || !field.peer) return false;
  listed.push_back({Kind::Peer, Bytes(field.peer->nfcid3.begin(), field.peer->nfcid3.end()), 0x40, true, -1, {}});
  a->insert(a->end(), {kStatusOk, 0x01});
  a->insert(a->end(), field.peer->nfcid3.begin(), field.peer->nfcid3.end());
  a->insert(a->end(), {0x00, 0x00, 0x00, 0x0E, 0x30});  // DIDt BSt BRt TO PPt
  return true;
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
