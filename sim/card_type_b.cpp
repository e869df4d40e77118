// ISO/IEC 14443 Type B cards: polling (ATQB, ATTRIB) through InListPassiveTarget,
// REQB / WUPB, ATTRIB, HLTB and ISO/IEC 14443-4 blocks inside InCommunicateThru,
// APDUs inside InDataExchange.
#include <algorithm>

#include "controller_state.h"

namespace pelvsim {

namespace {

// Frame sizes by FSCI / FSDI (ISO/IEC 14443-4, 5.1 and 7.1; codes above 8 are
// taken as 256).
std::size_t frameSize(unsigned code) {
  static constexpr std::size_t kSizes[9] = {16, 24, 32, 40, 48, 64, 96, 128, 256};
  return kSizes[code > 8 ? 8 : code];
}

// ATQB protocol info byte 3, FO bit 0: the card supports CID (ISO/IEC 14443-3, 7.9.4.3).
bool supportsCid(const TypeBCard& c) { return (c.protocolInfo[2] & 0x01) != 0; }
// Protocol info byte 2, high nibble: the card's frame size FSC.
std::size_t cardFrameSize(const TypeBCard& c) { return frameSize(c.protocolInfo[1] >> 4); }
// Protocol info byte 3, high nibble: FWI. The card takes its frame waiting time
// to answer an APDU (rf_timing.h, isoDepApdu).
rf::Cycles cardProcessing(const TypeBCard& c) { return rf::typeBFrameWaitingTime(c.protocolInfo[2] >> 4); }

// ATTRIB_RES (ISO/IEC 14443-3, 7.11): MBLI and the CID the ATTRIB gave, or 0
// from a card without CID support, then the higher-layer answer.
Bytes attribAnswer(const TypeBCard& c, unsigned cid) {
  Bytes r = c.attribRes.empty() ? Bytes{0x00} : c.attribRes;
  r[0] = u8((r[0] & 0xF0u) | (supportsCid(c) ? (cid & 0x0Fu) : 0u));
  return r;
}

}  // namespace

// The card's ISO/IEC 14443-4 state right after ATTRIB: block number 1 (rule C).
void Controller::State::startIsoDep(Awake& st, const TypeBCard& c, unsigned cid, std::size_t fsd) {
  st.active = true;
  st.cid = supportsCid(c) ? static_cast<int>(cid & 0x0Fu) : -1;
  st.fsd = fsd;
  st.blockNumber = 1;
  st.chainIn.clear();
  st.chainOut.clear();
  st.lastBlock.clear();
  st.wtxLeft = 0;
}

namespace {

// The controller's own ATTRIB in InListPassiveTarget declares a 64-byte frame size
// (nfcpy's pn53x.py sense_ttb: "activated it with 64-byte max frame size") and
// gives CIDs 0, 1 to the cards it lists, where they support CID.
constexpr std::size_t kControllerFsd = 64;

}  // namespace

TypeBCard* Controller::State::findTypeB(const Bytes& id) {
  if (!field.present) return nullptr;
  for (TypeBCard& c : field.typeB)
    if (id.size() == c.pupi.size() && std::equal(id.begin(), id.end(), c.pupi.begin())) return &c;
  return nullptr;
}

// AFI 00 reaches every card; x0 every card of family x; any other only a card
// with that AFI (ISO/IEC 14443-3, 7.7.2).
bool Controller::State::afiMatches(std::uint8_t request, std::uint8_t card) {
  if (request == 0x00) return true;
  if ((request & 0x0F) == 0) return (card & 0xF0) == request;
  return card == request;
}

// Target data: ATQB(12), ATTRIB_RES length, ATTRIB_RES. The poll's REQB reaches
// idle and ready cards; an active one ignores it (ISO/IEC 14443-3, 7.5).
void Controller::State::pollTypeB(std::size_t maxTg, std::uint8_t afi, std::vector<Polled>* found) {
  for (const TypeBCard& c : field.typeB) {
    if (found->size() >= maxTg) break;
    Bytes pupi(c.pupi.begin(), c.pupi.end());
    auto it = awake.find(pupi);
    if (!afiMatches(afi, c.afi) || isHalted(pupi) || (it != awake.end() && it->second.active)) continue;
    const auto atqb = c.atqb();
    const unsigned cid = static_cast<unsigned>(found->size());
    const Bytes res = attribAnswer(c, cid);
    Bytes d(atqb.begin(), atqb.end());
    d.push_back(u8(static_cast<unsigned>(res.size())));
    d.insert(d.end(), res.begin(), res.end());
    awake[pupi] = Awake{};
    startIsoDep(awake[pupi], c, cid, kControllerFsd);
    found->push_back({Kind::TypeB, pupi, d});
  }
}

// ISO/IEC 14443-3 Type B commands (7.7 to 7.11), first byte:
//   05 AFI PARAM  REQB (PARAM bit 3 clear: idle and ready cards) or WUPB (bit 3
//                 set: halted ones too) -> ready, answers its ATQB
//   1D PUPI(4) p1 p2 p3 p4 [higher layer]  ATTRIB to a ready card -> active,
//                 answers its ATTRIB_RES; p2's low nibble is the reader's FSDI,
//                 p4's the CID
//   50 PUPI(4)    HLTB to a ready or active card -> halt, answers 00
// A request with any other first byte, or for a PUPI not its own, gets no answer.
bool Controller::State::typeBRequest(const Bytes& d, Bytes* a) {
  if (!field.present || d.empty()) return false;
  for (TypeBCard& c : field.typeB) {
    const Bytes pupi(c.pupi.begin(), c.pupi.end());
    const bool halt = isHalted(pupi);
    auto it = awake.find(pupi);
    Bytes reply;
    if (d[0] == 0x05 && d.size() == 3) {
      const bool wakeUp = (d[2] & 0x08) != 0;
      const bool active = it != awake.end() && it->second.active;
      if (!afiMatches(d[1], c.afi) || active || (halt && !wakeUp)) continue;
      halted.erase(std::remove(halted.begin(), halted.end(), pupi), halted.end());
      awake[pupi] = Awake{};
      const auto atqb = c.atqb();
      reply.assign(atqb.begin(), atqb.end());
    } else if (d.size() >= 5 && std::equal(pupi.begin(), pupi.end(), d.begin() + 1)) {
      if (d[0] == 0x1D && d.size() >= 9 && it != awake.end() && !it->second.active) {
        startIsoDep(it->second, c, d[8] & 0x0Fu, frameSize(d[6] & 0x0Fu));
        reply = attribAnswer(c, d[8]);
      } else if (d[0] == 0x50 && d.size() == 5 && it != awake.end()) {
        awake.erase(it);
        leaveActive(pupi);
        halted.push_back(pupi);
        reply = {0x00};
      } else {
        continue;
      }
    } else {
      continue;
    }
    a->push_back(kStatusOk);
    a->insert(a->end(), reply.begin(), reply.end());
    return true;
  }
  return false;
}

// An APDU to the card's responder through InDataExchange; false when it gives no
// answer. The controller carries it in I-blocks, chained to the card's FSC, and
// fetches a long answer with R(ACK)s at its own 64-byte FSD: the card's block
// number moves on once for every block the controller sends, so that raw blocks
// through InCommunicateThru can follow.
bool Controller::State::typeBApdu(TypeBCard& c, const Bytes& d, Bytes* a) {
  c.apdus.push_back(d);
  const Bytes r = c.responder ? c.responder(d) : TypeBCard::defaultResponder(d);
  auto it = awake.find(Bytes(c.pupi.begin(), c.pupi.end()));
  if (it != awake.end() && it->second.active) {
    const std::size_t head = 3 + (it->second.cid > 0 ? 1 : 0);  // PCB [CID] and CRC_B
    const std::size_t fsc = cardFrameSize(c);
    const std::size_t sent = fsc > head ? (d.size() + fsc - head - 1) / (fsc - head) : 1;
    const std::size_t fsd = it->second.fsd > head ? it->second.fsd - head : 1;
    const std::size_t answered = r.empty() ? 1 : (r.size() + fsd - 1) / fsd;
    const std::size_t toggles = std::max<std::size_t>(sent, 1) + answered - 1;
    if (toggles % 2) it->second.blockNumber ^= 1;
    air(r.empty() ? rf::typeBReaderFrame(d.size() + head) + retryAir()
                  : rf::isoDepApdu(d.size(), r.size(), fsc, it->second.fsd, head, cardProcessing(c)));
  }
  if (r.empty()) return false;
  a->push_back(kStatusOk);
  a->insert(a->end(), r.begin(), r.end());
  return true;
}

// Any Type B frame through InCommunicateThru: the ISO/IEC 14443-3 requests
// first, then ISO/IEC 14443-4 blocks to the cards that ATTRIB activated.
bool Controller::State::typeBFrame(const Bytes& d, Bytes* a) {
  if (!field.present || d.empty()) return false;
  if (typeBRequest(d, a)) return true;
  for (TypeBCard& c : field.typeB) {
    auto it = awake.find(Bytes(c.pupi.begin(), c.pupi.end()));
    if (it == awake.end() || !it->second.active) continue;
    Bytes reply;
    if (!isoDepBlock(c, it->second, d, &reply)) continue;
    a->push_back(kStatusOk);
    a->insert(a->end(), reply.begin(), reply.end());
    return true;
  }
  return false;
}

// One ISO/IEC 14443-4 block (PCB [CID] INF, without CRC_B) to an active card, as
// the card answers it (ISO/IEC 14443-4, 7.1 block format, 7.5.4 block rules);
// false when the card stays silent.
//   PCB: I-block 0000 0x1b (x: chaining 10), R-block 1010 x01b (x: NAK 10),
//        S-block 11xx 0010 (00 DESELECT, 11 WTX); bit 08 CID follows, 04 NAD follows
//   CID: a card with CID c answers blocks with CID c, and blocks without CID
//        only when c is 0; a card without CID support ignores blocks with CID;
//        NAD is not supported: such blocks are ignored, as are blocks over FSC
//   I-block: the card toggles its block number and answers with an I-block of
//        that number; a chained I-block gets R(ACK); the answer is chained to
//        FSD; wtxRequests S(WTX) requests (F2 01) come first, each answered by
//        the reader's S(WTX)
//   R(ACK) or R(NAK) of the card's number: the last block again (rule 11);
//        R(ACK) of the other number while chaining: the next part (rule 13);
//        R(NAK) of the other number: R(ACK) (rule 12)
//   S(DESELECT): the same S(DESELECT) back; the card is halted (clause 8)
bool Controller::State::isoDepBlock(TypeBCard& c, Awake& st, const Bytes& d, Bytes* reply) {
  if (d.empty() || d.size() + 2 > cardFrameSize(c)) return false;
  const std::uint8_t pcb = d[0];
  const bool isI = (pcb & 0xE2) == 0x02;
  const bool isR = (pcb & 0xE6) == 0xA2;
  const bool isS = (pcb & 0xC7) == 0xC2;
  if (!isI && !isR && !isS) return false;
  const bool withCid = (pcb & 0x08) != 0;
  if (pcb & 0x04) return false;  // NAD: not supported
  std::size_t pos = 1;
  if (withCid) {
    if (d.size() < 2 || st.cid < 0 || d[1] != st.cid) return false;
    pos = 2;
  } else if (st.cid > 0) {
    return false;
  }
  const Bytes inf(d.begin() + static_cast<std::ptrdiff_t>(pos), d.end());
  auto send = [&](std::uint8_t pcbOut, const Bytes& data) {
    reply->assign({u8(pcbOut | (withCid ? 0x08u : 0x00u))});
    if (withCid) reply->push_back(d[1]);
    reply->insert(reply->end(), data.begin(), data.end());
    st.lastBlock = *reply;
  };
  const std::size_t room = st.fsd - 3 - (withCid ? 1 : 0);
  auto sendPart = [&]() {  // the next part of the answer, chained while more follows
    const std::size_t n = std::min(room, st.chainOut.size());
    const Bytes part(st.chainOut.begin(), st.chainOut.begin() + static_cast<std::ptrdiff_t>(n));
    st.chainOut.erase(st.chainOut.begin(), st.chainOut.begin() + static_cast<std::ptrdiff_t>(n));
    send(u8((st.chainOut.empty() ? 0x02u : 0x12u) | static_cast<unsigned>(st.blockNumber)), part);
  };
  const std::uint8_t sWtx = 0xF2;
  if (isI) {
    st.blockNumber ^= 1;
    st.wtxLeft = 0;
    st.chainOut.clear();
    st.chainIn.insert(st.chainIn.end(), inf.begin(), inf.end());
    if (pcb & 0x10) {
      send(u8(0xA2u | static_cast<unsigned>(st.blockNumber)), {});
      return true;
    }
    Bytes apdu;
    apdu.swap(st.chainIn);
    c.apdus.push_back(apdu);
    Bytes r = c.responder ? c.responder(apdu) : TypeBCard::defaultResponder(apdu);
    if (r.empty()) return false;
    st.chainOut = r;
    if (c.wtxRequests > 0) {
      st.wtxLeft = c.wtxRequests;
      send(sWtx, {0x01});
      return true;
    }
    sendPart();
    return true;
  }
  if (isR) {
    const int bn = pcb & 0x01;
    const bool nak = (pcb & 0x10) != 0;
    if (bn == st.blockNumber) {
      if (st.lastBlock.empty()) return false;
      *reply = st.lastBlock;
      return true;
    }
    if (nak) {
      send(u8(0xA2u | static_cast<unsigned>(st.blockNumber)), {});
      return true;
    }
    if (st.chainOut.empty() || st.wtxLeft > 0) return false;
    st.blockNumber ^= 1;
    sendPart();
    return true;
  }
  if ((pcb & 0x30) == 0x00) {  // S(DESELECT)
    if (!inf.empty()) return false;
    send(0xC2, {});
    const Bytes pupi(c.pupi.begin(), c.pupi.end());
    awake.erase(pupi);
    leaveActive(pupi);
    if (!isHalted(pupi)) halted.push_back(pupi);
    return true;
  }
  if ((pcb & 0x30) == 0x30 && st.wtxLeft > 0 && inf.size() == 1) {  // S(WTX) response
    if (--st.wtxLeft > 0) {
      send(sWtx, {0x01});
      return true;
    }
    sendPart();
    return true;
  }
  return false;
}

}  // namespace pelvsim
