// The tool's pieces that talk to no reader: what a person types going in, and
// what the library answers coming out.
#include <gtest/gtest.h>

#include <algorithm>

#include "hex.h"
#include "json.h"
#include "line_editor.h"
#include "names.h"
#include "output.h"
#include "packets.h"
#include "port_list.h"
#include "support/hex.h"

namespace pelvtool {
namespace {

using pelvtest::hex;

// ---- hex text ----

TEST(HexInput, AcceptsTheWaysPeopleWriteBytes) {
  struct Case {
    const char* text;
    const char* bytes;
  } cases[] = {
      {"07 10 11 0A", "07 10 11 0A"},   {"0710110a", "07 10 11 0A"}, {"07:10,11-0A", "07 10 11 0A"},
      {"0x07 0x10", "07 10"},           {"7 10", "07 10"},           {"  ", ""},
      {"0xFFFF", "FF FF"},              {"\t0a\n", "0A"},
  };
  for (const Case& c : cases) {
    Bytes b;
    std::string error;
    ASSERT_TRUE(parseHex(c.text, &b, &error)) << c.text << ": " << error;
    EXPECT_EQ(hexBytes(b), c.bytes) << c.text;
  }
}

TEST(HexInput, RefusesWhatIsNotHexWithTheOffendingText) {
  for (const char* text : {"zz", "071", "07 1G", "0x", "0xABC", "07;10"}) {
    Bytes b{0x55};
    std::string error;
    EXPECT_FALSE(parseHex(text, &b, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(b, Bytes{0x55}) << "output untouched on failure: " << text;
  }
  std::string error;
  Bytes b;
  EXPECT_FALSE(parseHexExact("FFFFFFFFFF", 6, &b, &error));
  EXPECT_NE(error.find("expected 6"), std::string::npos) << error;
}

TEST(HexDump, OffsetsGapAndAsciiColumn) {
  Bytes data;
  for (int i = 0; i < 20; ++i) data.push_back(static_cast<std::uint8_t>(0x41 + i));
  data[1] = 0x00;
  const std::string dump = hexDump(data, 0x100);
  EXPECT_EQ(dump,
            "0100  41 00 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  |A.CDEFGHIJKLMNOP|\n"
            "0110  51 52 53 54                                       |QRST|\n");
  EXPECT_EQ(hexDump(Bytes{}), "");
}

TEST(HexDump, LabeledLinesLineUp) {
  const std::string dump = labeledDump({"page 4", "page 15"}, hex("50 61 67 65 21 00 7F 20"), 4);
  EXPECT_EQ(dump, "page 4   50 61 67 65  |Page|\npage 15  21 00 7F 20  |!.. |\n");
}

TEST(Numbers, DecimalAndHexWithinBounds) {
  long v = 0;
  EXPECT_TRUE(parseNumber("15", 0, 15, &v));
  EXPECT_EQ(v, 15);
  EXPECT_TRUE(parseNumber("0x0F", 0, 15, &v));
  EXPECT_EQ(v, 15);
  EXPECT_FALSE(parseNumber("16", 0, 15, &v));
  EXPECT_FALSE(parseNumber("", 0, 15, &v));
  EXPECT_FALSE(parseNumber("1a", 0, 255, &v));
  EXPECT_FALSE(parseNumber("99999999999999999999", 0, 255, &v)) << "no overflow into range";
}

// ---- responses ----

TEST(Responses, UnwrittenBufferIsToldApart) {
  std::uint8_t buf[300];
  prepareResponse(0x32, buf, sizeof buf);
  EXPECT_FALSE(parseResponse(0x32, buf, sizeof buf).written);
  // A segmented read of zero segments starts with a zero byte and is written.
  prepareResponse(0x70, buf, sizeof buf);
  const Bytes empty = hex("00 70 00 A7");
  std::copy(empty.begin(), empty.end(), buf);
  const Response r = parseResponse(0x70, buf, sizeof buf);
  EXPECT_TRUE(r.written);
  EXPECT_EQ(r.segments, 0u);
  EXPECT_EQ(hexBytes(r.packet), "00 70 00 A7");
}

TEST(Responses, ShortLongAndSegmentForms) {
  std::vector<std::uint8_t> buf(2000, 0);
  const Bytes shortForm = hex("05 86 00 90 00");
  std::copy(shortForm.begin(), shortForm.end(), buf.begin());
  Response r = parseResponse(0x86, buf.data(), buf.size());
  EXPECT_TRUE(r.written);
  EXPECT_FALSE(r.longForm);
  EXPECT_EQ(hexBytes(r.data), "90 00");

  // Long form: FF, total length 0x0104 (5 + 255), CMD, STATUS, 255 data bytes.
  std::fill(buf.begin(), buf.end(), 0xEE);
  const Bytes head = hex("FF 01 04 86 00");
  std::copy(head.begin(), head.end(), buf.begin());
  r = parseResponse(0x86, buf.data(), buf.size());
  EXPECT_TRUE(r.longForm);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.data.size(), 255u);
  EXPECT_EQ(r.packet.size(), 260u);

  // 0x70: byte 0 counts segments of 243 bytes after the A7 marker.
  std::fill(buf.begin(), buf.end(), 0x11);
  const Bytes seg = hex("02 70 00 A7");
  std::copy(seg.begin(), seg.end(), buf.begin());
  r = parseResponse(0x70, buf.data(), buf.size());
  EXPECT_EQ(r.segments, 2u);
  EXPECT_EQ(r.data.size(), 2 * kSegmentSize);
  // 0x71 has no marker.
  const Bytes seg71 = hex("01 71 00");
  std::copy(seg71.begin(), seg71.end(), buf.begin());
  r = parseResponse(0x71, buf.data(), buf.size());
  EXPECT_EQ(r.data.size(), kSegmentSize);
  EXPECT_EQ(r.packet.size(), 3 + kSegmentSize);
}

TEST(Responses, LengthNeverRunsPastTheBuffer) {
  std::uint8_t buf[8] = {0xFF, 0x7F, 0xFF, 0x86, 0x00, 1, 2, 3};
  Response r = parseResponse(0x86, buf, sizeof buf);
  EXPECT_EQ(r.packet.size(), sizeof buf);
  std::uint8_t seg[10] = {0xFF, 0x70, 0x00, 0xA7};
  r = parseResponse(0x70, seg, sizeof seg);
  EXPECT_EQ(r.packet.size(), sizeof seg);
  std::uint8_t tiny[3] = {0x03, 0x10, 0xFD};
  r = parseResponse(0x10, tiny, sizeof tiny);
  EXPECT_EQ(r.status, 0xFD);
  EXPECT_TRUE(r.data.empty());
}

// ---- requests ----

TEST(Requests, PacketsCarryTheirOwnLength) {
  struct Case {
    Bytes packet;
    const char* expected;
  } cases[] = {
      {selectModePacket(0x11, 0x0A), "07 10 11 0A 00 00 00"},
      {pollFelicaPacket(0xFE00, 1), "05 20 FE 00 01"},
      {pollTypeAPacket(), "02 20"},
      {pollTypeBPacket(0x00), "03 20 00"},
      {lineSpeedPacket(), "02 F0"},
      {peerActivatePacket(2), "03 50 02"},
      {targetActivatePacket(), "02 50"},
      {peerEndPacket(), "02 51"},
      {targetReceivePacket(), "02 60"},
      {payloadPacket(hex("AA")), "03 31 AA"},
      {segmentedReadPacket(true, 2, 5, 10), "06 70 00 02 05 0A"},
      {segmentedReadPacket(false, 0, 254, 3), "06 71 00 00 FE 03"},
  };
  for (const Case& c : cases) EXPECT_EQ(hexBytes(c.packet), c.expected);
}

TEST(Requests, DetectionPacksParametersInCodeOrder) {
  DetectTechnology felica{Technology::Felica, 0xFE00, 1, 0};
  DetectTechnology a{Technology::TypeA, 0xFFFF, 0, 0};
  DetectTechnology b{Technology::TypeB, 0xFFFF, 0, 0x05};
  EXPECT_EQ(hexBytes(detectPacket({felica})), "09 21 00 10 00 00 FE 00 01");
  EXPECT_EQ(hexBytes(detectPacket({a, b})), "08 21 00 30 60 00 05 00");
  EXPECT_EQ(hexBytes(detectPacket({b, felica, a})), "0B 21 00 60 10 30 05 00 FE 00 01");
}

TEST(Requests, FelicaLayoutsFollowTheFormulae) {
  const Bytes idm = hex("01 2E 4C 10 00 00 00 01");
  const Bytes read = readFelicaPacket(idm, {0x090F}, {{0, 0}});
  EXPECT_EQ(hexBytes(read), "10 30 01 2E 4C 10 00 00 00 01 01 09 0F 01 80 00");
  // LEN = 2 (n + m) + 12 for reads, 12 + 2n + 18m for writes.
  const std::vector<BlockRef> three{{0, 1}, {1, 2}, {1, 3}};
  EXPECT_EQ(readFelicaPacket(idm, {0x0009, 0x1809}, three)[0], 2 * (2 + 3) + 12);
  const Bytes write = writeFelicaPacket(idm, {0x0009}, {{0, 0}}, Bytes(16, 0xAB));
  EXPECT_EQ(write.size(), 32u);
  EXPECT_EQ(write[0], 0x20);
  EXPECT_EQ(hexBytes(Bytes(write.begin() + 10, write.begin() + 16)), "01 00 09 01 80 00");
}

TEST(Requests, BlockListsNameServicesAndRanges) {
  std::vector<BlockRef> refs;
  std::string error;
  ASSERT_TRUE(parseBlockList("0-2,1:5", &refs, &error)) << error;
  ASSERT_EQ(refs.size(), 4u);
  EXPECT_EQ(refs[2].block, 2);
  EXPECT_EQ(refs[3].service, 1);
  EXPECT_EQ(refs[3].block, 5);
  for (const char* bad : {"", "3-1", "8:0", "x", "0-256", "0-300"}) {
    EXPECT_FALSE(parseBlockList(bad, &refs, &error)) << bad;
  }
}

TEST(Requests, FelicaLimitsByCardKind) {
  const std::vector<BlockRef> one{{0, 0}};
  const std::vector<BlockRef> four{{0, 0}, {0, 1}, {0, 2}, {0, 3}};
  const std::vector<BlockRef> five{{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}};
  EXPECT_EQ(checkFelica(1, four, true, false), "");
  EXPECT_NE(checkFelica(1, five, true, false), "");
  EXPECT_NE(checkFelica(1, four, true, true), "") << "a Lite write takes one block";
  EXPECT_NE(checkFelica(2, one, true, false), "") << "a Lite card takes one service";
  EXPECT_EQ(checkFelica(8, five, false, true), "");
  EXPECT_NE(checkFelica(9, one, false, false), "");
  EXPECT_NE(checkFelica(1, {{1, 0}}, false, false), "") << "service index beyond the list";
}

TEST(Requests, MifareRangesKeepTheTrailerAndTheResponseSize) {
  struct Case {
    int sector, block, count;
    bool write, ok;
  } cases[] = {
      {1, 0, 4, false, true},   {1, 1, 4, false, false}, {1, 0, 3, true, true},  {1, 0, 4, true, false},
      {1, 3, 1, true, false},   {39, 15, 1, false, true}, {39, 0, 16, false, false}, {39, 14, 1, true, true},
      {39, 15, 1, true, false}, {40, 0, 1, false, false}, {0, 0, 0, false, false}, {32, 0, 15, false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(checkMifare(c.sector, c.block, c.count, c.write).empty(), c.ok)
        << "sector " << c.sector << " block " << c.block << " count " << c.count << (c.write ? " write" : " read");
  }
  EXPECT_EQ(mifareFirstBlock(32), 128);
  EXPECT_EQ(mifareFirstBlock(39), 240);
}

TEST(Requests, MifareAndPagePackets) {
  const Bytes uid = hex("0A 01 3C 4D");
  const Bytes key(6, 0xFF);
  EXPECT_EQ(hexBytes(readMifarePacket(uid, key, 1, 0, 4)), "0F 30 0A 01 3C 4D FF FF FF FF FF FF 01 00 04");
  const Bytes write = writeMifarePacket(uid, key, 1, 0, Bytes(32, 0x11));
  EXPECT_EQ(write[0], 15 + 32);
  EXPECT_EQ(write[14], 2) << "block count";
  EXPECT_EQ(hexBytes(changeKeyPacket(uid, key, 2, hex("A0A1A2A3A4A5"))),
            "13 33 0A 01 3C 4D FF FF FF FF FF FF 02 A0 A1 A2 A3 A4 A5");
  const Bytes uid7 = hex("04 01 5A 6B 7C 8D 9E");
  EXPECT_EQ(hexBytes(readPagesPacket(uid7, 4, 8)), "0B 30 04 01 5A 6B 7C 8D 9E 04 08");
  // Whole groups of four pages go as 0x31, any other count as 0x32.
  EXPECT_EQ(writePagesPacket(uid7, 4, Bytes(16, 0))[1], 0x31);
  EXPECT_EQ(writePagesPacket(uid7, 4, Bytes(8, 0))[1], 0x32);
  EXPECT_EQ(writePagesPacket(uid7, 4, Bytes(8, 0))[0], 11 + 8);
  EXPECT_EQ(hexBytes(writePage3Packet(uid7, hex("01 02 03 04"))), "0E 33 04 01 5A 6B 7C 8D 9E 01 02 03 04 00");
}

TEST(Requests, PageRanges) {
  EXPECT_EQ(checkPages(4, 4, false), "");
  EXPECT_EQ(checkPages(0, 60, false), "");
  EXPECT_NE(checkPages(16, 4, false), "");
  EXPECT_NE(checkPages(4, 6, false), "") << "reads go four pages at a time";
  EXPECT_NE(checkPages(0, 64, false), "") << "more than one response holds";
  EXPECT_EQ(checkPages(12, 4, true), "");
  EXPECT_NE(checkPages(13, 4, true), "");
  EXPECT_NE(checkPages(3, 1, true), "") << "page 3 goes through 'key page'";
}

TEST(Requests, RawPacketsMustCountThemselves) {
  EXPECT_EQ(checkRawPacket(hex("07 10 11 0A 00 00 00")), "");
  EXPECT_NE(checkRawPacket(hex("07 10")), "");
  EXPECT_NE(checkRawPacket(hex("02")), "");
  EXPECT_NE(checkRawPacket(Bytes(256, 0)), "");
}

TEST(Detection, EachTechnologyAndMalformedAnswers) {
  DetectedCard c;
  ASSERT_TRUE(parseDetected(hex("10 01 2E 4C 10 00 00 00 01"), &c));
  EXPECT_EQ(c.idName, "IDm");
  ASSERT_TRUE(parseDetected(hex("31 04 01 5A 6B 7C 8D 9E"), &c));
  EXPECT_EQ(hexBytes(c.id), "04 01 5A 6B 7C 8D 9E");
  ASSERT_TRUE(parseDetected(hex("30 0A 01 3C 4D"), &c));
  EXPECT_EQ(c.code, 0x30);
  ASSERT_TRUE(parseDetected(hex("60 50 1B 01 2C 3D 00 00 00 00 00 81 71 01 00"), &c));
  EXPECT_EQ(hexBytes(c.id), "1B 01 2C 3D");
  EXPECT_EQ(hexBytes(c.extra), "00 00 00 00 00 81 71 01 00");
  for (const char* bad : {"", "10 01 02", "31 04 01", "60 50 1B", "60 51 1B 01 2C 3D 00 00 00 00 00 81 71", "77 00"}) {
    EXPECT_FALSE(parseDetected(hex(bad), &c)) << bad;
  }
}

// ---- names ----

TEST(Names, StatusBytesInWords) {
  struct Case {
    std::uint8_t status;
    const char* name;
  } cases[] = {
      {0x00, "ok"},
      {0xFF, "link failure"},
      {0xFE, "time-out"},
      {0xFD, "wrong length"},
      {0xFC, "not listed or out of range"},
      {0xF9, "FeliCa status error"},
      {0x01, "time-out at the target"},
      {0x14, "MIFARE authentication error"},
      {0x29, "released by the initiator"},
      {0x41, "time-out at the target, more information"},
      {0x3F, "controller error 0x3F"},
      {0xFA, "unknown status 0xFA"},
  };
  for (const Case& c : cases) EXPECT_EQ(statusName(c.status), c.name) << hexByte(c.status);
  EXPECT_NE(statusMeaning(0x41).find("chained"), std::string::npos);
}

TEST(Names, ResultsCodesAndSpeeds) {
  EXPECT_EQ(resultName(0), "done");
  EXPECT_EQ(resultName(2), "refused");
  EXPECT_EQ(resultName(0xFFFE), "link time-out");
  EXPECT_NE(rwResultName(0xA203).find("no Type B card"), std::string::npos);
  EXPECT_NE(rwResultName(-2).find("time-out"), std::string::npos);
  EXPECT_EQ(cardStatusName(0x8200), "card activated");
  EXPECT_EQ(lineSpeedOfCode(0x04), 115200u);
  EXPECT_EQ(lineSpeedOfCode(0x08), 1228800u);
  EXPECT_EQ(lineSpeedOfCode(0xFF), 0u);
  EXPECT_EQ(statusWordMeaning(0x90, 0x00), "success");
  EXPECT_EQ(statusWordMeaning(0x6D, 0x00), "instruction not supported");
  EXPECT_EQ(statusWordMeaning(0x61, 0x10), "16 more bytes available");
}

// ---- JSON ----

TEST(JsonOutput, EscapesAndKeepsKeyOrder) {
  Json doc = Json::object();
  doc.set("b", 1);
  doc.set("a", "line\n\"quoted\"\\");
  doc.set("raw", std::string("\x01\x80", 2));
  Json list = Json::array();
  list.push(true);
  list.push(Json());
  doc.set("list", std::move(list));
  doc.set("b", 2);  // replaces in place
  EXPECT_EQ(doc.dump(), R"({"b":2,"a":"line\n\"quoted\"\\","raw":"\u0001\u0080","list":[true,null]})");
  EXPECT_EQ(Json::object().dump(2), "{}");
  EXPECT_EQ(doc.find("b")->number(), 2);
  EXPECT_EQ(doc.find("zz"), nullptr);
}

// ---- the shell's line editor and history ----

void type(LineEditor& e, const std::string& keys) {
  for (char k : keys) e.feed(static_cast<unsigned char>(k));
}

TEST(LineEditing, CursorMovesAndEdits) {
  std::vector<std::string> none;
  LineEditor e(none);
  type(e, "infp");
  type(e, "\x7F" "o");
  EXPECT_EQ(e.line(), "info");
  type(e, "\x1b[D\x1b[D" "X");  // two left, insert
  EXPECT_EQ(e.line(), "inXfo");
  type(e, "\x1b[3~");  // delete under the cursor
  EXPECT_EQ(e.line(), "inXo");
  type(e, "\x01" "!");  // Ctrl-A, insert at the start
  EXPECT_EQ(e.line(), "!inXo");
  type(e, "\x05" "?");  // Ctrl-E
  EXPECT_EQ(e.line(), "!inXo?");
  type(e, "\x1b[H\x0B");  // Home, cut to the end
  EXPECT_EQ(e.line(), "");
  EXPECT_EQ(e.feed('\x04'), LineEditor::Event::EndOfInput);
}

TEST(LineEditing, HistoryWalkKeepsTheLineBeingTyped) {
  std::vector<std::string> history{"info", "detect"};
  LineEditor e(history);
  type(e, "se");
  type(e, "\x1b[A");
  EXPECT_EQ(e.line(), "detect");
  type(e, "\x1b[A\x1b[A");  // stops at the oldest
  EXPECT_EQ(e.line(), "info");
  type(e, "\x1b[B\x1b[B");
  EXPECT_EQ(e.line(), "se");
  EXPECT_EQ(e.feed('\r'), LineEditor::Event::Accept);
  EXPECT_EQ(e.feed('\x03'), LineEditor::Event::Cancel);
  EXPECT_EQ(e.line(), "");
}

TEST(LineEditing, UnknownSequencesAndControlBytesAreHarmless) {
  std::vector<std::string> none;
  LineEditor e(none);
  type(e, "a\x1b[99;99Z\x1bxb\x02\x1b[1234567890123456789012~c");
  EXPECT_EQ(e.line(), "abc");
  EXPECT_EQ(e.render("> "), "\r> abc\x1b[K");
  type(e, "\x1b[D");
  EXPECT_EQ(e.render("> "), "\r> abc\x1b[K\x1b[1D");
}

TEST(ShellHistory, AddsExpandsAndRefuses) {
  History h;
  std::string out;
  std::string error;
  EXPECT_FALSE(h.expand("!!", &out, &error));
  h.add("info");
  h.add("info");  // a repeat is kept once
  h.add("   ");
  h.add("detect");
  ASSERT_EQ(h.lines().size(), 2u);
  ASSERT_TRUE(h.expand("!1", &out, &error));
  EXPECT_EQ(out, "info");
  ASSERT_TRUE(h.expand("!!", &out, &error));
  EXPECT_EQ(out, "detect");
  ASSERT_TRUE(h.expand("send 02 00", &out, &error));
  EXPECT_EQ(out, "send 02 00");
  for (const char* bad : {"!3", "!0", "!x", "!99999999999"}) EXPECT_FALSE(h.expand(bad, &out, &error)) << bad;
  EXPECT_EQ(h.listing(), "   1  info\n   2  detect\n");
}


TEST(ShellWords, QuotesGroupAndBlanksSeparate) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  } cases[] = {
      {"read felica -s 090F", {"read", "felica", "-s", "090F"}},
      {"  send\t07 10  ", {"send", "07", "10"}},
      {"write page -d \"0A 0B 0C 0D\"", {"write", "page", "-d", "0A 0B 0C 0D"}},
      {"a 'b \"c\"' d", {"a", "b \"c\"", "d"}},
      {"x ''", {"x", ""}},
      {"", {}},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(splitWords(c.line, &error), c.words) << c.line;
  }
  std::string error;
  EXPECT_TRUE(splitWords("say \"unclosed", &error).empty());
  EXPECT_EQ(error, "unclosed quote");
}

// ---- friendly names of bridge ports ----

TEST(BridgeNames, OnlyTheTwoBridgesWithAWholePortNumber) {
  struct Case {
    const char* name;
    int port;
  } cases[] = {
      {"CP210x USB to UART Bridge Controller (COM3)", 3},
      {"Silicon Labs CP210x USB to UART Bridge Controller (COM12)", 12},
      {"Prolific USB-to-Serial Comm Port (COM256)", 256},
      {"Prolific USB-to-Serial Comm Port (COM257)", 0},
      {"Prolific USB-to-Serial Comm Port (COM0)", 0},
      {"CP210x USB to UART Bridge Controller (COM)", 0},
      {"CP210x USB to UART Bridge Controller (COM3", 0},
      {"CP210x USB to UART Bridge Controller (COM3x)", 0},
      {"CP210x USB to UART Bridge Controller (COM00003)", 0},
      {"USB Serial Device (COM4)", 0},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(bridgePortNumber(c.name), c.port) << c.name;
}

TEST(BridgeNames, AnyFriendlyNameEndingInAComPortNumber) {
  struct Case {
    const char* name;
    int port;
  } cases[] = {
      {"Silicon Labs CP210x USB to UART Bridge (COM5)", 5},
      {"USB Serial Device (COM4)", 4},
      {"Communications Port (COM1)", 1},
      {"Odd (COM7) device (COM256)", 256},
      {"USB Serial Device (COM257)", 0},
      {"USB Serial Device (COM0)", 0},
      {"USB Serial Device (COM4) ", 0},
      {"USB Serial Device (COM)", 0},
      {"USB Serial Device (COM4x)", 0},
      {"USB Serial Device (COM-4)", 0},
      {"Printer Port (LPT1)", 0},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(comPortNumber(c.name), c.port) << c.name;
}

// ---- names of commands and exit codes ----

TEST(Names, EveryListedCommandByteHasAName) {
  const std::vector<unsigned> listed{0x01, 0x10, 0x20, 0x21, 0x25, 0x30, 0x31, 0x32, 0x33, 0x50, 0x51, 0x60,
                                     0x70, 0x71, 0x86, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6};
  for (unsigned cmd = 0; cmd < 256; ++cmd) {
    const bool isListed = std::find(listed.begin(), listed.end(), cmd) != listed.end();
    EXPECT_EQ(!commandName(static_cast<std::uint8_t>(cmd)).empty(), isListed) << hexByte(cmd);
  }
  for (int code = kExitOk; code <= kExitInternal; ++code) EXPECT_STRNE(exitCodeName(code), "unknown");
  EXPECT_STREQ(exitCodeName(99), "unknown");
}

TEST(Names, EveryStatusByteHasWords) {
  for (unsigned s = 0; s < 256; ++s) {
    EXPECT_FALSE(statusName(static_cast<std::uint8_t>(s)).empty()) << hexByte(s);
    EXPECT_FALSE(statusMeaning(static_cast<std::uint8_t>(s)).empty()) << hexByte(s);
  }
}

// ---- what the tool records for --json ----

TEST(Recording, ExchangesAndCallsBecomeSteps) {
  Output out(true, false);
  Exchange e;
  e.request = hex("02 00");
  std::uint8_t buf[8];
  prepareResponse(0x00, buf, sizeof buf);
  const Bytes answer = hex("03 00 FC");
  std::copy(answer.begin(), answer.end(), buf);
  e.response = parseResponse(0x00, buf, sizeof buf);
  e.result = 2;
  out.exchange(e);
  Exchange silent;
  silent.request = hex("02 20");
  silent.result = 2;
  out.exchange(silent);
  out.call("RW_Open(1)", 0xA203, "no Type B card answered");
  out.fields().set("idm", "01 02");

  const Json doc = out.document("send", kExitFailed, "the reader answered 0xFC", "");
  EXPECT_FALSE(doc.find("ok")->boolean());
  EXPECT_EQ(doc.find("exit")->number(), 1);
  EXPECT_EQ(doc.find("hint"), nullptr) << "no empty hint";
  EXPECT_EQ(doc.find("result")->find("idm")->string(), "01 02");
  const Json& steps = *doc.find("steps");
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps.at(0).find("command")->string(), "02 00");
  EXPECT_EQ(steps.at(0).find("response")->string(), "03 00 FC");
  EXPECT_EQ(steps.at(0).find("status_name")->string(), "not listed or out of range");
  EXPECT_EQ(steps.at(0).find("result_name")->string(), "refused");
  EXPECT_EQ(steps.at(1).find("response")->kind(), Json::Kind::Null) << "no response written";
  EXPECT_EQ(steps.at(1).find("status"), nullptr);
  EXPECT_EQ(steps.at(2).find("code")->number(), 0xA203);

  const Json taken = out.takeFields();
  EXPECT_EQ(taken.find("idm")->string(), "01 02");
  EXPECT_EQ(out.document("x", 0, "", "").find("result"), nullptr) << "taken fields start afresh";
  out.reset();
  EXPECT_EQ(out.document("x", 0, "", "").find("steps")->size(), 0u);
}

TEST(Recording, FailureCarriesExitAndHint) {
  const Failure f(kExitNoReader, "no reader found on any CP210x or PL2303 port", "try --port N or --sim");
  EXPECT_EQ(f.exit, 3);
  EXPECT_STREQ(f.what(), "no reader found on any CP210x or PL2303 port");
  EXPECT_EQ(f.hint, "try --port N or --sim");
  EXPECT_EQ(describeStatus(0xFE), "0xFE time-out");
}

}  // namespace
}  // namespace pelvtool
