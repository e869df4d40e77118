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
                                  std::vector<Polled>* found) const {
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
    return refuse();
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
  if (d[0] == 0xA2 && d.size() == 6 && d[1] >= 2 && d[1] < 16) {
    auto& page = c.pages[d[1]];
    if (d[1] == 2) {
      page[2] |= d[4];
      page[3] |= d[5];
    } else if (d[1] == 3 && c.oneTimePage3) {
      for (std::size_t k = 0; k < 4; ++k) page[k] |= d[2 + k];
    } else {
      std::copy(d.begin() + 2, d.end(), page.begin());
    }
    a->push_back(kStatusOk);
    return true;
  }
  return false;
}

}  // namespace pelvsim
