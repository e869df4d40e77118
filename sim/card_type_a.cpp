// ISO/IEC 14443 Type A cards: polling (SENS_RES, SEL_RES, NFCID1) through
// InListPassiveTarget, MIFARE Classic and page-card commands inside InDataExchange.
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

}  // namespace

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
  auto fits = [&](const Bytes& id) {
    if (isHalted(id) || found->size() >= maxTg) return false;
    return init.empty() || init == id;
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
  // The poll's REQA and SELECT leave the cards found active and send the others
  // that were ready or active back (ISO/IEC 14443-3, 6.3).
  for (const Picc& card : typeACards()) {
    if (awake.count(card.uid) && std::none_of(found->begin(), found->end(),
                                              [&](const Polled& f) { return f.id == card.uid; }))
      fallBack(card.uid);
  }
  for (const Polled& f : *found) awake[f.id] = Awake{true, false, 0};
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
    cards.push_back({Bytes(c.uid.begin(), c.uid.end()),
                     {static_cast<std::uint8_t>(c.fourK ? 0x02 : 0x04), 0x00},
                     static_cast<std::uint8_t>(c.fourK ? 0x18 : 0x08)});
  for (const PageCard& c : field.page) cards.push_back({Bytes(c.uid.begin(), c.uid.end()), {0x44, 0x00}, 0x00});
  for (const TypeACard& c : field.typeA) {
    // Only single, double and triple UIDs split into cascade levels.
    if (c.nfcid.size() == 4 || c.nfcid.size() == 7 || c.nfcid.size() == 10)
      cards.push_back({c.nfcid, {c.sensRes[1], c.sensRes[0]}, c.selRes});
  }
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
    awake[uid] = Awake{false, halt, 0};
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
    const bool ok = d.size() == 16 && d[1] == 0x00 && (d[2] == 0x04 || d[2] == 0x00) &&
                    std::equal(kPagePrepare, kPagePrepare + 6, d.begin() + 3) &&
                    std::equal(c.uid.begin(), c.uid.end(), d.begin() + 9);
    a->push_back(ok ? kStatusOk : kStatusAuthError);
    return true;
  }
  if (d[0] == 0x30 && d.size() == 2 && d[1] < 16) {
    a->push_back(kStatusOk);
    for (unsigned k = 0; k < 4; ++k) {
      const auto& page = c.pages[(d[1] + k) % 16];
      a->insert(a->end(), page.begin(), page.end());
    }
    return true;
  }
  // WRITE A2 p data(4), or COMPATIBILITY WRITE A0 p data(16) of which the card
  // keeps the first 4 bytes (PN532 user manual, 7.3.8, MIFARE Ultralight).
  const bool write = (d[0] == 0xA2 && d.size() == 6) || (d[0] == 0xA0 && d.size() == 18);
  if (write && d[1] >= 2 && d[1] < 16) {
    auto& page = c.pages[d[1]];
    if (d[1] == 2) {
      page[2] |= d[4];
      page[3] |= d[5];
    } else if (d[1] == 3 && c.oneTimePage3) {
      for (std::size_t k = 0; k < 4; ++k) page[k] |= d[2 + k];
    } else {
      std::copy(d.begin() + 2, d.begin() + 6, page.begin());
    }
    a->push_back(kStatusOk);
    return true;
  }
  return false;
}

}  // namespace pelvsim
