// What a general PN532 client sends and what the simulated controller answers,
// frame in, frame out, one table per card technology: known-UID selection,
// card commands through InCommunicateThru, ISO/IEC 14443-4 blocks, FeliCa
// commands and the Lite's blocks, DEP peers found by polling, the frame-by-frame
// target commands and the registers a client reads back.
#include "sim_wire.h"

namespace simtest {
namespace {

// Command and answer payloads; the whole wire is checked: the host frame in,
// the ACK and one answer frame out ("" for the syntax error frame).
struct Wire {
  const char* in;
  const char* out;
};

void expectWire(Host& h, const std::vector<Wire>& table) {
  for (const Wire& w : table) {
    const Bytes expected = std::string(w.out).empty() ? cat(ACK(), errorFrame()) : cat(ACK(), answer(hex(w.out)));
    EXPECT_BYTES(expected, h.send(hex(w.in))) << "after " << w.in;
  }
}

// The page card: UID 04 01 5A 6B 7C 8D 9E, page p >= 4 holding 4p .. 4p+3.
TEST(SimRawFrames, TypeAKnownUidSelectionPageCommandsAndFifo) {
  Host h;
  h.c.field().page.push_back(pelvsim::PageCard::make());
  expectWire(h, {
      {"4A 01 00 04 01 5A 6B 7C 8D 9E", "4B 00"},        // a bare 7-byte UID is no cascade level
      {"06 63 3A 63 39 63 3A", "07 01 26 00"},            // the FIFO still holds REQA
      {"4A 01 00 88 04 01 5A", "4B 00"},                  // CL1 alone names no card
      {"4A 01 00 88 04 01 5A 6B 7C 8D 9E", "4B 01 01 00 44 00 07 04 01 5A 6B 7C 8D 9E"},
      {"42 30 04", "43 00 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F"},
      {"42 A2 05 DE AD BE EF", "43 02"},                  // the 4-bit ACK fails the CRC check
      {"08 63 03 00", "09"},                              // RxCRC off, as clients do for Type 2 tags
      {"42 A2 04 01 02 03 04", "43 00 0A"},
      {"06 63 3C", "07 04"},                              // RxLastBits: 4
      {"42 30 05", "43 00 DE AD BE EF 18 19 1A 1B 1C 1D 1E 1F 20 21 22 23 08 FD"},
      {"42 A0 06", "43 00 0A"},                           // COMPATIBILITY WRITE, then its 16 bytes
      {"42 A1 A2 A3 A4 00 00 00 00 00 00 00 00 00 00 00 00", "43 00 0A"},
      {"42 A2 02 00 00 80 00", "43 00 0A"},               // lock bit of page 7
      {"42 A2 07 00 00 00 00", "43 00 00"},               // NAK 0: locked; the card goes idle
      {"42 30 04", "43 01"},
      {"4A 01 00", "4B 01 01 00 44 00 07 04 01 5A 6B 7C 8D 9E"},
      {"08 63 03 00", "09"},                              // a poll sets RxCRC again
      {"42 30 10", "43 00 00"},                           // no page 16: NAK 0
      {"4A 01 00", "4B 01 01 00 44 00 07 04 01 5A 6B 7C 8D 9E"},
      {"42 60", "43 01"},                                 // no GET_VERSION: silence, idle
      {"42 30 04", "43 01"},
      {"42", "43 01"},                                    // no data: the controller only listens
  });
  const auto& pages = h.c.field().page[0].pages;
  EXPECT_BYTES(hex("A1 A2 A3 A4"), Bytes(pages[6].begin(), pages[6].end()));
  EXPECT_BYTES(hex("01 02 03 04"), Bytes(pages[4].begin(), pages[4].end()));

  h.c.field().page[0].version = hex("00 04 03 01 01 00 0B 03");
  h.c.field().typeA.push_back(pelvsim::TypeACard::withUid(10));
  expectWire(h, {
      {"4A 01 00 88 04 01 01 88 02 03 04 05 06 07 08", "4B 01 01 00 84 00 0A 04 01 01 02 03 04 05 06 07 08"},
      {"4A 01 00", "4B 01 01 00 44 00 07 04 01 5A 6B 7C 8D 9E"},
      {"42 60", "43 00 00 04 03 01 01 00 0B 03"},
      {"08 63 02 00 63 03 00", "09"},                     // TxCRC off: the host's CRC
      {"42 30 04 00 00", "43 00 01"},                     // a wrong one: NAK 1
  });
}

// The default Type B card: PUPI 1B 01 2C 3D, FSC 256, CID supported.
TEST(SimRawFrames, TypeBIsoDepBlocksAfterAttrib) {
  Host h;
  h.c.field().typeB.push_back(pelvsim::TypeBCard::make());
  const std::string atqb = "50 1B 01 2C 3D 00 00 00 00 00 81 71";
  expectWire(h, {
      {"4A 01 03", ""},                                         // InitiatorData: the AFI is needed
      {"4A 01 03 00 02", ""},                                   // polling method 00 or 01
      {"06 63 04", "07 80"},                                    // CIU_TxControl: the field is off
      {"4A 01 03 00", ("4B 01 01 " + atqb + " 01 00").c_str()},  // ATTRIB_RES: CID 0
      {"06 63 04", "07 83"},
      {"40 01 00 A4 04 00 02 3F 00", "41 00 90 00"},            // the controller's I(0): next is I(1)
      {"42 03 00 A4 04 00 02 3F 00", "43 00 03 90 00"},
      {"42 02 00 A4 04 00 02 3F 00", "43 00 02 90 00"},          // I(0) SELECT -> I(0)
      {"42 03 00 B0 00 10 01", "43 00 03 73 90 00"},            // I(1) READ BINARY
      {"42 A3", "43 00 03 73 90 00"},                           // R(ACK) of its number: again
      {"42 B2", "43 00 A3"},                                    // R(NAK) of the other: R(ACK)
      {"42 C2", "43 00 C2"},                                    // S(DESELECT): halted
      {"42 02 00 A4 00 00", "43 01"},
      {"42 05 00 00", "43 01"},
      {"42 05 00 08", ("43 00 " + atqb).c_str()},               // WUPB
      {"42 1D 1B 01 2C 3D 00 00 01 03", "43 00 03"},            // ATTRIB: FSD 16, CID 3
      {"42 02 00 A4 00 00", "43 01"},                           // no CID: not for CID 3
      {"42 0A 03 00 B0 00 00 16", "43 00 1A 03 03 0A 11 18 1F 26 2D 34 3B 42 49 50"},
      {"42 AB 03", "43 00 0B 03 57 5E 65 6C 73 7A 81 88 8F 96 90 00"},  // R(ACK): the rest
      {"42 AB 03", "43 00 0B 03 57 5E 65 6C 73 7A 81 88 8F 96 90 00"},  // again: the same block
      {"42 1A 03 00 A4", "43 00 AA 03"},                        // chained I-block: R(ACK)
      {"42 0B 03 00 00", "43 00 0B 03 90 00"},
      {"42 CA 03", "43 00 CA 03"},
  });
  h.c.field().typeB[0].wtxRequests = 1;
  h.c.field().typeB[0].protocolInfo[2] = 0x70;  // no CID support
  expectWire(h, {
      {"42 05 00 08", "43 00 50 1B 01 2C 3D 00 00 00 00 00 81 70"},
      {"42 1D 1B 01 2C 3D 00 08 01 05", "43 00 00"},            // CID 5 asked, 0 answered
      {"42 0A 05 00 A4 00 00", "43 01"},                        // blocks with CID: ignored
      {"42 02 00 A4 00 00", "43 00 F2 01"},                     // S(WTX) request first
      {"42 F2 01", "43 00 02 90 00"},
  });
  EXPECT_EQ(7u, h.c.field().typeB[0].apdus.size());
}

// A FeliCa Standard card (system code 0003; services 0009, 090F, 1809) and a Lite.
TEST(SimRawFrames, FelicaCommandsAndLiteBlocks) {
  Host h;
  h.c.field().felica.push_back(pelvsim::FelicaCard::standard());
  const std::string idm = " 01 2E 4C 10 00 00 00 01";
  expectWire(h, {
      {"4A 01 01 00 FF FF 00 00", "4B 01 01 12 01 01 2E 4C 10 00 00 00 01 03 01 4B 02 4F 49 93 FF"},
      {"42 06 00 FF FF 01 00", ("43 00 14 01" + idm + " 03 01 4B 02 4F 49 93 FF 00 03").c_str()},
      {("42 0A 04" + idm).c_str(), ("43 00 0B 05" + idm + " 00").c_str()},
      {("42 0A 0C" + idm).c_str(), ("43 00 0D 0D" + idm + " 01 00 03").c_str()},
      {("42 0C 0A" + idm + " 00 00").c_str(), ("43 00 0E 0B" + idm + " 00 00 FE FF").c_str()},
      {("42 0C 0A" + idm + " 02 00").c_str(), ("43 00 0C 0B" + idm + " 0F 09").c_str()},
      {("42 0C 0A" + idm + " 04 00").c_str(), ("43 00 0C 0B" + idm + " FF FF").c_str()},
      {("42 0D 02" + idm + " 01 0F 09").c_str(), ("43 00 0D 03" + idm + " 01 00 00").c_str()},
      {("42 10 06" + idm + " 01 09 00 01 80 00").c_str(),
       ("43 00 1D 07" + idm + " 00 00 01 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10").c_str()},
      {("42 0A 20" + idm).c_str(), "43 01"},
  });

  h.c.field().felica.clear();
  h.c.field().felica.push_back(pelvsim::FelicaCard::lite());
  const std::string lite = " 01 2E 5C 10 00 00 00 01";
  const std::string zeros12 = " 00 00 00 00 00 00 00 00 00 00 00 00";
  auto readBlock = [&](const char* block) { return "42 10 06" + lite + " 01 0B 00 01 80 " + block; };
  auto writeBlock = [&](const char* block, const std::string& data) {
    return "42 20 08" + lite + " 01 09 00 01 80 " + block + " " + data;
  };
  const std::string refused = "43 00 0C 09" + lite + " 01 A8";
  expectWire(h, {
      {"4A 01 01 00 88 B4 00 00", ("4B 01 01 12 01" + lite + " 00 F0 00 00 00 01 43 00").c_str()},
      {("42 0A 04" + lite).c_str(), "43 01"},                   // Lite: Read and Write only
      {readBlock("83").c_str(), ("43 00 1D 07" + lite + " 00 00 01" + lite + " 00 F0 00 00 00 01 43 00").c_str()},
      {readBlock("85").c_str(), ("43 00 1D 07" + lite + " 00 00 01 88 B4 00 00" + zeros12).c_str()},
      {readBlock("87").c_str(), ("43 00 0C 07" + lite + " 01 A8").c_str()},  // CK: write only
      {writeBlock("83", "00 00 00 00" + zeros12).c_str(), refused.c_str()},     // D_ID: read only
      {writeBlock("82", "01 2E 5C 10 00 00 00 02" + std::string(" 00 00 00 00 00 00 00 00")).c_str(),
       refused.c_str()},                                                         // IDd is fixed
      {writeBlock("88", "FE FF FF 00" + zeros12).c_str(), ("43 00 0C 09" + lite + " 00 00").c_str()},
      {writeBlock("00", "00 00 00 00" + zeros12).c_str(), refused.c_str()},     // block 0 now read only
      {writeBlock("88", "FF FF FF 00" + zeros12).c_str(), refused.c_str()},     // MC bits stay cleared
      {writeBlock("01", "00 00 00 00" + zeros12).c_str(), ("43 00 0C 09" + lite + " 00 00").c_str()},
  });
}

TEST(SimRawFrames, DepPeerFoundByPollingThenActivatedByInAtr) {
  Host h;
  h.c.field().peer = pelvsim::DepPeer{};
  const std::string atrRes = "11 22 33 44 55 66 77 88 99 AA 00 00 00 0E 30";
  expectWire(h, {
      {"4A 01 00", "4B 01 01 00 04 40 04 08 3A 5B 7C"},         // SEL_RES bit 6
      {"40 01 AB CD", "41 01"},                                 // no DEP before InATR
      {"4E 01 02 02", "4F 27"},
      {"50 01 02", ""},                                         // Gi announced, none given
      {"50 01 00", ("51 00 " + atrRes).c_str()},
      {"40 01 AB CD", "41 00 AB CD"},
      {"4E 01 02 02", "4F 00"},
      {"4A 01 02 00 FF FF 00 00", "4B 01 01 12 01 01 FE A1 A2 A3 A4 A5 A6 C0 C1 C2 C3 C4 C5 C6 C7"},
      {"4A 01 01 00 12 FC 00 00", "4B 00"},                     // NFC-DEP answers system code FFFF
      {"46 01 02 00", ("47 00 01 " + atrRes).c_str()},          // InJumpForPSL
  });
  Host card;
  card.c.field().mifare.push_back(pelvsim::MifareClassicCard::make1k());
  expectWire(card, {{"4A 01 00", "4B 01 01 00 04 08 04 0A 01 3C 4D"}, {"50 01 00", "51 01"}, {"50 02 00", "51 27"}});
}

const char* const kInitAsTarget =
    "8C 04 08 00 12 34 56 40 01 FE A2 A3 A4 A5 A6 A7 C0 C1 C2 C3 C4 C5 C6 C7 FF FF "
    "AA 99 88 77 66 55 44 33 22 11 00 00";
const char* const kActivated = "8D 04 11 D4 00 01 02 03 04 05 06 07 08 09 0A 00 00 00 32";

TEST(SimRawFrames, TargetAnswersTheAtrReqItselfOrFrameByFrame) {
  Host h;
  h.c.field().initiator = pelvsim::Initiator{};
  h.c.field().initiator->toSend.push_back(hex("A1 A2"));
  expectWire(h, {
      {"12 10", "13"},                                         // fAutomaticATR_RES clear
      {kInitAsTarget, kActivated},
      {"86", "87 27"},                                         // no ATR_RES yet
      {"88", "89 27"},
      {"90 12 D5 01 AA 99 88 77 66 55 44 33 22 11 00 00 00 0E 30", "91 00"},
      {"88", "89 00 06 D4 06 00 A1 A2"},                       // DEP_REQ, PNI 0
      {"90 06 D5 07 00 B1 B2", "91 00"},
      {"88", "89 00 03 D4 0A"},                                // RLS_REQ
      {"90 03 D5 0B", "91 00"},
      {"88", "89 27"},
  });
  ASSERT_EQ(1u, h.c.field().initiator->received.size());
  EXPECT_BYTES(hex("B1 B2"), h.c.field().initiator->received[0]);

  h.c.field().initiator->toSend.push_back(hex("C1"));
  expectWire(h, {
      {kInitAsTarget, kActivated},
      {"92 46 66 6D", "93 00"},                                // the controller sends ATR_RES
      {"86", "87 00 C1"},
      {"94 01 02", "95 00"},                                   // MI: more follows
      {"8E 03", "8F 00"},
      {"92", "93 27"},
  });
  EXPECT_BYTES(hex("01 02 03"), h.c.field().initiator->received.back());

  // A payload longer than one frame comes in parts flagged MI (PFB 10).
  h.c.field().initiator->toSend.push_back(Bytes(300, 0x5A));
  expectWire(h, {{kInitAsTarget, kActivated}, {"90 12 D5 01 AA 99 88 77 66 55 44 33 22 11 00 00 00 0E 30", "91 00"}});
  EXPECT_BYTES(cat(hex("89 00 FF D4 06 10"), Bytes(251, 0x5A)), h.ask(hex("88")));
  EXPECT_BYTES(cat(hex("89 00 35 D4 06 01"), Bytes(49, 0x5A)), h.ask(hex("88")));
}

}  // namespace
}  // namespace simtest
