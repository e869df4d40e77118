// Command packets built from what a person asks for, and response packets taken
// apart, by the layouts of the library's RF_COMMAND packets. Nothing here talks
// to a reader, so all of it can be tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hex.h"

namespace pelvtool {

// ---- responses ----

// The response buffer of one RF_COMMAND call. Several commands return without
// writing a response; prepareResponse marks the buffer so that parseResponse can
// tell (a response always repeats the command byte).
void prepareResponse(std::uint8_t cmd, std::uint8_t* buffer, std::size_t size);

struct Response {
  bool written = false;   // the library wrote a response packet
  bool longForm = false;  // FF, length high, length low, CMD, STATUS, data (command 0x86)
  std::uint8_t status = 0;
  Bytes packet;           // the whole response as written
  Bytes data;             // the bytes after STATUS (after the A7 marker for 0x70)
  unsigned segments = 0;  // 0x70, 0x71: byte 0 counts received segments, not bytes
};
Response parseResponse(std::uint8_t cmd, const std::uint8_t* buffer, std::size_t size);

constexpr std::size_t kSegmentSize = 243;
constexpr unsigned kMaxSegmentsByBlock = 94;  // 0x70
constexpr unsigned kMaxSegmentsBlock0 = 28;   // 0x71

// ---- reader level ----

Bytes selectModePacket(std::uint8_t modeCode, std::uint8_t timeoutTenths);
Bytes lineSpeedPacket();

// ---- polling and detection ----

Bytes pollFelicaPacket(std::uint16_t systemCode, std::uint8_t timeSlot);
Bytes pollTypeAPacket();
Bytes pollTypeBPacket(std::uint8_t afi);

enum class Technology { Felica, TypeA, TypeB };
struct DetectTechnology {
  Technology technology = Technology::TypeA;
  std::uint16_t systemCode = 0xFFFF;  // FeliCa
  std::uint8_t timeSlot = 0;          // FeliCa
  std::uint8_t afi = 0;               // Type B
};
// Reads "felica", "typeA" (or "a", "mifare"), "typeB" (or "b"); case does not matter.
bool parseTechnology(const std::string& name, Technology* out);
std::string technologyName(Technology t);
// 1 to 3 technologies. Technology code 1 is also the time-out in tenths that the
// reader keeps afterwards (0x10: 1.6 s, 0x30: 4.8 s, 0x60: 9.6 s).
Bytes detectPacket(const std::vector<DetectTechnology>& list);

struct DetectedCard {
  std::uint8_t code = 0;   // 0x10, 0x30, 0x31 or 0x60: the mode code it selected
  std::string kind;        // "FeliCa", "MIFARE Classic (4-byte UID)" ...
  std::string idName;      // "IDm", "UID", "PUPI"
  Bytes id;
  Bytes extra;             // Type B: application data, protocol info, ATTRIB_RES
};
// False for data that fit no technology.
bool parseDetected(const Bytes& data, DetectedCard* out);

// ---- FeliCa ----

struct BlockRef {
  std::uint8_t service = 0;  // index into the service list
  std::uint8_t block = 0;
};
// "0-3", "5", "1:0-2", "0:1,1:4": blocks of service 0 unless "service:" is given.
bool parseBlockList(const std::string& text, std::vector<BlockRef>* out, std::string* error);
// Services 1..8 (Lite: 1), blocks 1..8 (Lite: read 1..4, write 1); every block's
// service index within the list. Empty when fine, else the reason.
std::string checkFelica(std::size_t services, const std::vector<BlockRef>& blocks, bool lite,
                        bool forWrite);
Bytes readFelicaPacket(const Bytes& idm, const std::vector<std::uint16_t>& services,
                       const std::vector<BlockRef>& blocks);
Bytes writeFelicaPacket(const Bytes& idm, const std::vector<std::uint16_t>& services,
                        const std::vector<BlockRef>& blocks, const Bytes& data);

// ---- MIFARE Classic ----

int mifareBlockCount(int sector);   // 4, or 16 for sectors 32 to 39
int mifareFirstBlock(int sector);   // absolute block number
// Read: count 1..(blocks in sector - first) and at most 15 blocks (252 bytes);
// write: the trailer is never reached. Empty when fine, else the reason.
std::string checkMifare(int sector, int block, int count, bool forWrite);
Bytes readMifarePacket(const Bytes& uid, const Bytes& key, int sector, int block, int count);
Bytes writeMifarePacket(const Bytes& uid, const Bytes& key, int sector, int block, const Bytes& data);
Bytes changeKeyPacket(const Bytes& uid, const Bytes& key, int sector, const Bytes& newKey);

// ---- 7-byte-UID page cards ----

// Read: start 0..15, count a multiple of 4 from 4 (at most 60). Write: start 4..15,
// count 1..16-start. Empty when fine, else the reason.
std::string checkPages(int start, int count, bool forWrite);
Bytes readPagesPacket(const Bytes& uid, int start, int count);
// Command 0x31 for whole groups of four pages, 0x32 for any other count.
Bytes writePagesPacket(const Bytes& uid, int start, const Bytes& data);
Bytes writePage3Packet(const Bytes& uid, const Bytes& data);

// ---- peer-to-peer and target ----

// 106, 212 or 424 kbit/s to the BR byte 0, 1, 2; false otherwise.
bool baudRateCode(int kbps, std::uint8_t* out);
Bytes peerActivatePacket(std::uint8_t baudRate);
Bytes targetActivatePacket();
Bytes peerEndPacket();
Bytes targetReceivePacket();
// 0x31 with a payload: to the peer (initiator) or to the initiator (target).
Bytes payloadPacket(const Bytes& payload);
// 0x70 (byBlock) or 0x71.
Bytes segmentedReadPacket(bool byBlock, std::uint8_t block, std::uint8_t segment, std::uint8_t count);

// ---- raw ----

// Checks a packet typed by hand: at least 2 bytes, at most 255, LEN equal to its
// length. Empty when fine, else the reason.
std::string checkRawPacket(const Bytes& packet);

}  // namespace pelvtool
