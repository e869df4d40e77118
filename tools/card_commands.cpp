// Reader information, detection, and reading and writing cards of each kind.
#include <cstdio>

#include "commands.h"
#include "names.h"
#include "packets.h"

namespace pelvtool {

std::uint8_t Context::timeoutTenths() const {
  const double tenths = o.timeoutSeconds * 10.0 + 0.5;
  if (tenths < 1.0) return 1;
  if (tenths > 255.0) return 255;
  return static_cast<std::uint8_t>(tenths);
}

namespace {

Bytes hexOption(const std::string& text, std::size_t length, const std::string& what) {
  Bytes b;
  std::string error;
  if (!parseHexExact(text, length, &b, &error)) throw Failure(kExitUsage, what + ": " + error);
  return b;
}

Bytes hexData(const std::string& text, const std::string& what) {
  Bytes b;
  std::string error;
  if (text.empty()) throw Failure(kExitUsage, what + " is missing", "give it with --data HEX");
  if (!parseHex(text, &b, &error)) throw Failure(kExitUsage, what + ": " + error);
  return b;
}

std::string byteCount(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

std::uint16_t wordOption(const std::string& text, const std::string& what) {
  const Bytes b = hexOption(text, 2, what);
  return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

std::string seconds(std::uint8_t tenths) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.1f s", tenths / 10.0);
  return buf;
}

// Mode selection, then polling. The answer is the card's identifier.
Bytes selectAndPoll(Context& c, std::uint8_t modeCode, const Bytes& poll, const std::string& kind) {
  c.reader.open();
  c.reader.expect(selectModePacket(modeCode, c.timeoutTenths()), "selecting " + modeCodeName(modeCode) + " mode");
  Exchange e = c.reader.command(poll);
  if (e.ok()) return e.response.data;
  if (e.response.written && e.response.status == 0xFE) {
    throw Failure(kExitTimeout, "no " + kind + " answered within " + seconds(c.timeoutTenths()),
                  "put the card on the reader, or give a longer --timeout");
  }
  failExchange(e, "polling for a " + kind);
}

Bytes pollFelica(Context& c) {
  const std::uint16_t system = wordOption(c.o.systemCode, "--system-code");
  Bytes idm = selectAndPoll(c, c.o.lite ? 0x11 : 0x10, pollFelicaPacket(system, 0),
                           c.o.lite ? "FeliCa Lite card" : "FeliCa card");
  if (idm.size() != 8) throw Failure(kExitFailed, "the polling answer holds no 8-byte IDm: " + hexBytes(idm));
  c.out.fields().set("idm", hexBytes(idm));
  c.out.line("FeliCa card, IDm " + hexBytes(idm));
  return idm;
}

Bytes pollTypeA(Context& c, std::size_t uidLength) {
  const bool classic = uidLength == 4;
  Bytes uid = selectAndPoll(c, classic ? 0x30 : 0x31, pollTypeAPacket(),
                            classic ? "MIFARE Classic card" : "7-byte-UID page card");
  c.out.fields().set("uid", hexBytes(uid));
  if (uid.size() != uidLength) {
    throw Failure(kExitFailed,
                  "the Type A card in the field has a " + std::to_string(uid.size()) + "-byte UID (" +
                      hexBytes(uid) + ")",
                  classic ? "a 7-byte UID is a page card: use 'read page'" : "a 4-byte UID is MIFARE Classic: use 'read mifare'");
  }
  c.out.line(std::string(classic ? "MIFARE Classic card" : "Page card") + ", UID " + hexBytes(uid));
  return uid;
}

struct FelicaRequest {
  std::vector<std::uint16_t> services;
  std::vector<BlockRef> blocks;
};

FelicaRequest felicaRequest(Context& c, bool forWrite) {
  FelicaRequest r;
  std::vector<std::string> codes = c.o.services;
  if (codes.empty()) codes.push_back(forWrite ? "0009" : "090F");
  for (const std::string& s : codes) r.services.push_back(wordOption(s, "--service"));
  std::string error;
  if (!parseBlockList(c.o.blocks, &r.blocks, &error)) throw Failure(kExitUsage, "--blocks: " + error);
  error = checkFelica(r.services.size(), r.blocks, c.o.lite, forWrite);
  if (!error.empty()) throw Failure(kExitUsage, error);
  return r;
}

std::vector<std::string> felicaLabels(const FelicaRequest& r) {
  std::vector<std::string> labels;
  for (const BlockRef& b : r.blocks) {
    labels.push_back("service " + hexWord(r.services[b.service]) + " block " + std::to_string(b.block));
  }
  return labels;
}

Json blockRecords(const std::vector<std::string>& labels, const Bytes& data, std::size_t width) {
  Json list = Json::array();
  for (std::size_t i = 0; i < labels.size() && i * width < data.size(); ++i) {
    Json item = Json::object();
    item.set("label", labels[i]);
    item.set("data", hexBytes(data.data() + i * width, std::min(width, data.size() - i * width)));
    list.push(std::move(item));
  }
  return list;
}

int mifareCount(Context& c, bool forWrite) {
  if (c.o.count > 0) return c.o.count;
  const int blocks = mifareBlockCount(c.o.sector);
  if (forWrite) return 1;
  return std::max(1, std::min(blocks - c.o.block, 15));
}

}  // namespace

int runInfo(Context& c) {
  c.reader.open();
  // Mode code 0x30 keeps the mode that opening leaves; the answer carries the IC and version.
  Exchange mode = c.reader.expect(selectModePacket(0x30, c.timeoutTenths()), "asking the controller for its version");
  if (mode.response.data.size() < 2) throw Failure(kExitFailed, "the mode selection answer holds no version");
  const std::uint8_t ic = mode.response.data[0];
  const std::uint8_t version = mode.response.data[1];
  Exchange speed = c.reader.command(lineSpeedPacket());
  const std::uint8_t code = speed.response.data.empty() ? 0xFF : speed.response.data[0];
  const std::uint32_t bps = lineSpeedOfCode(code);

  c.out.line("Reader: " + c.reader.where());
  c.out.line("  IC          " + hexByte(ic) + " (" + icName(ic) + ")");
  c.out.line("  firmware    version " + hexByte(version));
  c.out.line("  line speed  " + (bps ? std::to_string(bps) + " bit/s" : std::string("not a controller speed")) +
             " (code " + hexByte(code) + ")");
  Json& f = c.out.fields();
  f.set("where", c.reader.where());
  f.set("port", c.reader.port());
  f.set("ic", hexByte(ic));
  f.set("ic_name", icName(ic));
  f.set("version", hexByte(version));
  f.set("line_speed_code", hexByte(code));
  f.set("line_speed", static_cast<unsigned long>(bps));
  return speed.result == 0 ? kExitOk : kExitFailed;
}

int runDetect(Context& c) {
  std::vector<DetectTechnology> list;
  std::vector<std::string> names = c.o.technologies;
  if (names.empty()) names = {"felica", "typeA", "typeB"};
  if (names.size() > 3) throw Failure(kExitUsage, "detect takes at most three technologies");
  std::string tried;
  for (const std::string& n : names) {
    DetectTechnology t;
    if (!parseTechnology(n, &t.technology)) {
      throw Failure(kExitUsage, "unknown technology '" + n + "'", "use felica, typeA or typeB");
    }
    t.systemCode = wordOption(c.o.systemCode, "--system-code");
    if (c.o.timeSlot < 0 || c.o.timeSlot > 15) throw Failure(kExitUsage, "--time-slot must be 0 to 15");
    t.timeSlot = static_cast<std::uint8_t>(c.o.timeSlot);
    t.afi = hexOption(c.o.afi, 1, "--afi")[0];
    tried += (tried.empty() ? "" : ", ") + technologyName(t.technology);
    list.push_back(t);
  }
  c.reader.open();
  Exchange e = c.reader.command(detectPacket(list));
  Json& f = c.out.fields();
  f.set("tried", tried);
  if (e.response.written && e.response.status == 0xFE) {
    f.set("found", false);
    throw Failure(kExitTimeout, "no card found (" + tried + ") within 5 s", "put a card on the reader");
  }
  if (!e.ok()) failExchange(e, "detecting a card");
  DetectedCard card;
  if (!parseDetected(e.response.data, &card)) {
    throw Failure(kExitFailed, "the detection answer fits no technology: " + hexBytes(e.response.data));
  }
  f.set("found", true);
  f.set("technology", hexByte(card.code));
  f.set("kind", card.kind);
  f.set("mode", modeCodeName(card.code));
  f.set(card.idName == "IDm" ? "idm" : card.idName == "PUPI" ? "pupi" : "uid", hexBytes(card.id));
  if (!card.extra.empty()) f.set("extra", hexBytes(card.extra));
  f.set("data", hexBytes(e.response.data));
  c.out.line("Found: " + card.kind);
  c.out.line("  " + card.idName + "  " + hexBytes(card.id));
  if (!card.extra.empty()) c.out.line("  application data, protocol info, ATTRIB_RES  " + hexBytes(card.extra));
  c.out.line("  answer  " + hexBytes(e.response.data) + " (technology code " + hexByte(card.code) + ")");
  return kExitOk;
}

int runReadFelica(Context& c) {
  const FelicaRequest r = felicaRequest(c, false);
  const Bytes idm = pollFelica(c);
  Exchange e = c.reader.expect(readFelicaPacket(idm, r.services, r.blocks), "reading the FeliCa card");
  const std::vector<std::string> labels = felicaLabels(r);
  c.out.block(labeledDump(labels, e.response.data, 16));
  c.out.fields().set("blocks", blockRecords(labels, e.response.data, 16));
  c.out.fields().set("data", hexBytes(e.response.data));
  return kExitOk;
}

int runWriteFelica(Context& c) {
  const FelicaRequest r = felicaRequest(c, true);
  const Bytes data = hexData(c.o.data, "the block data");
  if (data.size() != 16 * r.blocks.size()) {
    throw Failure(kExitUsage, "--data has " + byteCount(data.size()) + "; " +
                                  std::to_string(r.blocks.size()) + " block(s) need " +
                                  std::to_string(16 * r.blocks.size()));
  }
  const Bytes idm = pollFelica(c);
  c.reader.expect(writeFelicaPacket(idm, r.services, r.blocks, data), "writing the FeliCa card");
  c.out.line("wrote " + std::to_string(r.blocks.size()) + " block(s)");
  c.out.fields().set("written", static_cast<unsigned long>(r.blocks.size()));
  return kExitOk;
}

int runReadMifare(Context& c) {
  const int count = mifareCount(c, false);
  const std::string problem = checkMifare(c.o.sector, c.o.block, count, false);
  if (!problem.empty()) throw Failure(kExitUsage, problem);
  const Bytes key = hexOption(c.o.key, 6, "--key");
  const Bytes uid = pollTypeA(c, 4);
  Exchange e = c.reader.expect(readMifarePacket(uid, key, c.o.sector, c.o.block, count),
                               "reading sector " + std::to_string(c.o.sector));
  std::vector<std::string> labels;
  const int first = mifareFirstBlock(c.o.sector) + c.o.block;
  const int trailer = mifareFirstBlock(c.o.sector) + mifareBlockCount(c.o.sector) - 1;
  for (int i = 0; i < count; ++i) {
    labels.push_back("block " + std::to_string(first + i) + (first + i == trailer ? " (trailer)" : ""));
  }
  c.out.block(labeledDump(labels, e.response.data, 16));
  c.out.fields().set("sector", c.o.sector);
  c.out.fields().set("blocks", blockRecords(labels, e.response.data, 16));
  c.out.fields().set("data", hexBytes(e.response.data));
  return kExitOk;
}

int runWriteMifare(Context& c) {
  const Bytes data = hexData(c.o.data, "the block data");
  if (data.empty() || data.size() % 16 != 0) {
    throw Failure(kExitUsage, "--data has " + byteCount(data.size()) + "; blocks are 16 bytes each");
  }
  const int count = static_cast<int>(data.size() / 16);
  const std::string problem = checkMifare(c.o.sector, c.o.block, count, true);
  if (!problem.empty()) throw Failure(kExitUsage, problem);
  const Bytes key = hexOption(c.o.key, 6, "--key");
  const Bytes uid = pollTypeA(c, 4);
  c.reader.expect(writeMifarePacket(uid, key, c.o.sector, c.o.block, data),
                  "writing sector " + std::to_string(c.o.sector));
  c.out.line("wrote " + std::to_string(count) + " block(s) from block " +
             std::to_string(mifareFirstBlock(c.o.sector) + c.o.block));
  c.out.fields().set("written", count);
  return kExitOk;
}

int runReadPages(Context& c) {
  const int count = c.o.count > 0 ? c.o.count : 4;
  const std::string problem = checkPages(c.o.start, count, false);
  if (!problem.empty()) throw Failure(kExitUsage, problem);
  const Bytes uid = pollTypeA(c, 7);
  Exchange e = c.reader.expect(readPagesPacket(uid, c.o.start, count), "reading pages");
  std::vector<std::string> labels;
  // Each read returns four pages from its start page, wrapping after page 15.
  for (int read = 0; read < count / 4; ++read) {
    for (int k = 0; k < 4; ++k) labels.push_back("page " + std::to_string((c.o.start + 4 * read + k) % 16));
  }
  c.out.block(labeledDump(labels, e.response.data, 4));
  c.out.fields().set("pages", blockRecords(labels, e.response.data, 4));
  c.out.fields().set("data", hexBytes(e.response.data));
  return kExitOk;
}

int runWritePages(Context& c) {
  const Bytes data = hexData(c.o.data, "the page data");
  if (data.empty() || data.size() % 4 != 0) {
    throw Failure(kExitUsage, "--data has " + byteCount(data.size()) + "; pages are 4 bytes each");
  }
  const int pages = static_cast<int>(data.size() / 4);
  const std::string problem = checkPages(c.o.start, pages, true);
  if (!problem.empty()) throw Failure(kExitUsage, problem);
  const Bytes uid = pollTypeA(c, 7);
  c.reader.expect(writePagesPacket(uid, c.o.start, data), "writing pages");
  c.out.line("wrote " + std::to_string(pages) + " page(s) from page " + std::to_string(c.o.start));
  c.out.fields().set("written", pages);
  return kExitOk;
}

int runKeyMifare(Context& c) {
  if (c.o.sector < 0 || c.o.sector > 39) throw Failure(kExitUsage, "the sector must be 0 to 39");
  const Bytes key = hexOption(c.o.key, 6, "--key");
  if (c.o.newKey.empty()) throw Failure(kExitUsage, "the new key A is missing", "give it with --new-key HEX");
  const Bytes newKey = hexOption(c.o.newKey, 6, "--new-key");
  const Bytes uid = pollTypeA(c, 4);
  Exchange e = c.reader.command(changeKeyPacket(uid, key, c.o.sector, newKey));
  if (!e.ok()) {
    // The reader reports a refused authentication like a time-out.
    if (e.response.written && e.response.status == 0xFE) {
      throw Failure(kExitFailed, "key A of sector " + std::to_string(c.o.sector) + " was not changed (0xFE)",
                    "the current key (--key) is wrong, or the card left the field");
    }
    failExchange(e, "changing key A");
  }
  c.out.line("key A of sector " + std::to_string(c.o.sector) + " is now " + hexBytes(newKey));
  c.out.fields().set("sector", c.o.sector);
  c.out.fields().set("key", hexBytes(newKey));
  return kExitOk;
}

int runKeyPage(Context& c) {
  const Bytes data = hexOption(c.o.data, 4, "--data (the four bytes of page 3)");
  const Bytes uid = pollTypeA(c, 7);
  Exchange e = c.reader.command(writePage3Packet(uid, data));
  if (!e.ok()) {
    if (e.response.written && e.response.status == 0xFE) {
      throw Failure(kExitFailed, "page 3 was not written (0xFE)", "the card refused it or left the field");
    }
    failExchange(e, "writing page 3");
  }
  c.out.line("page 3 written with " + hexBytes(data) + " (its bits can be set, never cleared)");
  c.out.fields().set("page3", hexBytes(data));
  return kExitOk;
}

}  // namespace pelvtool
