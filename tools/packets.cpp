#include "packets.h"

#include <algorithm>
#include <cctype>

namespace pelvtool {
namespace {

constexpr std::uint8_t kLongFormMarker = 0xFF;
constexpr std::uint8_t kSegmentMarker = 0xA7;  // byte 3 of a 0x70 response

// LEN goes in front once the packet is complete.
Bytes withLength(Bytes body) {
  body.insert(body.begin(), static_cast<std::uint8_t>(body.size() + 1));
  return body;
}

void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

void prepareResponse(std::uint8_t cmd, std::uint8_t* buffer, std::size_t size) {
  std::fill(buffer, buffer + size, 0);
  const auto other = static_cast<std::uint8_t>(~cmd);
  if (size > 1) buffer[1] = other;
  if (size > 3) buffer[3] = other;
}

Response parseResponse(std::uint8_t cmd, const std::uint8_t* buffer, std::size_t size) {
  Response r;
  if (size < 3) return r;
  if (cmd == 0x70 || cmd == 0x71) {
    if (buffer[1] != cmd) return r;
    r.written = true;
    r.segments = buffer[0];
    r.status = buffer[2];
    const std::size_t head = cmd == 0x70 ? 4 : 3;
    std::size_t total = head + kSegmentSize * r.segments;
    if (cmd == 0x70 && buffer[3] != kSegmentMarker) total = 3;  // refusal before the marker
    total = std::min(total, size);
    r.packet.assign(buffer, buffer + total);
    if (total > head) r.data.assign(buffer + head, buffer + total);
    return r;
  }
  if (cmd == 0x86 && buffer[0] == kLongFormMarker && size >= 5 && buffer[3] == cmd) {
    r.written = true;
    r.longForm = true;
    r.status = buffer[4];
    const std::size_t total = std::min<std::size_t>((buffer[1] << 8) | buffer[2], size);
    r.packet.assign(buffer, buffer + total);
    if (total > 5) r.data.assign(buffer + 5, buffer + total);
    return r;
  }
  if (buffer[1] != cmd) return r;
  r.written = true;
  const std::size_t total = std::min<std::size_t>(buffer[0], size);
  r.packet.assign(buffer, buffer + total);
  r.status = total >= 3 ? buffer[2] : 0xFF;
  if (total > 3) r.data.assign(buffer + 3, buffer + total);
  return r;
}

Bytes selectModePacket(std::uint8_t modeCode, std::uint8_t timeoutTenths) {
  return withLength({0x10, modeCode, timeoutTenths, 0x00, 0x00, 0x00});
}

Bytes lineSpeedPacket() { return withLength({0xF0}); }

Bytes pollFelicaPacket(std::uint16_t systemCode, std::uint8_t timeSlot) {
  return withLength({0x20, static_cast<std::uint8_t>(systemCode >> 8),
                     static_cast<std::uint8_t>(systemCode & 0xFF), timeSlot});
}

Bytes pollTypeAPacket() { return withLength({0x20}); }

Bytes pollTypeBPacket(std::uint8_t afi) { return withLength({0x20, afi}); }

bool parseTechnology(const std::string& name, Technology* out) {
  const std::string n = lower(name);
  if (n == "felica" || n == "f") {
    *out = Technology::Felica;
  } else if (n == "typea" || n == "a" || n == "mifare" || n == "page") {
    *out = Technology::TypeA;
  } else if (n == "typeb" || n == "b") {
    *out = Technology::TypeB;
  } else {
    return false;
  }
  return true;
}

std::string technologyName(Technology t) {
  switch (t) {
    case Technology::Felica: return "FeliCa";
    case Technology::TypeA: return "Type A";
    case Technology::TypeB: return "Type B";
  }
  return "";
}

Bytes detectPacket(const std::vector<DetectTechnology>& list) {
  Bytes body{0x21, 0x00, 0x00, 0x00, 0x00};
  Bytes params;
  for (std::size_t i = 0; i < list.size() && i < 3; ++i) {
    const DetectTechnology& t = list[i];
    switch (t.technology) {
      case Technology::Felica:
        body[2 + i] = 0x10;
        append(params, {static_cast<std::uint8_t>(t.systemCode >> 8),
                        static_cast<std::uint8_t>(t.systemCode & 0xFF), t.timeSlot});
        break;
      case Technology::TypeB:
        body[2 + i] = 0x60;
        append(params, {t.afi, 0x00});  // AFI, no further polling bytes
        break;
      case Technology::TypeA:
        body[2 + i] = 0x30;
        break;
    }
  }
  append(body, params);
  return withLength(body);
}

bool parseDetected(const Bytes& data, DetectedCard* out) {
  if (data.empty()) return false;
  DetectedCard c;
  c.code = data[0];
  const Bytes rest(data.begin() + 1, data.end());
  switch (c.code) {
    case 0x10:
      if (rest.size() != 8) return false;
      c.kind = "FeliCa";
      c.idName = "IDm";
      c.id = rest;
      break;
    case 0x30:
      if (rest.size() != 4) return false;
      c.kind = "Type A, 4-byte UID (MIFARE Classic)";
      c.idName = "UID";
      c.id = rest;
      break;
    case 0x31:
      if (rest.size() != 7) return false;
      c.kind = "Type A, 7-byte UID (page card)";
      c.idName = "UID";
      c.id = rest;
      break;
    case 0x60:
      // ATQB: 50, PUPI (4), application data (4), protocol info (3); then ATTRIB_RES.
      if (rest.size() < 12 || rest[0] != 0x50) return false;
      c.kind = "Type B (ISO/IEC 14443-3B)";
      c.idName = "PUPI";
      c.id.assign(rest.begin() + 1, rest.begin() + 5);
      c.extra.assign(rest.begin() + 5, rest.end());
      break;
    default:
      return false;
  }
  *out = std::move(c);
  return true;
}

bool parseBlockList(const std::string& text, std::vector<BlockRef>* out, std::string* error) {
  std::vector<BlockRef> refs;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    long service = 0;
    const std::size_t colon = item.find(':');
    if (colon != std::string::npos) {
      if (!parseNumber(item.substr(0, colon), 0, 7, &service)) {
        if (error) *error = "'" + item + "': the service index must be 0 to 7";
        return false;
      }
      item = item.substr(colon + 1);
    }
    long first = 0;
    long last = 0;
    const std::size_t dash = item.find('-');
    const bool ok = dash == std::string::npos
                        ? parseNumber(item, 0, 255, &first) && (last = first, true)
                        : parseNumber(item.substr(0, dash), 0, 255, &first) &&
                              parseNumber(item.substr(dash + 1), 0, 255, &last);
    if (!ok || last < first) {
      if (error) *error = "'" + item + "' is not a block number or range (0 to 255)";
      return false;
    }
    for (long b = first; b <= last; ++b) {
      refs.push_back({static_cast<std::uint8_t>(service), static_cast<std::uint8_t>(b)});
      if (refs.size() > 64) {
        if (error) *error = "too many blocks";
        return false;
      }
    }
  }
  if (refs.empty()) {
    if (error) *error = "no blocks given";
    return false;
  }
  *out = std::move(refs);
  return true;
}

std::string checkFelica(std::size_t services, const std::vector<BlockRef>& blocks, bool lite,
                        bool forWrite) {
  const std::size_t maxServices = lite ? 1 : 8;
  const std::size_t maxBlocks = lite ? (forWrite ? 1 : 4) : 8;
  if (services < 1 || services > maxServices) {
    return lite ? "a FeliCa Lite card takes exactly one service"
                : "give 1 to 8 services";
  }
  if (blocks.empty() || blocks.size() > maxBlocks) {
    return "give 1 to " + std::to_string(maxBlocks) + " block" + (maxBlocks == 1 ? "" : "s") +
           (lite ? " for a FeliCa Lite card" : "");
  }
  for (const BlockRef& b : blocks) {
    if (b.service >= services) {
      return "block " + std::to_string(b.block) + " names service index " +
             std::to_string(b.service) + ", but only " + std::to_string(services) +
             " service" + (services == 1 ? " is" : "s are") + " given";
    }
  }
  return "";
}

namespace {

// IDm, n, service codes (high byte first), m, two-byte block list elements.
Bytes felicaBody(std::uint8_t cmd, const Bytes& idm, const std::vector<std::uint16_t>& services,
                 const std::vector<BlockRef>& blocks) {
  Bytes body{cmd};
  append(body, idm);
  body.push_back(static_cast<std::uint8_t>(services.size()));
  for (std::uint16_t s : services) {
    body.push_back(static_cast<std::uint8_t>(s >> 8));
    body.push_back(static_cast<std::uint8_t>(s & 0xFF));
  }
  body.push_back(static_cast<std::uint8_t>(blocks.size()));
  for (const BlockRef& b : blocks) {
    body.push_back(static_cast<std::uint8_t>(0x80 | b.service));  // two-byte element
    body.push_back(b.block);
  }
  return body;
}

}  // namespace

Bytes readFelicaPacket(const Bytes& idm, const std::vector<std::uint16_t>& services,
                       const std::vector<BlockRef>& blocks) {
  return withLength(felicaBody(0x30, idm, services, blocks));
}

Bytes writeFelicaPacket(const Bytes& idm, const std::vector<std::uint16_t>& services,
                        const std::vector<BlockRef>& blocks, const Bytes& data) {
  Bytes body = felicaBody(0x31, idm, services, blocks);
  append(body, data);
  return withLength(body);
}

int mifareBlockCount(int sector) { return sector < 32 ? 4 : 16; }

int mifareFirstBlock(int sector) { return sector < 32 ? 4 * sector : 128 + 16 * (sector - 32); }

std::string checkMifare(int sector, int block, int count, bool forWrite) {
  if (sector < 0 || sector > 39) return "the sector must be 0 to 39";
  const int blocks = mifareBlockCount(sector);
  if (block < 0 || block >= blocks) {
    return "the first block must be 0 to " + std::to_string(blocks - 1) + " in sector " +
           std::to_string(sector);
  }
  if (forWrite) {
    const int room = blocks - 1 - block;  // the trailer is not written by this command
    if (room <= 0) return "block " + std::to_string(block) + " is the sector trailer; change keys with 'key'";
    if (count < 1 || count > room) {
      return "from block " + std::to_string(block) + " at most " + std::to_string(room) +
             " block" + (room == 1 ? "" : "s") + " can be written (the trailer is kept)";
    }
    return "";
  }
  const int room = std::min(blocks - block, 15);  // 15 blocks of 16 bytes fill a response
  if (count < 1 || count > room) {
    return "from block " + std::to_string(block) + " read 1 to " + std::to_string(room) + " blocks";
  }
  return "";
}

Bytes readMifarePacket(const Bytes& uid, const Bytes& key, int sector, int block, int count) {
  Bytes body{0x30};
  append(body, uid);
  append(body, key);
  append(body, {static_cast<std::uint8_t>(sector), static_cast<std::uint8_t>(block),
                static_cast<std::uint8_t>(count)});
  return withLength(body);
}

Bytes writeMifarePacket(const Bytes& uid, const Bytes& key, int sector, int block, const Bytes& data) {
  Bytes body{0x31};
  append(body, uid);
  append(body, key);
  append(body, {static_cast<std::uint8_t>(sector), static_cast<std::uint8_t>(block),
                static_cast<std::uint8_t>(data.size() / 16)});
  append(body, data);
  return withLength(body);
}

Bytes changeKeyPacket(const Bytes& uid, const Bytes& key, int sector, const Bytes& newKey) {
  Bytes body{0x33};
  append(body, uid);
  append(body, key);
  body.push_back(static_cast<std::uint8_t>(sector));
  append(body, newKey);
  return withLength(body);
}

std::string checkPages(int start, int count, bool forWrite) {
  if (forWrite) {
    if (start < 4 || start > 15) return "pages 4 to 15 can be written (page 3 with 'key page')";
    if (count < 1 || start + count > 16) {
      return "from page " + std::to_string(start) + " write 1 to " + std::to_string(16 - start) + " pages";
    }
    return "";
  }
  if (start < 0 || start > 15) return "the start page must be 0 to 15";
  if (count < 4 || count > 60 || count % 4 != 0) {
    return "the page count must be a multiple of 4 from 4 to 60 (the card reads four pages at a time)";
  }
  return "";
}

Bytes readPagesPacket(const Bytes& uid, int start, int count) {
  Bytes body{0x30};
  append(body, uid);
  append(body, {static_cast<std::uint8_t>(start), static_cast<std::uint8_t>(count)});
  return withLength(body);
}

Bytes writePagesPacket(const Bytes& uid, int start, const Bytes& data) {
  const std::size_t pages = data.size() / 4;
  Bytes body{static_cast<std::uint8_t>(pages % 4 == 0 ? 0x31 : 0x32)};
  append(body, uid);
  append(body, {static_cast<std::uint8_t>(start), static_cast<std::uint8_t>(pages)});
  append(body, data);
  return withLength(body);
}

Bytes writePage3Packet(const Bytes& uid, const Bytes& data) {
  Bytes body{0x33};
  append(body, uid);
  append(body, data);
  body.push_back(0x00);  // not read by the reader
  return withLength(body);
}

bool baudRateCode(int kbps, std::uint8_t* out) {
  switch (kbps) {
    case 106: *out = 0x00; return true;
    case 212: *out = 0x01; return true;
    case 424: *out = 0x02; return true;
    default: return false;
  }
}

Bytes peerActivatePacket(std::uint8_t baudRate) { return withLength({0x50, baudRate}); }
Bytes targetActivatePacket() { return withLength({0x50}); }
Bytes peerEndPacket() { return withLength({0x51}); }
Bytes targetReceivePacket() { return withLength({0x60}); }

Bytes payloadPacket(const Bytes& payload) {
  Bytes body{0x31};
  append(body, payload);
  return withLength(body);
}

Bytes segmentedReadPacket(bool byBlock, std::uint8_t block, std::uint8_t segment, std::uint8_t count) {
  return withLength({static_cast<std::uint8_t>(byBlock ? 0x70 : 0x71), 0x00, block, segment, count});
}

std::string checkRawPacket(const Bytes& packet) {
  if (packet.size() < 2) return "a packet needs at least LEN and the command byte";
  if (packet.size() > 255) return "a packet is at most 255 bytes long";
  if (packet[0] != packet.size()) {
    return "LEN is " + hexByte(packet[0]) + " but the packet has " + std::to_string(packet.size()) +
           " bytes (" + hexByte(static_cast<unsigned>(packet.size())) + "); LEN counts itself";
  }
  return "";
}

}  // namespace pelvtool
