// Factory contents of the simulated cards.
#include "field.h"

#include <algorithm>

namespace pelvsim {

namespace {

std::uint8_t u8(unsigned v) { return static_cast<std::uint8_t>(v & 0xFFu); }

FelicaService makeService(std::uint16_t code, bool writable, std::size_t blocks, unsigned number,
                          std::uint8_t serial) {
  FelicaService s;
  s.code = code;
  s.writable = writable;
  s.blocks.resize(blocks);
  for (std::size_t i = 0; i < blocks; ++i)
    for (std::size_t j = 0; j < 16; ++j)
      s.blocks[i][j] = u8(static_cast<unsigned>(16 * i + j) + 0x40u * number + serial);
  return s;
}

void fillTrailer(Block& b) {
  for (std::size_t j = 0; j < 6; ++j) b[j] = MifareClassicCard::kFactoryKey[j];
  for (std::size_t j = 0; j < 4; ++j) b[6 + j] = MifareClassicCard::kFactoryAccess[j];
  for (std::size_t j = 0; j < 6; ++j) b[10 + j] = MifareClassicCard::kFactoryKey[j];
}

MifareClassicCard makeClassic(bool fourK, std::uint8_t first, std::uint8_t serial) {
  MifareClassicCard c;
  c.fourK = fourK;
  c.uid = {first, serial, 0x3C, 0x4D};
  c.blocks.resize(fourK ? 256 : 64);
  for (std::size_t n = 0; n < c.blocks.size(); ++n)
    for (std::size_t j = 0; j < 16; ++j) c.blocks[n][j] = u8(static_cast<unsigned>(n + j));
  Block& b0 = c.blocks[0];
  for (std::size_t j = 0; j < 4; ++j) b0[j] = c.uid[j];
  b0[4] = u8(c.uid[0] ^ c.uid[1] ^ c.uid[2] ^ c.uid[3]);  // BCC
  b0[5] = fourK ? 0x18 : 0x08;
  b0[6] = 0x04;
  b0[7] = 0x00;
  for (int s = 0; s < c.sectorCount(); ++s) fillTrailer(c.blocks[MifareClassicCard::trailerOf(s)]);
  return c;
}

}  // namespace

FelicaCard FelicaCard::standard(std::uint8_t serial) {
  FelicaCard c;
  c.idm = {0x01, 0x2E, 0x4C, 0x10, 0x00, 0x00, 0x00, serial};
  c.pmm = {0x03, 0x01, 0x4B, 0x02, 0x4F, 0x49, 0x93, 0xFF};
  c.systemCode = 0x0003;
  c.services.push_back(makeService(0x0009, true, 16, 0, serial));
  c.services.push_back(makeService(0x090F, false, 10, 1, serial));
  c.services.push_back(makeService(0x1809, true, 4, 2, serial));
  return c;
}

FelicaCard FelicaCard::lite(std::uint8_t serial) {
  FelicaCard c;
  c.idm = {0x01, 0x2E, 0x5C, 0x10, 0x00, 0x00, 0x00, serial};
  c.pmm = {0x00, 0xF0, 0x00, 0x00, 0x00, 0x01, 0x43, 0x00};
  c.systemCode = 0x88B4;
  c.answers424 = false;
  c.services.push_back(makeService(0x0009, true, 14, 0, serial));
  // System blocks (FeliCa Lite user's manual, 2.3): ID = IDd (the IDm) and DFC
  // 00 00, D_ID = IDm and PMm, SER_C the service code, SYS_C the system code,
  // MC FF FF FF 00: every user block and the system blocks writable.
  c.isLite = true;
  std::copy(c.idm.begin(), c.idm.end(), c.liteSystem[2].begin());
  std::copy(c.idm.begin(), c.idm.end(), c.liteSystem[3].begin());
  std::copy(c.pmm.begin(), c.pmm.end(), c.liteSystem[3].begin() + 8);
  c.liteSystem[4][0] = 0x0B;
  c.liteSystem[5][0] = 0x88;
  c.liteSystem[5][1] = 0xB4;
  c.liteSystem[8][0] = 0xFF;
  c.liteSystem[8][1] = 0xFF;
  c.liteSystem[8][2] = 0xFF;
  return c;
}

std::vector<std::uint8_t> sampleNdefMessage() {
  static const char kText[] = "Hello from the virtual reader";
  const std::size_t textLength = sizeof kText - 1;
  // Record header: MB, ME, SR, TNF 1 (well-known); type length 1, payload length, type "T".
  // Text payload: status byte (UTF-8, language code of 2 bytes), "en", the text.
  const std::uint8_t head[7] = {0xD1, 0x01, u8(static_cast<unsigned>(3 + textLength)), 'T', 0x02, 'e', 'n'};
  std::vector<std::uint8_t> m(head, head + sizeof head);
  for (std::size_t i = 0; i < textLength; ++i) m.push_back(static_cast<std::uint8_t>(kText[i]));
  return m;
}

FelicaCard FelicaCard::ndef(std::uint8_t serial) {
  FelicaCard c = standard(serial);
  c.idm[2] = 0x6C;
  c.systemCode = 0x12FC;
  c.services.clear();
  FelicaService s = makeService(0x0009, true, 14, 0, 0);
  for (Block& b : s.blocks) b.fill(0x00);
  const std::vector<std::uint8_t> message = sampleNdefMessage();
  // Attribute information block (NFC Forum Type 3 Tag, 7.1): Ver, Nbr, Nbw,
  // Nmaxb (2), four unused bytes, WriteF, RW flag, Ln (3), checksum (2) of bytes 0-13.
  Block& a = s.blocks[0];
  a = {0x10, 0x04, 0x01, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
       0x00, u8(static_cast<unsigned>(message.size() >> 8)), u8(static_cast<unsigned>(message.size()))};
  unsigned sum = 0;
  for (std::size_t j = 0; j < 14; ++j) sum += a[j];
  a[14] = u8(sum >> 8);
  a[15] = u8(sum);
  for (std::size_t i = 0; i < message.size(); ++i) s.blocks[1 + i / 16][i % 16] = message[i];
  c.services.push_back(s);
  return c;
}

FelicaService* FelicaCard::service(std::uint16_t code, bool forWrite) {
  for (FelicaService& s : services) {
    if (s.code == code) return (forWrite && !s.writable) ? nullptr : &s;
  }
  if (forWrite) return nullptr;
  for (FelicaService& s : services) {
    if (s.writable && (s.code & 0x02) == 0 && (s.code | 0x02) == code) return &s;
  }
  return nullptr;
}

TypeACard TypeACard::withUid(std::size_t length, std::uint8_t serial) {
  TypeACard c;
  if (length <= 4) {
    c.nfcid = {0x08, serial, 0x00, 0x00};
    c.sensRes = {0x00, 0x04};
  } else if (length <= 7) {
    c.nfcid = {0x04, serial, 0x01, 0x02, 0x03, 0x04, 0x05};
    c.sensRes = {0x00, 0x44};
  } else {
    c.nfcid = {0x04, serial, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    c.sensRes = {0x00, 0x84};
  }
  c.selRes = 0x00;
  return c;
}

MifareClassicCard MifareClassicCard::make1k(std::uint8_t serial) { return makeClassic(false, 0x0A, serial); }
MifareClassicCard MifareClassicCard::make4k(std::uint8_t serial) { return makeClassic(true, 0x0B, serial); }

std::array<std::uint8_t, 6> MifareClassicCard::keyA(int sector) const {
  std::array<std::uint8_t, 6> k{};
  const Block& t = blocks[static_cast<std::size_t>(trailerOf(sector))];
  for (std::size_t j = 0; j < 6; ++j) k[j] = t[j];
  return k;
}

std::array<std::uint8_t, 6> MifareClassicCard::keyB(int sector) const {
  std::array<std::uint8_t, 6> k{};
  const Block& t = blocks[static_cast<std::size_t>(trailerOf(sector))];
  for (std::size_t j = 0; j < 6; ++j) k[j] = t[10 + j];
  return k;
}

PageCard PageCard::make(std::uint8_t serial) {
  PageCard c;
  c.uid = {0x04, serial, 0x5A, 0x6B, 0x7C, 0x8D, 0x9E};
  // Page 0: UID0-2 and BCC0 (0x88 ^ UID0 ^ UID1 ^ UID2); page 1: UID3-6; page 2: BCC1, internal, lock bytes.
  c.pages[0] = {c.uid[0], c.uid[1], c.uid[2], u8(0x88u ^ c.uid[0] ^ c.uid[1] ^ c.uid[2])};
  c.pages[1] = {c.uid[3], c.uid[4], c.uid[5], c.uid[6]};
  c.pages[2] = {u8(c.uid[3] ^ c.uid[4] ^ c.uid[5] ^ c.uid[6]), 0x48, 0x00, 0x00};
  c.pages[3] = {0x00, 0x00, 0x00, 0x00};
  for (unsigned p = 4; p < 16; ++p)
    for (unsigned j = 0; j < 4; ++j) c.pages[p][j] = u8(4 * p + j);
  return c;
}

PageCard PageCard::ndef(std::uint8_t serial) {
  PageCard c = make(serial);
  c.pages[3] = {0xE1, 0x10, 0x06, 0x00};
  std::vector<std::uint8_t> area = {0x03, u8(static_cast<unsigned>(sampleNdefMessage().size()))};
  const std::vector<std::uint8_t> message = sampleNdefMessage();
  area.insert(area.end(), message.begin(), message.end());
  area.push_back(0xFE);
  area.resize(48, 0x00);
  for (std::size_t i = 0; i < area.size(); ++i) c.pages[4 + i / 4][i % 4] = area[i];
  return c;
}

TypeBCard TypeBCard::make(std::uint8_t serial) {
  TypeBCard c;
  c.pupi = {0x1B, serial, 0x2C, 0x3D};
  return c;
}

std::array<std::uint8_t, 12> TypeBCard::atqb() const {
  return {0x50,           pupi[0],         pupi[1],         pupi[2],
          pupi[3],        applicationData[0], applicationData[1], applicationData[2],
          applicationData[3], protocolInfo[0], protocolInfo[1], protocolInfo[2]};
}

std::vector<std::uint8_t> TypeBCard::defaultResponder(const std::vector<std::uint8_t>& apdu) {
  if (apdu.size() >= 4 && apdu[1] == 0xA4) return {0x90, 0x00};
  if (apdu.size() >= 5 && (apdu[1] == 0xB0 || apdu[1] == 0xCA)) {
    std::size_t le = apdu[4] == 0 ? 256 : apdu[4];
    if (apdu.size() == 7 && apdu[4] == 0) {
      le = static_cast<std::size_t>(apdu[5]) << 8 | apdu[6];
      if (le == 0 || le > 4096) le = 4096;
    }
    const std::size_t offset = static_cast<std::size_t>(apdu[2]) << 8 | apdu[3];
    std::vector<std::uint8_t> out;
    out.reserve(le + 2);
    for (std::size_t i = 0; i < le; ++i) out.push_back(dataByte(offset + i));
    out.push_back(0x90);
    out.push_back(0x00);
    return out;
  }
  return {0x6D, 0x00};
}

std::vector<std::uint8_t> DepPeer::segment(std::uint8_t block, std::uint8_t seg, std::size_t length) {
  std::vector<std::uint8_t> out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = segmentByte(block, seg, i);
  return out;
}

void Field::clear() {
  felica.clear();
  typeA.clear();
  mifare.clear();
  page.clear();
  typeB.clear();
  peer.reset();
  initiator.reset();
  present = true;
}

}  // namespace pelvsim
