// FeliCa cards (JIS X 6319-4): Polling through InListPassiveTarget; Polling,
// Request Service, Request Response, Search Service Code, Request System Code,
// Read and Write Without Encryption as frames (with their length byte) inside
// InDataExchange or InCommunicateThru; a FeliCa Lite card's blocks and their
// rules. The DEP peer answers Polling as a passive target at 212/424 kbit/s.
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
  // A passive NFC-DEP target answers Polling of system code FFFF with an NFCID2
  // that begins 01 FE (ISO/IEC 18092, 11.2.2.3; libnfc's pn53x_initiator_select_dep_target
  // polls with 00 FF FF 00 0F before ATR_REQ).
  if (field.peer && found->size() < maxTg && init[1] == 0xFF && init[2] == 0xFF) {
    const DepPeer& peer = *field.peer;
    Bytes d = {0x12, 0x01};
    d.insert(d.end(), peer.nfcid2.begin(), peer.nfcid2.end());
    d.insert(d.end(), peer.pmm.begin(), peer.pmm.end());
    if (init[3] == 0x01) {
      d[0] = 0x14;
      d.insert(d.end(), {0xFF, 0xFF});
    }
    found->push_back({Kind::Peer, Bytes(peer.nfcid2.begin(), peer.nfcid2.end()), d});
  }
}

namespace {

// FeliCa Lite blocks (FeliCa Lite user's manual, 2.3 and 4.4), by number:
//   0-13 user blocks, 14 REG: read; written while their MC bit (MC bytes 0-1,
//        low byte first, bit n for block n) is set
//   0x80 RC write only; 0x81 MAC read only (3DES is not modelled: it reads zeros)
//   0x82 ID: bytes 0-7 (IDd) fixed, the rest written while MC byte 2 is FF
//   0x83 D_ID, 0x84 SER_C, 0x85 SYS_C read only
//   0x86 CKV read/write, 0x87 CK write only, 0x88 MC read/write, while MC byte 2 is FF;
//        MC bits once cleared stay cleared.
// Any other block, or an access the rules refuse, is status flags 01 A8 (the
// manual's exact code for a refused write is not at hand: the stricter refusal).
constexpr std::uint8_t kLiteRc = 0x80, kLiteId = 0x82, kLiteCkv = 0x86,
                       kLiteCk = 0x87, kLiteMc = 0x88;
constexpr std::size_t kLiteReg = 14;
constexpr std::size_t kLiteMostReadBlocks = 4;
constexpr std::size_t kLiteMostWriteBlocks = 1;

Block* liteBlock(FelicaCard& c, FelicaService& s, std::size_t n, bool write) {
  const Block& mc = c.liteSystem[kLiteMc - kLiteRc];
  const bool systemWritable = mc[2] == 0xFF;
  if (n <= kLiteReg) {
    const bool open = ((mc[n / 8] >> (n % 8)) & 1u) != 0;
    if (write && !open) return nullptr;
    if (n == kLiteReg) return &c.liteReg;
    return n < s.blocks.size() ? &s.blocks[n] : nullptr;
  }
  if (n < kLiteRc || n > kLiteMc) return nullptr;
  Block* b = &c.liteSystem[n - kLiteRc];
  if (n == kLiteRc) return write ? b : nullptr;
  if (n == kLiteCk) return write && systemWritable ? b : nullptr;
  if (!write) return b;
  if (n == kLiteId || n == kLiteCkv || n == kLiteMc) return systemWritable ? b : nullptr;
  return nullptr;  // MAC, D_ID, SER_C, SYS_C
}

// A Lite system block takes a write only as its rules allow.
bool liteWriteAllowed(const FelicaCard& c, const Block* target, const std::uint8_t* data) {
  const Block& id = c.liteSystem[kLiteId - kLiteRc];
  if (target == &id) return std::equal(id.begin(), id.begin() + 8, data);
  const Block& mc = c.liteSystem[kLiteMc - kLiteRc];
  if (target == &mc) return (data[0] & ~mc[0]) == 0 && (data[1] & ~mc[1]) == 0 &&
                            (data[2] == 0xFF || data[2] == 0x00);
  return true;
}

// Search Service Code (0A): index 0 is the root area 0000 (its end code FFFE),
// then the services in order; beyond them FFFF. Codes go low byte first.
void searchServiceCode(const FelicaCard& c, std::size_t index, Bytes* a) {
  if (index == 0) {
    a->insert(a->end(), {0x00, 0x00, 0xFE, 0xFF});
  } else if (index <= c.services.size()) {
    const std::uint16_t code = c.services[index - 1].code;
    a->insert(a->end(), {u8(code), u8(code >> 8u)});
  } else {
    a->insert(a->end(), {0xFF, 0xFF});
  }
}

}  // namespace

// A frame through InCommunicateThru with FeliCa framing: Polling (06 00 SC1 SC2
// RC TSN) reaches every card and the peer, the first answer is heard; any other
// command reaches the card whose IDm it names.
bool Controller::State::felicaFrame(const Bytes& d, Bytes* a) {
  if (!field.present) return false;
  if (d.size() == 6 && d[0] == 0x06 && d[1] == 0x00) {
    constexpr std::uint16_t kTxMode = 0x6302;  // bits 6-4: 1 = 212, 2 = 424 kbit/s
    const std::uint8_t brTy = ((readRegister(kTxMode) >> 4) & 0x07) == 0x02 ? 0x02 : 0x01;
    std::vector<Polled> found;
    pollFelica(1, brTy, Bytes(d.begin() + 1, d.end()), &found);
    if (found.empty()) return false;
    a->push_back(kStatusOk);
    a->insert(a->end(), found[0].data.begin(), found[0].data.end());
    return true;
  }
  for (FelicaCard& c : field.felica)
    if (felicaCommand(c, d, a)) return true;
  return false;
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
  if (c.isLite && cmd != 0x06 && cmd != 0x08) return false;  // Lite: Read and Write only
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
  if (cmd == 0x0C) {  // Request System Code: one system, its code high byte first
    if (d.size() != 10) return false;
    head(0x0D);
    a->insert(a->end(), {0x01, u8(c.systemCode >> 8u), u8(c.systemCode)});
    finish();
    return true;
  }
  if (cmd == 0x0A) {  // Search Service Code: index low byte first
    if (d.size() != 12) return false;
    head(0x0B);
    searchServiceCode(c, static_cast<std::size_t>(d[11]) << 8 | d[10], a);
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
    const std::size_t most = !c.isLite ? 15 : write ? kLiteMostWriteBlocks : kLiteMostReadBlocks;
    if (nBlocks < 1 || nBlocks > most) {
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
      Block* target = c.isLite ? liteBlock(c, *s, block, write)
                               : block < s->blocks.size() ? &s->blocks[block] : nullptr;
      if (!target) {
        sf1 = 0x01;
        sf2 = 0xA8;
        break;
      }
      targets.push_back(target);
    }
    if (sf1 == 0 && (write ? d.size() != pos + 16 * targets.size() : d.size() != pos)) {
      sf1 = 0xFF;
      sf2 = 0xA2;
    }
    for (std::size_t k = 0; sf1 == 0 && write && c.isLite && k < targets.size(); ++k) {
      if (!liteWriteAllowed(c, targets[k], d.data() + pos + 16 * k)) {
        sf1 = 0x01;
        sf2 = 0xA8;
      }
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
