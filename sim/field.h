// The cards, the peer device and the initiator in the simulated controller's
// field. They are plain records with public data so that a test can set up any
// card and look at what the controller did to it; the controller keeps its own
// per-command state (which target is listed, which sector is authenticated).
//
// Cards keep their data across commands and stay in the field until they are
// erased from their list. The controller finds a listed target again by its
// identifier on every command, so a card taken out between two commands simply
// stops answering (controller status 0x01).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace pelvsim {

using Block = std::array<std::uint8_t, 16>;

// ---- FeliCa ----

// Service codes are held as the card's numbers (0x090F); commands carry them low
// byte first. A writable service whose code has bit 1 clear (random access,
// read/write, no key: 0x0009) also answers reads addressed to its read-only code
// (code | 0x02: 0x000B), as FeliCa services do.
struct FelicaService {
  std::uint16_t code = 0;
  bool writable = false;
  std::vector<Block> blocks;
};

// Read Without Encryption (06) and Write Without Encryption (08) answer with
// status flags 00 00 on success. Failures (nothing is written):
//   FF A1  number of services outside 1..16        FF A2  number of blocks outside 1..
//   01 A6  a service code the card does not hold   01 A8  a block number beyond the service
//   01 A3  a block list element naming a service index >= n
//   01 A9  a write to a read-only service
// A command whose IDm is not the card's, or whose FeliCa length byte does not
// match the bytes sent, gets no answer (controller status 0x01).
struct FelicaCard {
  std::array<std::uint8_t, 8> idm{};
  std::array<std::uint8_t, 8> pmm{};
  std::uint16_t systemCode = 0;
  std::uint8_t timeSlot = 0;   // answers a Polling whose time slot number is >= this
  bool answers424 = true;      // also answers polling at 424 kbit/s
  std::vector<FelicaService> services;
  // A FeliCa Lite card (RC-S965) also holds block 14 (REG) and the system blocks
  // 0x80 to 0x88, reached through its one service (card_felica.cpp gives their
  // rules); a Lite card answers only Polling, Read and Write Without Encryption.
  bool isLite = false;
  Block liteReg{};
  std::array<Block, 9> liteSystem{};  // RC, MAC, ID, D_ID, SER_C, SYS_C, CKV, CK, MC

  // A FeliCa Standard card: IDm 01 2E 4C 10 00 00 00 <serial>, system code 0003,
  // services 0009 (read/write, 16 blocks), 090F (read-only, 10 blocks), 1809
  // (read/write, 4 blocks). Byte j of block i of service number k (in that order,
  // 0-based) holds (16 * i + j + 0x40 * k + serial) mod 256.
  static FelicaCard standard(std::uint8_t serial = 1);
  // A FeliCa Lite card: IDm 01 2E 5C 10 00 00 00 <serial>, system code 88B4,
  // 212 kbit/s only, one service 0009 (read/write, readable as 000B) with 14
  // user blocks filled as above; REG zeros; ID holds the IDm and DFC 00 00,
  // D_ID the IDm and PMm, SER_C 0B 00, SYS_C 88 B4, CKV and CK zeros, MC FF FF
  // FF 00 (every block writable).
  static FelicaCard lite(std::uint8_t serial = 1);

  // A FeliCa card formatted as an NFC Forum Type 3 Tag: IDm 01 2E 6C 10 00 00 00
  // <serial>, system code 12FC, one service 0009 (read/write, readable as 000B)
  // of 14 blocks: block 0 the attribute information block (version 1.0, 4 blocks
  // a Check, 1 an Update, 13 NDEF blocks, read/write, the message length and its
  // checksum), blocks 1 to 13 sampleNdefMessage() padded with zeros.
  static FelicaCard ndef(std::uint8_t serial = 1);

  // The service a command with this code reaches, or null.
  FelicaService* service(std::uint16_t code, bool forWrite);
};

// The NDEF message of the NDEF-formatted cards: one short NFC Forum Text record
// (well-known type T, UTF-8, language "en") saying "Hello from the virtual reader".
std::vector<std::uint8_t> sampleNdefMessage();

// ---- ISO/IEC 14443 Type A ----

// A Type A card that only answers polling (SENS_RES, SEL_RES, NFCID1) and ignores
// every card command.
struct TypeACard {
  std::array<std::uint8_t, 2> sensRes{};
  std::uint8_t selRes = 0;
  std::vector<std::uint8_t> nfcid;

  // NFCID of 4, 7 or 10 bytes: 08 <serial> 00 00 (4; a random-ID first byte),
  // 04 <serial> 01 02 03 04 05 (7), 04 <serial> 01 02 03 04 05 06 07 08 (10).
  // SENS_RES 00 04 / 00 44 / 00 84 by UID size, SEL_RES 00.
  static TypeACard withUid(std::size_t length, std::uint8_t serial = 1);
};

// MIFARE Classic 1K (16 sectors of 4 blocks) or 4K (32 sectors of 4 blocks, then
// sectors 32 to 39 of 16 blocks: blocks 128 to 255). Authentication 60 N key uid
// (key A; 61 for key B) is checked against the trailer of N's sector and the UID;
// it then opens that sector only, until the next authentication, a halt, a
// reselection or the field going off. READ 30 N and WRITE A0 N data(16) work in
// the open sector; block 0 is read-only; a READ of a trailer returns key A as
// zeros, as real cards do. Refusals answer controller status 0x14; a failed
// authentication also leaves the card idle, so that later commands get status
// 0x01 until the card is polled again.
struct MifareClassicCard {
  std::array<std::uint8_t, 4> uid{};
  bool fourK = false;
  std::vector<Block> blocks;  // 64 or 256

  static constexpr std::array<std::uint8_t, 6> kFactoryKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  static constexpr std::array<std::uint8_t, 4> kFactoryAccess{0xFF, 0x07, 0x80, 0x69};

  // UID 0A <serial> 3C 4D (1K) or 0B <serial> 3C 4D (4K); block 0 holds the UID,
  // its BCC and manufacturer bytes; data block N holds (N + j) mod 256 at byte j;
  // every trailer holds key A = key B = FF FF FF FF FF FF and access bits FF 07 80 69.
  static MifareClassicCard make1k(std::uint8_t serial = 1);
  static MifareClassicCard make4k(std::uint8_t serial = 1);

  int sectorCount() const { return fourK ? 40 : 16; }
  static int sectorOf(int block) { return block < 128 ? block / 4 : 32 + (block - 128) / 16; }
  static int firstBlockOf(int sector) { return sector < 32 ? 4 * sector : 128 + 16 * (sector - 32); }
  static int trailerOf(int sector) { return sector < 32 ? 4 * sector + 3 : 128 + 16 * (sector - 32) + 15; }
  std::array<std::uint8_t, 6> keyA(int sector) const;
  std::array<std::uint8_t, 6> keyB(int sector) const;
};

// A 7-byte-UID card of 16 pages of 4 bytes: pages 0 to 2 hold the UID, its check
// bytes and the lock bytes, page 3 is one-time programmable (a write ORs into it
// while oneTimePage3 is set), pages 4 to 15 are free.
//   preparatory exchange: 60 00 {04|00} 3E 91 C7 0B 5D A4 + 7 identifier bytes,
//                         status 00 when the identifier is the UID, else 0x14
//   READ 30 p (p < 16):   pages p..p+3, wrapping at 16
//   WRITE A2 p data(4):   p 2..15 (page 2: only its lock bytes 2-3, ORed)
// A READ or WRITE outside those pages, or a WRITE to a page its lock bits
// lock, gets status 0x01 (the card does not answer). Raw frames through
// InCommunicateThru reach the card's own command set (card_type_a.cpp).
struct PageCard {
  std::array<std::uint8_t, 7> uid{};
  std::array<std::array<std::uint8_t, 4>, 16> pages{};
  bool oneTimePage3 = true;
  // The answer to GET_VERSION (60), 8 bytes, for a card that has the command;
  // empty (the factory card, a MIFARE Ultralight) stays silent and goes idle.
  std::vector<std::uint8_t> version;

  // UID 04 <serial> 5A 6B 7C 8D 9E; page p >= 4 holds bytes 4p .. 4p+3 (mod 256);
  // page 3 is 00 00 00 00, lock bytes 00 00.
  static PageCard make(std::uint8_t serial = 1);
  // The same card formatted as an NFC Forum Type 2 Tag: page 3 holds the
  // capability container E1 10 06 00 (version 1.0, 48 data bytes, read/write),
  // pages 4 to 15 the NDEF TLV 03 length sampleNdefMessage(), the terminator TLV
  // FE, then zeros.
  static PageCard ndef(std::uint8_t serial = 1);
};

// ---- ISO/IEC 14443 Type B ----

using ApduResponder = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>& apdu)>;

// Answers InListPassiveTarget 4A nn 03 AFI with its ATQB and ATTRIB_RES, and WUPB /
// REQB (05 AFI 08 / 05 AFI 00), ATTRIB and HLTB inside InCommunicateThru, as its
// state allows (card_type_b.cpp; status 01 when no card answers). AFI 00 in a
// request reaches every card; AFI x0 every card of family x; any other only a card
// with that AFI. APDUs that reach it through InDataExchange go to `responder`
// (defaultResponder when empty) and are recorded in `apdus`.
struct TypeBCard {
  std::array<std::uint8_t, 4> pupi{};
  std::array<std::uint8_t, 4> applicationData{0x00, 0x00, 0x00, 0x00};
  std::array<std::uint8_t, 3> protocolInfo{0x00, 0x81, 0x71};
  std::uint8_t afi = 0x00;
  // ATTRIB_RES: MBLI in the high nibble of the first byte, then any higher-layer
  // answer; the low nibble is the CID that ATTRIB gave when protocolInfo's
  // FO bit 0 says the card supports CID, else 0.
  std::vector<std::uint8_t> attribRes{0x00};
  // S(WTX) requests the card sends before each answer to an I-block
  // (ISO/IEC 14443-4 blocks through InCommunicateThru).
  std::uint8_t wtxRequests = 0;
  ApduResponder responder;
  std::vector<std::vector<std::uint8_t>> apdus;

  // PUPI 1B <serial> 2C 3D.
  static TypeBCard make(std::uint8_t serial = 1);
  // 50, PUPI, application data, protocol info: 12 bytes.
  std::array<std::uint8_t, 12> atqb() const;

  // The small default card:
  //   SELECT (00 A4 ..)                         -> 90 00
  //   READ BINARY (00 B0 P1 P2 Le) or GET DATA (00 CA P1 P2 Le)
  //                                             -> Le bytes of data, 90 00
  //     Le 00 means 256; an extended Le (00 B0 P1 P2 00 Lh Ll) asks for up to
  //     4096 bytes (300 + 90 00 needs an extended answer frame). Data byte i is
  //     dataByte(P1 * 256 + P2 + i).
  //   anything else                             -> 6D 00
  static std::vector<std::uint8_t> defaultResponder(const std::vector<std::uint8_t>& apdu);
  static std::uint8_t dataByte(std::size_t offset) { return static_cast<std::uint8_t>(offset * 7 + 3); }
};

// ---- NFC peer-to-peer ----

// A target that InJumpForDEP activates (any baud rate, active or passive). In
// InDataExchange a segment request A6 block segment answers segmentLength bytes
// of segment(block, segment); any other payload is echoed back.
struct DepPeer {
  enum class Stop { Timeout, Silence };

  std::array<std::uint8_t, 10> nfcid3{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA};
  // As a passive target it also answers polling: at 106 kbit/s Type A with
  // SENS_RES 00 04, this random NFCID1 and SEL_RES 40; at 212 and 424 kbit/s
  // FeliCa Polling (any system code) with this NFCID2 and PMm. InATR then
  // activates it; InJumpForDEP does both at once.
  std::array<std::uint8_t, 4> nfcid1{0x08, 0x3A, 0x5B, 0x7C};
  std::array<std::uint8_t, 8> nfcid2{0x01, 0xFE, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
  std::array<std::uint8_t, 8> pmm{0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7};
  // After this many segment answers, segment requests get controller status 0x01
  // (Stop::Timeout) or no answer frame at all after the ACK (Stop::Silence).
  // Negative: never stop.
  int stopAfterSegments = -1;
  Stop stopMode = Stop::Timeout;
  // Bytes per segment answer: 243 normally; shorter or longer (up to 252) on purpose.
  std::size_t segmentLength = 243;

  int segmentsAnswered = 0;
  std::vector<std::vector<std::uint8_t>> received;  // every payload that reached it

  // Byte i of segment (block, segment): (block * 31 + segment * 7 + i) mod 256.
  static std::uint8_t segmentByte(std::uint8_t block, std::uint8_t segment, std::size_t i) {
    return static_cast<std::uint8_t>(block * 31u + segment * 7u + i);
  }
  static std::vector<std::uint8_t> segment(std::uint8_t block, std::uint8_t segment,
                                           std::size_t length = 243);
};

// An initiator that activates the reader while it waits in TgInitAsTarget.
struct Initiator {
  // Time from the TgInitAsTarget command to the activation; never activates when
  // `never` is set (the host's deadline runs out, or its ACK frame aborts).
  std::uint64_t activateAfterUs = 0;
  bool never = false;
  // Mode byte of the TgInitAsTarget answer: baud rate in bits 6-4 (0x00 106k,
  // 0x10 212k, 0x20 424k), 0x04 DEP, framing in bits 1-0.
  std::uint8_t modeByte = 0x04;
  // The ATR_REQ it sends, with its length byte first, as the answer carries it.
  std::vector<std::uint8_t> atrReq{0x11, 0xD4, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                                   0x06, 0x07, 0x08, 0x09, 0x0A, 0x00, 0x00, 0x00, 0x32};
  // Payloads it sends, one per TgGetData; when the queue is empty TgGetData gets
  // status 0x29 (released by the initiator) while releasesWhenDone is set, and no
  // answer otherwise (the initiator has nothing to say yet).
  std::deque<std::vector<std::uint8_t>> toSend;
  bool releasesWhenDone = true;
  std::vector<std::vector<std::uint8_t>> received;  // what TgSetData carried
};

// Everything in the field. Type A polling answers the first card that fits in the
// order mifare, page, typeA; FeliCa polling the first FeliCa card whose system code
// matches (FF in either byte of the request is a wildcard).
class Field {
 public:
  std::deque<FelicaCard> felica;
  std::deque<TypeACard> typeA;
  std::deque<MifareClassicCard> mifare;
  std::deque<PageCard> page;
  std::deque<TypeBCard> typeB;
  std::optional<DepPeer> peer;
  std::optional<Initiator> initiator;

  // The switch: false takes every card, the peer and the initiator out of the
  // field at once (their data stay); true puts them back.
  bool present = true;

  void clear();  // removes everything
};

}  // namespace pelvsim
