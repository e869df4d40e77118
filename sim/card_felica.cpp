// FeliCa cards (JIS X 6319-4): Polling through InListPassiveTarget, and Request
// Response, Request Service, Read and Write Without Encryption inside InDataExchange.
#include <algorithm>

#include "controller_state.h"

namespace pelvsim {

FelicaCard* Controller::State::findFelica(const Bytes& id) {
  if (!field.present) return nullptr;
  for (FelicaCard& c : field.felica)
    if (id.size() == c.idm.size() && std::equal(id.begin(), id.end(), c.idm.begin())) return &c;
  return nullptr;
}

// Polling: 00 SC1 SC2 RC TSN; FF in a system code byte matches any. A card
// answers 12 01 IDm PMm, or 14 01 IDm PMm SC with request code 01.
void Controller::State::pollFelica(std::size_t maxTg, std::uint8_t brTy, const Bytes& init,
                                   std::vector<Polled>* found) const {
  if (init[0] != 0x00) return;
  for (const FelicaCard& c : field.felica) {
    if (found->size() >= maxTg) break;
    if (brTy == 0x02 && !c.answers424) continue;
    const std::uint8_t hi = u8(c.systemCode >> 8u);
    const std::uint8_t lo = u8(c.systemCode);
    if ((init[1] != 0xFF && init[1] != hi) || (init[2] != 0xFF && init[2] != lo)) continue;
    if (c.timeSlot > init[4]) continue;
    Bytes d = {0x12, 0x01};
    d.insert(d.end(), c.idm.begin(), c.idm.end());
    d.insert(d.end(), c.pmm.begin(), c.pmm.end());
    if (init[3] == 0x01) {
      d[0] = 0x14;
      d.push_back(hi);
      d.push_back(lo);
    }
    found->push_back({Kind::Felica, Bytes(c.idm.begin(), c.idm.end()), d});
  }
}

// FeliCa commands carried as L cmd IDm ...; false when the card stays silent.
bool Controller::State::felicaCommand(FelicaCard& c, const Bytes& d, Bytes* a) {
  if (d.size() < 10 || d[0] != d.size()) return false;
  if (!std::equal(c.idm.begin(), c.idm.end(), d.begin() + 2)) return false;
  const std::uint8_t cmd = d[1];
  auto head = [&](std::uint8_t code) {
    a->push_back(kStatusOk);
    a->push_back(0);  // length, set at the end
    a->push_back(code);
    a->insert(a->end(), c.idm.begin(), c.idm.end());
  };
  auto finish = [&]() { (*a)[2] = u8(static_cast<unsigned>(a->size() - 2)); };
  if (cmd == 0x04) {  // Request Response: mode 0
    head(0x05);
    a->push_back(0x00);
    finish();
    return true;
  }
  if (cmd == 0x02) {  // Request Service: key version 0000 per known service, FFFF otherwise
    if (d.size() < 11 || d.size() != 11 + 2u * d[10]) return false;
    head(0x03);
    a->push_back(d[10]);
    for (std::size_t k = 0; k < d[10]; ++k) {
      const bool known = c.service(u16(d[12 + 2 * k], d[11 + 2 * k]), false) != nullptr;
      a->push_back(known ? 0x00 : 0xFF);
      a->push_back(known ? 0x00 : 0xFF);
    }
    finish();
    return true;
  }
  if (cmd != 0x06 && cmd != 0x08) return false;
  const bool write = cmd == 0x08;
  head(write ? 0x09 : 0x07);
  std::vector<Block*> targets;
  std::uint8_t sf1 = 0x00;
  std::uint8_t sf2 = 0x00;
  std::size_t pos = 10;
  const std::size_t nServices = d.size() > pos ? d[pos] : 0;
  std::vector<std::uint16_t> codes;
  if (nServices < 1 || nServices > 16 || d.size() < pos + 2 + 2 * nServices) {
    sf1 = 0xFF;
    sf2 = 0xA1;
  } else {
    for (std::size_t k = 0; k < nServices; ++k)
      codes.push_back(u16(d[pos + 2 + 2 * k], d[pos + 1 + 2 * k]));  // low byte first
    pos += 1 + 2 * nServices;
    const std::size_t nBlocks = d[pos++];
    if (nBlocks < 1 || nBlocks > 15) {
      sf1 = 0xFF;
      sf2 = 0xA2;
    }
    for (std::size_t k = 0; k < nBlocks && sf1 == 0; ++k) {
      if (pos + 2 > d.size()) {
        sf1 = 0xFF;
        sf2 = 0xA2;
        break;
      }
      const std::uint8_t b0 = d[pos];
      std::size_t block = d[pos + 1];
      if (b0 & 0x80) {
        pos += 2;
      } else {
        if (pos + 3 > d.size()) {
          sf1 = 0xFF;
          sf2 = 0xA2;
          break;
        }
        block |= static_cast<std::size_t>(d[pos + 2]) << 8;
        pos += 3;
      }
      const std::size_t index = b0 & 0x0F;
      if (index >= codes.size()) {
        sf1 = 0x01;
        sf2 = 0xA3;
        break;
      }
      FelicaService* s = c.service(codes[index], false);
      if (!s) {
        sf1 = 0x01;
        sf2 = 0xA6;
        break;
      }
      if (write && !c.service(codes[index], true)) {
        sf1 = 0x01;
        sf2 = 0xA9;
        break;
      }
      if (block >= s->blocks.size()) {
        sf1 = 0x01;
        sf2 = 0xA8;
        break;
      }
      targets.push_back(&s->blocks[block]);
    }
    if (sf1 == 0 && (write ? d.size() != pos + 16 * targets.size() : d.size() != pos)) {
      sf1 = 0xFF;
      sf2 = 0xA2;
    }
  }
  a->push_back(sf1);
  a->push_back(sf2);
  if (sf1 == 0) {
    if (write) {
      for (std::size_t k = 0; k < targets.size(); ++k)
        std::copy(d.begin() + static_cast<std::ptrdiff_t>(pos + 16 * k),
                  d.begin() + static_cast<std::ptrdiff_t>(pos + 16 * k + 16), targets[k]->begin());
    } else {
      a->push_back(u8(static_cast<unsigned>(targets.size())));
      for (Block* b : targets) a->insert(a->end(), b->begin(), b->end());
    }
  }
  finish();
  return true;
}

}  // namespace pelvsim
