// ISO/IEC 14443 Type A cards: polling (SENS_RES, SEL_RES, NFCID1) through
// InListPassiveTarget, MIFARE Classic and page-card commands inside InDataExchange,
// and raw frames through InCommunicateThru: the ISO/IEC 14443-3 state machine and,
// for an active page card, its own command set. The DEP peer answers polling
// here too, as a passive target with SEL_RES bit 6 set.
#include <algorithm>

#include "controller_state.h"

namespace pelvsim {

namespace {

// The preparatory exchange of the page card: 60 00 {04|00} then these six bytes.
constexpr std::uint8_t kPagePrepare[6] = {0x3E, 0x91, 0xC7, 0x0B, 0x5D, 0xA4};

template <typename Id>
bool sameId(const Bytes& a, const Id& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Target data of a Type A card: SENS_RES(2) SEL_RES NFCID1 length, NFCID1.
Bytes typeAData(const std::array<std::uint8_t, 2>& sens, std::uint8_t sel, const std::uint8_t* id,
                std::size_t len) {
  Bytes d = {sens[0], sens[1], sel, u8(static_cast<unsigned>(len))};
  d.insert(d.end(), id, id + len);
  return d;
}

// SEL_RES of a passive NFC-DEP target: bit 6 set (ISO/IEC 18092, 8.6.2; PN532
// user manual, 7.3.5: such a target is then activated with InATR).
constexpr std::uint8_t kSelResDep = 0x40;
constexpr std::array<std::uint8_t, 2> kPeerSensRes = {0x00, 0x04};

// InitiatorData of InListPassiveTarget at 106 kbit/s Type A names a card by its
// UID as the cascade levels carry it: 4 bytes, 88 + 7 bytes, or 88 + 3 + 88 + 7
// bytes (PN532 user manual, 7.3.5; libnfc's iso14443_cascade_uid and nfcpy's
// pn53x.py sense_tta build exactly these). A bare 7- or 10-byte UID, or any other
// length, matches no cascade level and so finds no card; a single-size UID never
// begins with the cascade tag (ISO/IEC 14443-3, 6.4.4).
bool uidFromInitiatorData(const Bytes& init, Bytes* uid) {
  constexpr std::uint8_t kCascadeTag = 0x88;
  if (init.size() == 4 && init[0] != kCascadeTag) {
    *uid = init;
  } else if (init.size() == 8 && init[0] == kCascadeTag) {
    uid->assign(init.begin() + 1, init.end());
  } else if (init.size() == 12 && init[0] == kCascadeTag && init[4] == kCascadeTag) {
    uid->assign(init.begin() + 1, init.begin() + 4);
    uid->insert(uid->end(), init.begin() + 5, init.end());
  } else {
    return false;
  }
  return true;
}

// MIFARE Ultralight answers (MF0ICU1 data sheet, 9.3): 4-bit ACK A, NAK 0 for an
// invalid argument (a page out of range or locked), NAK 1 for a CRC or parity error.
constexpr std::uint8_t kAck = 0x0A;
constexpr std::uint8_t kNakArgument = 0x00;
constexpr std::uint8_t kNakCrc = 0x01;

// A page's write protection by the lock bytes, page 2 bytes 2-3 (MF0ICU1 data
// sheet, 8.5.2): byte 2 bits 3-7 lock pages 3-7, byte 3 bits 0-7 pages 8-15.
bool pageLocked(const PageCard& c, unsigned page) {
  if (page >= 3 && page <= 7) return (c.pages[2][2] >> page) & 1u;
  if (page >= 8 && page <= 15) return (c.pages[2][3] >> (page - 8)) & 1u;
  return false;
}

// A WRITE of 4 bytes to page p (2 to 15), as the card takes it: false when the
// page is out of range or locked. Page 2 ORs its lock bytes, except bits that
// the block-locking bits (byte 2 bits 0-2) freeze: bit 0 the page 3 lock bit,
// bit 1 those of pages 4-9, bit 2 those of pages 10-15. Page 3 is one-time
// programmable: written bits are ORed in.
bool pageWrite(PageCard& c, unsigned page, const std::uint8_t* d) {
  if (page < 2 || page > 15 || pageLocked(c, page)) return false;
  auto& p = c.pages[page];
  if (page == 2) {
    const std::uint8_t bl = p[2] & 0x07;
    std::uint8_t free2 = 0xF8;  // bits 3-7 of byte 2
    std::uint8_t free3 = 0xFF;
    if (bl & 0x01) free2 = u8(free2 & ~0x08u);
    if (bl & 0x02) {
      free2 = u8(free2 & ~0xF0u);
      free3 = u8(free3 & ~0x03u);
    }
    if (bl & 0x04) free3 = u8(free3 & ~0xFCu);
    p[2] = u8(p[2] | (d[2] & (free2 | 0x07u)));  // block-locking bits: OR, never cleared
    p[3] = u8(p[3] | (d[3] & free3));
  } else if (page == 3 && c.oneTimePage3) {
    for (std::size_t k = 0; k < 4; ++k) p[k] = u8(p[k] | d[k]);
  } else {
    std::copy(d, d + 4, p.begin());
  }
  return true;
}

Bytes pagesFrom(const PageCard& c, unsigned first) {
  Bytes out;
  for (unsigned k = 0; k < 4; ++k) {
    const auto& page = c.pages[(first + k) % 16];
    out.insert(out.end(), page.begin(), page.end());
  }
  return out;
}

}  // namespace

Bytes cascadeUid(const Bytes& uid) {
  if (uid.size() == 7) {
    Bytes c = {0x88};
    c.insert(c.end(), uid.begin(), uid.end());
    return c;
  }
  if (uid.size() == 10) {
    Bytes c = {0x88, uid[0], uid[1], uid[2], 0x88};
    c.insert(c.end(), uid.begin() + 3, uid.end());
    return c;
  }
  return uid;
}

MifareClassicCard* Controller::State::findMifare(const Bytes& id) {
  if (!field.present) return nullptr;
  for (MifareClassicCard& c : field.mifare)
    if (sameId(id, c.uid)) return &c;
  return nullptr;
}

PageCard* Controller::State::findPage(const Bytes& id) {
  if (!field.present) return nullptr;
  for (PageCard& c : field.page)
    if (sameId(id, c.uid)) return &c;
  return nullptr;
}

TypeACard* Controller::State::findTypeA(const Bytes& id) {
  if (!field.present) return nullptr;
  for (TypeACard& c : field.typeA)
    if (c.nfcid == id) return &c;
  return nullptr;
}

void Controller::State::pollTypeA(std::size_t maxTg, const Bytes& init,
                                  std::vector<Polled>* found) {
  Bytes wanted;
  const bool any = init.empty();
  if (!any && !uidFromInitiatorData(init, &wanted)) wanted.clear();
  auto fits = [&](const Bytes& id) {
    if (isHalted(id) || found->size() >= maxTg) return false;
    return any || wanted == id;
  };
  for (const MifareClassicCard& c : field.mifare) {
    Bytes id(c.uid.begin(), c.uid.end());
    if (!fits(id)) continue;
    const std::array<std::uint8_t, 2> sens = {0x00, static_cast<std::uint8_t>(c.fourK ? 0x02 : 0x04)};
    found->push_back({Kind::Mifare, id, typeAData(sens, c.fourK ? 0x18 : 0x08, c.uid.data(), c.uid.size())});
  }
  for (const PageCard& c : field.page) {
    Bytes id(c.uid.begin(), c.uid.end());
    if (!fits(id)) continue;
    found->push_back({Kind::Page, id, typeAData({0x00, 0x44}, 0x00, c.uid.data(), c.uid.size())});
  }
  for (const TypeACard& c : field.typeA) {
    if (!fits(c.nfcid)) continue;
    found->push_back({Kind::TypeA, c.nfcid, typeAData(c.sensRes, c.selRes, c.nfcid.data(), c.nfcid.size())});
  }
  if (field.present && field.peer) {
    const DepPeer& peer = *field.peer;
    Bytes id(peer.nfcid1.begin(), peer.nfcid1.end());
    if (fits(id)) found->push_back({Kind::Peer, id, typeAData(kPeerSensRes, kSelResDep, id.data(), id.size())});
  }
  // The poll's REQA and SELECT leave the cards found active and send the others
  // that were ready or active back (ISO/IEC 14443-3, 6.3).
  for (const Picc& card : typeACards()) {
    if (awake.count(card.uid) && std::none_of(found->begin(), found->end(),
                                              [&](const Polled& f) { return f.id == card.uid; }))
      fallBack(card.uid);
  }
  for (const Polled& f : *found) {
    awake[f.id] = Awake{};
    awake[f.id].active = true;
  }
}

// The ISO/IEC 14443-3 Type A state machine (6.3) with the commands of 6.4:
//   idle:  REQA 26 / WUPA 52 (7-bit short frames) -> ready, answers ATQA
//   halt:  WUPA -> ready
//   ready: SEL NVB with the UID bytes known so far (anticollision) -> the rest
//          of this cascade level's UID CLn and BCC; SEL 70 CLn BCC CRC -> SAK
//          (cascade bit 04 while levels remain, then active)
//   active: HLTA 50 00 CRC -> halt, no answer
// Anything else sends a ready or active card back to idle (or to halt when it
// was woken from there). SEL is 93, 95, 97 by level; CLn is 88 + 3 UID bytes
// while more levels follow.
bool Controller::State::typeAFrame(const RfFrame& in, RfFrame* result) {
  bool heard = false;
  for (const Picc& card : typeACards()) {
    RfFrame reply;
    if (typeAAnswer(card, in, &reply) && !heard) {
      *result = reply;
      heard = true;
    }
  }
  return heard;
}

std::vector<Controller::State::Picc> Controller::State::typeACards() const {
  std::vector<Picc> cards;
  if (!field.present) return cards;
  for (const MifareClassicCard& c : field.mifare)
    cards.push_back({Kind::Mifare, Bytes(c.uid.begin(), c.uid.end()),
                     {static_cast<std::uint8_t>(c.fourK ? 0x02 : 0x04), 0x00},
                     static_cast<std::uint8_t>(c.fourK ? 0x18 : 0x08)});
  for (const PageCard& c : field.page)
    cards.push_back({Kind::Page, Bytes(c.uid.begin(), c.uid.end()), {0x44, 0x00}, 0x00});
  for (const TypeACard& c : field.typeA) {
    // Only single, double and triple UIDs split into cascade levels.
    if (c.nfcid.size() == 4 || c.nfcid.size() == 7 || c.nfcid.size() == 10)
      cards.push_back({Kind::TypeA, c.nfcid, {c.sensRes[1], c.sensRes[0]}, c.selRes});
  }
  if (field.peer)
    cards.push_back({Kind::Peer, Bytes(field.peer->nfcid1.begin(), field.peer->nfcid1.end()),
                     {kPeerSensRes[1], kPeerSensRes[0]}, kSelResDep});
  return cards;
}

bool Controller::State::typeAAnswer(const Picc& card, const RfFrame& in, RfFrame* reply) {
  const Bytes& uid = card.uid;
  const bool halt = isHalted(uid);
  auto it = awake.find(uid);
  const bool wake = in.isShort(0x52);
  if (it == awake.end()) {
    // Idle or halt: only REQA (idle) or WUPA wakes the card, with its ATQA.
    if (!(wake || (!halt && in.isShort(0x26)))) return false;
    halted.erase(std::remove(halted.begin(), halted.end(), uid), halted.end());
    awake[uid] = Awake{};
    awake[uid].fromHalt = halt;
    reply->bytes.assign(card.atqa.begin(), card.atqa.end());
    return true;
  }
  Awake& st = it->second;
  const Bytes& f = in.bytes;
  if (st.active) {
    if (f.size() == 4 && f[0] == 0x50 && f[1] == 0x00 && hasCrcA(f)) {
      awake.erase(it);
      leaveActive(uid);
      halted.push_back(uid);
      return false;
    }
    if (card.kind == Kind::Page) {
      if (PageCard* c = findPage(uid)) {
        if (pageFrame(*c, st, in, reply)) return true;
      }
    }
    // Other cards' commands after selection (MIFARE Classic's Crypto1, a DEP
    // peer's raw frames) are not modelled: the card goes back to idle.
    fallBack(uid);
    return false;
  }
  // Ready at cascade level st.level: this level's 5 bytes CLn BCC.
  const std::size_t levels = uid.size() <= 4 ? 1 : uid.size() <= 7 ? 2 : 3;
  const std::size_t level = static_cast<std::size_t>(st.level);
  Bytes cl;
  const std::size_t from = level == 0 ? 0 : 3 * level;
  if (level + 1 < levels) {
    cl = {0x88, uid[from], uid[from + 1], uid[from + 2]};
  } else {
    cl.assign(uid.begin() + static_cast<std::ptrdiff_t>(from), uid.end());
  }
  cl.push_back(u8(cl[0] ^ cl[1] ^ cl[2] ^ cl[3]));
  const std::uint8_t sel = u8(0x93u + 2u * static_cast<unsigned>(level));
  if (in.lastBits != 8 || f.size() < 2 || f[0] != sel) {
    fallBack(uid);
    return false;
  }
  const std::uint8_t nvb = f[1];
  if (nvb == 0x70) {
    if (f.size() != 9 || !hasCrcA(f) || !std::equal(cl.begin(), cl.end(), f.begin() + 2)) {
      fallBack(uid);
      return false;
    }
    if (level + 1 < levels) {
      ++st.level;
      reply->bytes = {0x04};
    } else {
      st.active = true;
      reply->bytes = {card.sak};
    }
    appendCrcA(&reply->bytes);
    return true;
  }
  // Anticollision with whole bytes known: 2 + k bytes, NVB 0x(2+k)0.
  const std::size_t known = nvb >> 4;
  if ((nvb & 0x0F) != 0 || known < 2 || known > 6 || f.size() != known) return false;
  if (!std::equal(f.begin() + 2, f.end(), cl.begin())) return false;  // not this card: stays ready
  reply->bytes.assign(cl.begin() + static_cast<std::ptrdiff_t>(known - 2), cl.end());
  return true;
}

// MIFARE Classic: every refusal is status 0x14 and closes the open sector.
void Controller::State::mifareCommand(MifareClassicCard& c, Target& tg, const Bytes& d, Bytes* a) {
  const int blockCount = static_cast<int>(c.blocks.size());
  auto refuse = [&]() {
    tg.authSector = -1;
    a->push_back(kStatusAuthError);
  };
  if (d.empty()) return refuse();
  const std::uint8_t cmd = d[0];
  if ((cmd == 0x60 || cmd == 0x61) && d.size() >= 12 && d[1] < blockCount) {
    const int sector = MifareClassicCard::sectorOf(d[1]);
    const auto key = cmd == 0x60 ? c.keyA(sector) : c.keyB(sector);
    if (std::equal(key.begin(), key.end(), d.begin() + 2) &&
        std::equal(c.uid.begin(), c.uid.end(), d.begin() + 8)) {
      tg.authSector = sector;
      a->push_back(kStatusOk);
      return;
    }
    // A failed authentication leaves the card idle: nothing reaches it until it
    // is polled again.
    refuse();
    fallBack(tg.id);
    leaveActive(tg.id);
    return;
  }
  if (cmd == 0x30 && d.size() == 2 && d[1] < blockCount &&
      MifareClassicCard::sectorOf(d[1]) == tg.authSector) {
    Block b = c.blocks[d[1]];
    if (MifareClassicCard::trailerOf(tg.authSector) == d[1]) std::fill(b.begin(), b.begin() + 6, 0);
    a->push_back(kStatusOk);
    a->insert(a->end(), b.begin(), b.end());
    return;
  }
  if (cmd == 0xA0 && d.size() == 18 && d[1] != 0 && d[1] < blockCount &&
      MifareClassicCard::sectorOf(d[1]) == tg.authSector) {
    std::copy(d.begin() + 2, d.end(), c.blocks[d[1]].begin());
    a->push_back(kStatusOk);
    return;
  }
  refuse();
}

bool Controller::State::pageCommand(PageCard& c, const Bytes& d, Bytes* a) {
  if (d.empty()) return false;
  if (d[0] == 0x60) {
    if (d.size() == 1) {  // GET_VERSION, where the card has it
      if (c.version.empty()) return false;
      a->push_back(kStatusOk);
      a->insert(a->end(), c.version.begin(), c.version.end());
      return true;
    }
    const bool ok = d.size() == 16 && d[1] == 0x00 && (d[2] == 0x04 || d[2] == 0x00) &&
                    std::equal(kPagePrepare, kPagePrepare + 6, d.begin() + 3) &&
                    std::equal(c.uid.begin(), c.uid.end(), d.begin() + 9);
    a->push_back(ok ? kStatusOk : kStatusAuthError);
    return true;
  }
  // READ: the addressed page and the next three, rolling over from page 15 to
  // page 0; an address past the last page is refused (MIFARE Ultralight READ;
  // NFC Forum Type 2 Tag READ answers a block number outside the memory with a NACK).
  if (d[0] == 0x30 && d.size() == 2 && d[1] < 16) {
    a->push_back(kStatusOk);
    const Bytes pages = pagesFrom(c, d[1]);
    a->insert(a->end(), pages.begin(), pages.end());
    return true;
  }
  // WRITE A2 p data(4), or COMPATIBILITY WRITE A0 p data(16) of which the card
  // keeps the first 4 bytes (PN532 user manual, 7.3.8, MIFARE Ultralight).
  const bool write = (d[0] == 0xA2 && d.size() == 6) || (d[0] == 0xA0 && d.size() == 18);
  if (write && pageWrite(c, d[1], d.data() + 2)) {
    a->push_back(kStatusOk);
    return true;
  }
  return false;
}

// The page card's own commands, as MIFARE Ultralight answers them in the active
// state (MF0ICU1 data sheet, 9.2 to 9.4 and 8.3 state diagram):
//   READ 30 p CRC            16 bytes from page p (wrapping at 16) + CRC_A; p > 15: NAK 0
//   WRITE A2 p d(4) CRC      ACK; a page out of 2..15 or locked: NAK 0
//   COMPATIBILITY WRITE A0 p CRC, then d(16) CRC: ACK to each part, the first 4
//                            bytes of d written to p; a bad p: NAK 0 to the first part
//   GET_VERSION 60 CRC       the version bytes + CRC_A where the card has them
// A frame with a bad CRC gets NAK 1; anything else gets no answer. A NAK or a
// silence sends the card back to idle (or halt), so a client must select it
// again, as nfcpy's tt2_nxp.py activate() does after probing 1A and 60.
bool Controller::State::pageFrame(PageCard& c, Awake& st, const RfFrame& in, RfFrame* reply) {
  const Bytes& f = in.bytes;
  auto fourBits = [&](std::uint8_t v) {
    reply->bytes = {v};
    reply->lastBits = 4;
  };
  const int compat = st.compatWritePage;
  st.compatWritePage = -1;
  if (in.lastBits != 8 || f.size() < 3) return false;
  if (!hasCrcA(f)) {
    fourBits(kNakCrc);
    fallBack(Bytes(c.uid.begin(), c.uid.end()));
    return true;
  }
  const Bytes d(f.begin(), f.end() - 2);
  bool nak = false;
  if (compat >= 0) {
    if (d.size() != 16) return false;
    if (pageWrite(c, static_cast<unsigned>(compat), d.data())) {
      fourBits(kAck);
      return true;
    }
    nak = true;
  } else if (d[0] == 0x30 && d.size() == 2) {
    if (d[1] < 16) {
      reply->bytes = pagesFrom(c, d[1]);
      appendCrcA(&reply->bytes);
      return true;
    }
    nak = true;
  } else if (d[0] == 0xA2 && d.size() == 6) {
    if (pageWrite(c, d[1], d.data() + 2)) {
      fourBits(kAck);
      return true;
    }
    nak = true;
  } else if (d[0] == 0xA0 && d.size() == 2) {
    if (d[1] >= 2 && d[1] < 16 && !pageLocked(c, d[1])) {
      st.compatWritePage = d[1];
      fourBits(kAck);
      return true;
    }
    nak = true;
  } else if (d[0] == 0x60 && d.size() == 1 && !c.version.empty()) {
    reply->bytes.assign(c.version.begin(), c.version.end());
    appendCrcA(&reply->bytes);
    return true;
  }
  if (!nak) return false;
  // The NAK goes out; the card then leaves the active state.
  fourBits(kNakArgument);
  fallBack(Bytes(c.uid.begin(), c.uid.end()));
  return true;
}

void Controller::State::fillFifo(const Bytes& bytes) {
  constexpr std::size_t kFifoSize = 64;  // the CIU's FIFO holds 64 bytes
  fifo.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), kFifoSize)));
}

}  // namespace pelvsim
