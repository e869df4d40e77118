// The cards in the simulated field: polling answers, card commands through
// InDataExchange, and data that persist.
#include "sim_wire.h"

namespace simtest {
namespace {

using pelvsim::FelicaCard;
using pelvsim::MifareClassicCard;
using pelvsim::PageCard;
using pelvsim::TypeACard;
using pelvsim::TypeBCard;

Bytes idmOf(const FelicaCard& c) { return Bytes(c.idm.begin(), c.idm.end()); }

// ---- FeliCa ----

struct Poll {
  const char* name;
  const char* payload;
  bool found;
};

class SimFelicaPolling : public ::testing::TestWithParam<Poll> {};

TEST_P(SimFelicaPolling, MatchesSystemCodeWithWildcards) {
  Host h;
  h.c.field().felica.push_back(FelicaCard::lite());  // system code 88B4
  const Bytes a = h.ask(hex(GetParam().payload));
  ASSERT_GE(a.size(), 2u);
  EXPECT_EQ(GetParam().found ? 1 : 0, a[1]) << toHex(a);
}

INSTANTIATE_TEST_SUITE_P(
    SystemCodes, SimFelicaPolling,
    ::testing::Values(Poll{"wildcard", "4A 01 01 00 FF FF 00 00", true},
                      Poll{"exact", "4A 01 01 00 88 B4 00 00", true},
                      Poll{"highWildcard", "4A 01 01 00 FF B4 00 00", true},
                      Poll{"otherCode", "4A 01 01 00 00 03 00 00", false},
                      Poll{"notPollingCommand", "4A 01 01 02 FF FF 00 00", false},
                      Poll{"liteAt424", "4A 01 02 00 FF FF 00 00", false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SimFelica, PollingAnswerCarriesIdmPmmAndOnRequestTheSystemCode) {
  Host h;
  h.c.field().felica.push_back(FelicaCard::standard());
  const FelicaCard& c = h.c.field().felica[0];
  Bytes expected = hex("4B 01 01 12 01");
  expected = cat(cat(expected, idmOf(c)), Bytes(c.pmm.begin(), c.pmm.end()));
  EXPECT_BYTES(expected, h.ask(hex("4A 01 01 00 FF FF 00 00")));
  expected[3] = 0x14;
  EXPECT_BYTES(cat(expected, hex("00 03")), h.ask(hex("4A 01 01 00 FF FF 01 00")));
}

TEST(SimFelica, CardAnswersOnlyFromItsTimeSlotOn) {
  Host h;
  h.c.field().felica.push_back(FelicaCard::standard());
  h.c.field().felica[0].timeSlot = 2;
  EXPECT_EQ(0, h.ask(hex("4A 01 01 00 FF FF 00 01"))[1]);
  EXPECT_EQ(1, h.ask(hex("4A 01 01 00 FF FF 00 03"))[1]);
}

// Read Without Encryption of service 0x0009 (sent 09 00), one two-byte block element.
Bytes felicaRead(const Bytes& idm, const char* services, const char* blocks) {
  Bytes body = cat(cat(hex("06"), idm), cat(hex(services), hex(blocks)));
  Bytes cmdBytes = hex("40 01");
  cmdBytes.push_back(static_cast<std::uint8_t>(body.size() + 1));
  return cat(cmdBytes, body);
}

TEST(SimFelica, WrittenBlockPersistsAndReadsBack) {
  Host h;
  h.c.field().felica.push_back(FelicaCard::standard());
  const Bytes idm = idmOf(h.c.field().felica[0]);
  ASSERT_EQ(1, h.ask(hex("4A 01 01 00 FF FF 00 00"))[1]);
  Bytes data(16);
  for (std::size_t k = 0; k < 16; ++k) data[k] = static_cast<std::uint8_t>(0xC0 + k);
  Bytes body = cat(cat(cat(hex("08"), idm), hex("01 09 00 01 80 03")), data);
  Bytes write = hex("40 01");
  write.push_back(static_cast<std::uint8_t>(body.size() + 1));
  EXPECT_BYTES(cat(cat(hex("41 00 0C 09"), idm), hex("00 00")), h.ask(cat(write, body)));
  const Bytes a = h.ask(felicaRead(idm, "01 09 00", "01 80 03"));
  EXPECT_BYTES(cat(cat(cat(hex("41 00 1D 07"), idm), hex("00 00 01")), data), a);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), h.c.field().felica[0].services[0].blocks[3].begin()));
  // The read-only code of the same service (000B) reads the same block.
  EXPECT_BYTES(a, h.ask(felicaRead(idm, "01 0B 00", "01 80 03")));
}

struct FelicaError {
  const char* name;
  const char* services;
  const char* blocks;
  const char* flags;
};

class SimFelicaErrors : public ::testing::TestWithParam<FelicaError> {};

TEST_P(SimFelicaErrors, AnswerStatusFlagsWithoutData) {
  Host h;
  h.c.field().felica.push_back(FelicaCard::standard());
  const Bytes idm = idmOf(h.c.field().felica[0]);
  h.ask(hex("4A 01 01 00 FF FF 00 00"));
  const Bytes a = h.ask(felicaRead(idm, GetParam().services, GetParam().blocks));
  EXPECT_BYTES(cat(cat(hex("41 00 0C 07"), idm), hex(GetParam().flags)), a);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, SimFelicaErrors,
    ::testing::Values(FelicaError{"blockBeyondService", "01 0F 09", "01 80 0A", "01 A8"},
                      FelicaError{"unknownService", "01 CB 10", "01 80 00", "01 A6"},
                      FelicaError{"serviceIndexBeyondList", "01 09 00", "01 81 00", "01 A3"},
                      FelicaError{"noServices", "00", "01 80 00", "FF A1"},
                      FelicaError{"noBlocks", "01 09 00", "00", "FF A2"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SimFelica, WriteToReadOnlyServiceIsRefusedAndChangesNothing) {
  Host h;
  h.c.field().felica.push_back(FelicaCard::standard());
  const Bytes idm = idmOf(h.c.field().felica[0]);
  h.ask(hex("4A 01 01 00 FF FF 00 00"));
  const auto before = h.c.field().felica[0].services[1].blocks[0];
  Bytes body = cat(cat(cat(hex("08"), idm), hex("01 0F 09 01 80 00")), Bytes(16, 0xEE));
  Bytes write = hex("40 01");
  write.push_back(static_cast<std::uint8_t>(body.size() + 1));
  EXPECT_BYTES(cat(cat(hex("41 00 0C 09"), idm), hex("01 A9")), h.ask(cat(write, body)));
  EXPECT_TRUE(before == h.c.field().felica[0].services[1].blocks[0]);
}

TEST(SimFelica, CommandForAnotherIdmOrWithWrongLengthGetsNoCardAnswer) {
  Host h;
  h.c.field().felica.push_back(FelicaCard::standard());
  h.ask(hex("4A 01 01 00 FF FF 00 00"));
  EXPECT_BYTES(hex("41 01"), h.ask(felicaRead(hex("01 02 03 04 05 06 07 08"), "01 09 00", "01 80 00")));
  Bytes bad = felicaRead(idmOf(h.c.field().felica[0]), "01 09 00", "01 80 00");
  bad[2]++;
  EXPECT_BYTES(hex("41 01"), h.ask(bad));
}

// ---- Type A ----

TEST(SimTypeA, PollingReportsSensResSelResAndUidOfEachLength) {
  const std::pair<std::size_t, const char*> table[] = {
      {4, "4B 01 01 00 04 00 04 08 01 00 00"},
      {7, "4B 01 01 00 44 00 07 04 01 01 02 03 04 05"},
      {10, "4B 01 01 00 84 00 0A 04 01 01 02 03 04 05 06 07 08"},
  };
  for (const auto& row : table) {
    Host h;
    h.c.field().typeA.push_back(TypeACard::withUid(row.first));
    EXPECT_BYTES(hex(row.second), h.ask(hex("4A 01 00"))) << row.first << "-byte UID";
  }
}

TEST(SimTypeA, DeselectedCardSleepsUntilTheFieldGoesOff) {
  Host h;
  h.c.field().mifare.push_back(MifareClassicCard::make1k());
  h.c.field().page.push_back(PageCard::make());
  EXPECT_EQ(0x04, h.ask(hex("4A 01 00"))[6]) << "MIFARE card first";
  h.ask(hex("44 00"));
  EXPECT_EQ(0x07, h.ask(hex("4A 01 00"))[6]) << "then the page card";
  h.ask(hex("44 00"));
  EXPECT_BYTES(hex("4B 00"), h.ask(hex("4A 01 00")));
  h.ask(hex("32 01 00"));
  EXPECT_EQ(1, h.ask(hex("4A 01 00"))[1]);
}

// Payloads and the answers expected, sent in order to one controller.
struct Step {
  const char* send;
  const char* expect;
};

void runSteps(Host& h, const std::vector<Step>& steps) {
  for (const Step& s : steps) EXPECT_BYTES(hex(s.expect), h.ask(hex(s.send))) << s.send;
}

// REQA, anticollision, select and HLTA by hand (UID 0A 01 3C 4D, BCC 7A), shaped
// by the registers a client writes: CIU_TxMode / RxMode 63 02 / 63 03 (CRC),
// ManualRCV 63 0D (parity), BitFraming 63 3D (TxLastBits), Control 63 3C (RxLastBits).
TEST(SimTypeA, RawFramesFollowTheIso14443StateMachine) {
  Host h;
  h.c.field().mifare.push_back(MifareClassicCard::make1k());
  runSteps(h, {
      {"08 63 0D 10 63 3D 07", "09"},  // parity off: the host's bytes are the bit stream
      {"42 26", "43 00 04 00 02"},     // REQA -> ATQA 04 00 with its parity bits, 18 bits
      {"06 63 3C", "07 02"},
      {"08 63 0D 00 63 3D 00", "09"},
      {"42 93 20", "43 00 0A 01 3C 4D 7A"},
      {"42 93 70 0A 01 3C 4D 7A 41 80", "43 00 08 B6 DD"},  // SELECT -> SAK 08, CRC_A
      {"42 50 00 57 CD", "43 01"},                          // HLTA: halt, no answer
      {"4A 01 00", "4B 00"},                                // a halted card ignores polls
      {"08 63 02 00 63 03 00 63 3D 07", "09"},
      {"42 26", "43 01"},                                   // and REQA
      {"42 52", "43 00 04 00"},                             // WUPA wakes it
      {"08 63 3D 00", "09"},
      {"42 95 20", "43 01"},                                // wrong level: back to halt
      {"32 01 00", "33"},                                   // the field off: idle
      {"4A 01 00", "4B 01 01 00 04 08 04 0A 01 3C 4D"},
      {"40 01 60 04 FF FF FF FF FF FF 0A 01 3C 4D", "41 00"},
      {"42 50 00", "43 01"},                                // HLTA, CRC by the controller
      {"40 01 30 04", "41 01"},                             // the sector closed with it
  });
}

TEST(SimTypeA, PageNdefCardHoldsCapabilityContainerAndNdefTlv) {
  Host h;
  h.c.field().page.push_back(PageCard::ndef());
  ASSERT_EQ(1, h.ask(hex("4A 01 00"))[1]);
  EXPECT_BYTES(hex("41 00 E1 10 06 00 03 24 D1 01 20 54 02 65 6E 48 65 6C"), h.ask(hex("40 01 30 03")));
}

TEST(SimTypeA, TwoTargetsAreListedWhenAskedFor) {
  Host h;
  h.c.field().mifare.push_back(MifareClassicCard::make1k());
  h.c.field().typeA.push_back(TypeACard::withUid(7));
  const Bytes a = h.ask(hex("4A 02 00"));
  ASSERT_GE(a.size(), 3u);
  EXPECT_EQ(2, a[1]);
}

// ---- MIFARE Classic ----

const Bytes kKeyA = hex(kFactoryKey);

struct Mifare : ::testing::Test {
  Host h;
  Bytes uid;
  void SetUp() override { use(MifareClassicCard::make1k()); }
  void use(MifareClassicCard card) {
    h.c.field().mifare.clear();
    h.c.field().mifare.push_back(std::move(card));
    uid.assign(h.c.field().mifare[0].uid.begin(), h.c.field().mifare[0].uid.end());
    ASSERT_EQ(1, h.ask(hex("4A 01 00"))[1]);
  }
  std::uint8_t auth(int block, const Bytes& key, const Bytes& id) {
    Bytes p = hex("40 01 60");
    p.push_back(static_cast<std::uint8_t>(block));
    return h.ask(cat(cat(p, key), id))[1];
  }
  Bytes readBlock(int block) {
    Bytes p = hex("40 01 30");
    p.push_back(static_cast<std::uint8_t>(block));
    return h.ask(p);
  }
  std::uint8_t write(int block, const Bytes& data) {
    Bytes p = hex("40 01 A0");
    p.push_back(static_cast<std::uint8_t>(block));
    return h.ask(cat(p, data))[1];
  }
};

TEST_F(Mifare, AuthenticationChecksKeyAndUidAndAFailureLeavesTheCardIdle) {
  EXPECT_EQ(0x00, auth(4, kKeyA, uid));
  const std::pair<Bytes, Bytes> refused[] = {
      {hex("FF FF FF FF FF FE"), uid}, {kKeyA, hex("01 02 03 04")}};
  for (const auto& row : refused) {
    EXPECT_EQ(0x14, auth(4, row.first, row.second));
    EXPECT_EQ(0x01, auth(4, kKeyA, uid)) << "the card is idle until polled again";
    ASSERT_EQ(1, h.ask(hex("4A 01 00"))[1]);
  }
  EXPECT_EQ(0x14, auth(64, kKeyA, uid)) << "a 1K card has no block 64";
}

TEST_F(Mifare, ReadAndWriteWorkOnlyInTheAuthenticatedSector) {
  EXPECT_EQ(0x14, readBlock(4)[1]) << "not authenticated yet";
  ASSERT_EQ(0x00, auth(4, kKeyA, uid));
  const Bytes a = readBlock(5);
  ASSERT_EQ(18u, a.size());
  EXPECT_EQ(0x00, a[1]);
  EXPECT_EQ(5, a[2]);  // block 5 holds 5, 6, 7, ...
  EXPECT_EQ(0x14, readBlock(8)[1]) << "sector 2 is not open";
  EXPECT_EQ(0x14, readBlock(5)[1]) << "a refusal closes the sector";
}

TEST_F(Mifare, WrittenBlockPersistsAcrossReselection) {
  const Bytes data = hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
  ASSERT_EQ(0x00, auth(6, kKeyA, uid));
  EXPECT_EQ(0x00, write(6, data));
  h.ask(hex("32 01 00"));
  ASSERT_EQ(1, h.ask(hex("4A 01 00"))[1]);
  ASSERT_EQ(0x00, auth(6, kKeyA, uid));
  EXPECT_BYTES(cat(hex("41 00"), data), readBlock(6));
}

TEST_F(Mifare, TrailerReadsWithKeyAHiddenAndNewKeyATakesEffectAtNextAuthentication) {
  ASSERT_EQ(0x00, auth(7, kKeyA, uid));
  Bytes trailer = readBlock(7);
  EXPECT_BYTES(hex("41 00 00 00 00 00 00 00 FF 07 80 69 FF FF FF FF FF FF"), trailer);
  const Bytes newKey = hex(kNewKey);
  Bytes written = cat(newKey, Bytes(trailer.begin() + 8, trailer.end()));
  EXPECT_EQ(0x00, write(7, written));
  EXPECT_EQ(0x00, readBlock(6)[1]) << "the open sector stays open";
  EXPECT_EQ(0x14, auth(4, kKeyA, uid));
  ASSERT_EQ(1, h.ask(hex("4A 01 00"))[1]);
  EXPECT_EQ(0x00, auth(4, newKey, uid));
  const auto stored = h.c.field().mifare[0].keyA(1);
  EXPECT_BYTES(newKey, Bytes(stored.begin(), stored.end()));
}

TEST_F(Mifare, ManufacturerBlockIsReadOnly) {
  ASSERT_EQ(0x00, auth(0, kKeyA, uid));
  EXPECT_EQ(0x14, write(0, Bytes(16, 0x00)));
}

TEST_F(Mifare, FourKLargeSectorsHoldSixteenBlocks) {
  use(MifareClassicCard::make4k());
  ASSERT_EQ(0x00, auth(255, kKeyA, uid));  // sector 39's trailer
  EXPECT_EQ(0x00, readBlock(240)[1]);
  EXPECT_EQ(0x14, readBlock(239)[1]) << "block 239 is in sector 38";
  ASSERT_EQ(0x00, auth(128, kKeyA, uid));
  EXPECT_EQ(0x00, write(142, Bytes(16, 0x42)));
  EXPECT_EQ(0x42, h.c.field().mifare[0].blocks[142][0]);
  EXPECT_EQ(32, MifareClassicCard::sectorOf(142));
  EXPECT_EQ(143, MifareClassicCard::trailerOf(32));
}

// ---- the 7-byte-UID page card ----

struct Pages : ::testing::Test {
  Host h;
  Bytes uid;
  void SetUp() override {
    h.c.field().page.push_back(PageCard::make());
    uid.assign(h.c.field().page[0].uid.begin(), h.c.field().page[0].uid.end());
    ASSERT_EQ(1, h.ask(hex("4A 01 00"))[1]);
  }
  std::uint8_t prepare(const char* fifth, const Bytes& id) {
    return h.ask(cat(hex(std::string("40 01 60 00 ") + fifth + " 3E 91 C7 0B 5D A4"), id))[1];
  }
};

TEST_F(Pages, PreparatoryExchangeChecksTheIdentifier) {
  EXPECT_EQ(0x00, prepare("04", uid));
  EXPECT_EQ(0x00, prepare("00", uid));
  EXPECT_EQ(0x14, prepare("04", hex("04 01 5A 6B 7C 8D 9F")));
  EXPECT_EQ(0x14, prepare("05", uid));
}

TEST_F(Pages, ReadOfFourPagesWrapsAtSixteen) {
  const Bytes a = h.ask(hex("40 01 30 0E"));
  ASSERT_EQ(18u, a.size());
  EXPECT_BYTES(hex("41 00 38 39 3A 3B 3C 3D 3E 3F"), Bytes(a.begin(), a.begin() + 10));
  EXPECT_BYTES(Bytes(uid.begin(), uid.begin() + 3), Bytes(a.begin() + 10, a.begin() + 13)) << "page 0";
  EXPECT_BYTES(hex("41 01"), h.ask(hex("40 01 30 10")));
}

TEST_F(Pages, WritesPersistAndPageThreeIsOneTimeProgrammable) {
  EXPECT_BYTES(hex("41 00"), h.ask(hex("40 01 A2 05 DE AD BE EF")));
  const Bytes a = h.ask(hex("40 01 30 05"));
  EXPECT_BYTES(hex("41 00 DE AD BE EF"), Bytes(a.begin(), a.begin() + 6));
  h.ask(hex("40 01 A2 03 0F 00 00 01"));
  h.ask(hex("40 01 A2 03 F0 00 00 00"));
  EXPECT_EQ(0xFF, h.c.field().page[0].pages[3][0]);
  EXPECT_EQ(0x01, h.c.field().page[0].pages[3][3]);
  EXPECT_BYTES(hex("41 01"), h.ask(hex("40 01 A2 01 00 00 00 00"))) << "the UID pages are read-only";
}

// ---- Type B ----

TEST(SimTypeB, PollingAnswersAtqbAndAttribResForMatchingAfi) {
  Host h;
  h.c.field().typeB.push_back(TypeBCard::make());
  h.c.field().typeB[0].afi = 0x21;
  const Bytes atqb = hex("50 1B 01 2C 3D 00 00 00 00 00 81 71");
  EXPECT_BYTES(cat(cat(hex("4B 01 01"), atqb), hex("01 00")), h.ask(hex("4A 01 03 00")));
  const std::pair<const char*, int> afis[] = {{"20", 1}, {"21", 1}, {"22", 0}, {"30", 0}};
  for (const auto& row : afis) {
    h.ask(hex("32 01 00"));  // the card found last is active until the field cycles
    EXPECT_EQ(row.second, h.ask(hex(std::string("4A 01 03 ") + row.first))[1]) << "AFI " << row.first;
  }
}

TEST(SimTypeB, CardFollowsTheIso14443StateMachine) {
  Host h;
  EXPECT_BYTES(hex("43 01"), h.ask(hex("42 05 00 08"))) << "no card";
  h.c.field().typeB.push_back(TypeBCard::make());
  const std::string atqb = "50 1B 01 2C 3D 00 00 00 00 00 81 71";
  runSteps(h, {
      {"08 63 02 83 63 03 83", "09"},                // Type B framing (CIU_TxMode, RxMode)
      {"42 05 00 08", ("43 00 " + atqb).c_str()},    // WUPB: idle -> ready
      {"42 01 05 00 08", "43 01"},                   // first byte is not APf 05
      {"42 06 00", "43 01"},
      {"42 05 00 00", ("43 00 " + atqb).c_str()},    // REQB: a ready card answers again
      {"42 1D 1B 01 2C 3D 00 08 01 00", "43 00 00"}, // ATTRIB: ready -> active
      {"42 05 00 08", "43 01"},                      // an active card ignores requests
      {"4A 01 03 00", "4B 00"},                      // and polls
      {"42 50 1B 01 2C 3D", "43 00 00"},             // HLTB: -> halt
      {"42 05 00 00", "43 01"},                      // REQB does not wake a halted card
      {"42 05 00 08", ("43 00 " + atqb).c_str()},    // WUPB does
      {"4A 01 03 00", ("4B 01 01 " + atqb + " 01 00").c_str()},
      {"4A 01 03 00", "4B 00"},
      {"32 01 00", "33"},                            // the field off: every card idle
      {"4A 01 03 00", ("4B 01 01 " + atqb + " 01 00").c_str()},
  });
}

// A raw frame leaves with the framing, speed, CRC, modulation and bit count the
// registers hold: a Type B card hears only 106 kbit/s Type B framing with CRC_B,
// 10 % ASK and whole bytes, and a Type A card hears none of it.
TEST(SimTypeB, RawRequestIsHeardOnlyInTypeBFraming) {
  const std::pair<const char*, bool> cases[] = {
      {"63 02 83 63 03 83", true},         {"63 02 80 63 03 80", false},  // Type A framing
      {"63 02 82 63 03 82", false},        {"63 02 03 63 03 03", false},  // FeliCa; no CRC_B
      {"63 02 93 63 03 93", false},        {"63 02 83 63 05 40", false},  // 212 kbit/s; 100 % ASK
      {"63 02 83 63 3D 07", false},        {"63 02 8F 63 05 07 63 3D 10", true},
  };
  for (const auto& c : cases) {
    Host h;
    h.c.field().typeB.push_back(TypeBCard::make());
    h.c.field().mifare.push_back(MifareClassicCard::make1k());
    h.ask(cat(hex("08"), hex(c.first)));
    EXPECT_EQ(c.second ? 0x00 : 0x01, h.ask(hex("42 05 00 08"))[1]) << c.first;
    EXPECT_EQ(0x01, h.ask(hex("42 26"))[1]) << c.first << ": no Type A card hears it";
  }
}

// The rest of a chained answer waits through other commands until fetched;
// new data for the target is refused meanwhile; deselection or the field going
// off ends the chain.
TEST(SimTypeB, RestOfAChainedAnswerWaitsUntilFetchedOrReleased) {
  Host h;
  h.c.field().typeB.push_back(TypeBCard::make());
  h.ask(hex("4A 01 03 00"));
  const Bytes read300 = hex("40 01 00 B0 00 00 00 01 2C");
  const Bytes select = hex("40 01 00 A4 04 00 00");
  ASSERT_EQ(0x40, h.ask(read300)[1]);
  EXPECT_BYTES(hex("07 83"), h.ask(hex("06 63 02")));
  EXPECT_BYTES(hex("41 25"), h.ask(select)) << "the card is still sending";
  const Bytes rest = h.ask(hex("40 01"));
  EXPECT_EQ(0x00, rest[1]);
  EXPECT_EQ(2u + 302u - 262u, rest.size());
  EXPECT_BYTES(hex("41 00 90 00"), h.ask(select));
  for (const char* release : {"44 01", "32 01 00"}) {
    ASSERT_EQ(0x40, h.ask(read300)[1]) << release;
    h.ask(hex(release));
    h.ask(hex(release[0] == '4' ? "54 01" : "4A 01 03 00"));
    EXPECT_BYTES(hex("41 00 90 00"), h.ask(select)) << release;
  }
}

TEST(SimTypeB, DefaultCardAnswersSelectAndReadsOfAnyLength) {
  Host h;
  h.c.field().typeB.push_back(TypeBCard::make());
  h.ask(hex("4A 01 03 00"));
  EXPECT_BYTES(hex("41 00 90 00"), h.ask(hex("40 01 00 A4 04 00 02 3F 00")));
  EXPECT_BYTES(hex("41 00 6D 00"), h.ask(hex("40 01 80 10 00 00")));
  // Answers beyond the controller's 262 data bytes come in parts flagged MI (41 40),
  // the rest for an InDataExchange without data.
  for (std::size_t le : {251u, 252u, 255u, 256u, 300u}) {
    const Bytes apdu = le <= 256 ? Bytes{0x00, 0xB0, 0x00, 0x10, static_cast<std::uint8_t>(le & 0xFF)}
                                 : Bytes{0x00, 0xB0, 0x00, 0x10, 0x00, 0x01, 0x2C};
    Bytes a = h.ask(cat(hex("40 01"), apdu));
    std::size_t parts = 1;
    for (Bytes more = a; more.size() > 1 && more[1] == 0x40; ++parts) {
      ASSERT_EQ(2u + 262u, more.size());
      more = h.ask(hex("40 01"));
      a.insert(a.end(), more.begin() + 2, more.end());
    }
    EXPECT_EQ(le + 2 > 262 ? 2u : 1u, parts) << "Le " << le;
    ASSERT_EQ(le + 4, a.size()) << "Le " << le;
    EXPECT_EQ(TypeBCard::dataByte(0x10), a[2]);
    EXPECT_EQ(TypeBCard::dataByte(0x10 + le - 1), a[le + 1]);
    EXPECT_BYTES(hex("90 00"), Bytes(a.end() - 2, a.end()));
  }
  EXPECT_EQ(7u, h.c.field().typeB[0].apdus.size()) << "the rest of an answer is the controller's";
}

TEST(SimTypeB, PluggedResponderAnswersInsteadOfTheDefault) {
  Host h;
  h.c.field().typeB.push_back(TypeBCard::make());
  h.c.field().typeB[0].responder = [](const Bytes& apdu) { return cat(apdu, hex("91 00")); };
  h.ask(hex("4A 01 03 00"));
  EXPECT_BYTES(hex("41 00 01 02 91 00"), h.ask(hex("40 01 01 02")));
  h.c.field().typeB[0].responder = [](const Bytes&) { return Bytes{}; };
  EXPECT_BYTES(hex("41 01"), h.ask(hex("40 01 01 02"))) << "a card that says nothing times out";
}

// ---- the field ----

TEST(SimField, ExchangeWithoutAListedTargetIsOutOfContext) {
  Host h;
  EXPECT_BYTES(hex("41 27"), h.ask(hex("40 01 30 04")));
  h.c.field().mifare.push_back(MifareClassicCard::make1k());
  h.ask(hex("4A 01 00"));
  EXPECT_BYTES(hex("41 27"), h.ask(hex("40 02 30 04"))) << "target 2 was not listed";
}

TEST(SimField, SwitchTakesEveryCardOutAndBackWithItsData) {
  Host h;
  h.c.field().mifare.push_back(MifareClassicCard::make1k());
  h.c.field().mifare[0].blocks[9][0] = 0x99;
  h.c.field().felica.push_back(FelicaCard::standard());
  h.ask(hex("4A 01 00"));
  h.c.field().present = false;
  EXPECT_BYTES(hex("41 01"), h.ask(cat(hex("40 01 60 08 FF FF FF FF FF FF"), hex(kUid4))));
  EXPECT_BYTES(hex("4B 00"), h.ask(hex("4A 01 00")));
  EXPECT_BYTES(hex("4B 00"), h.ask(hex("4A 01 01 00 FF FF 00 00")));
  h.c.field().present = true;
  ASSERT_EQ(1, h.ask(hex("4A 01 00"))[1]);
  EXPECT_EQ(0x99, h.c.field().mifare[0].blocks[9][0]);
}

TEST(SimField, RemovedCardStopsAnsweringItsListedTarget) {
  Host h;
  h.c.field().mifare.push_back(MifareClassicCard::make1k());
  h.ask(hex("4A 01 00"));
  h.c.field().mifare.clear();
  EXPECT_BYTES(hex("41 01"), h.ask(hex("40 01 30 04")));
}

}  // namespace
}  // namespace simtest
