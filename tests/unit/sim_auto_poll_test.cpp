// InAutoPoll in the simulated controller: the first target of the first listed
// type that answers, as a client such as nfc-poll reads it.
#include "cards.h"
#include "sim_wire.h"

namespace simtest {
namespace {

struct AutoPoll {
  const char* name;
  const char* cards;
  const char* command;
  const char* answer;  // expected answer code and data; empty: the error frame
};

TEST(SimAutoPoll, ReportsTheFirstTargetOfTheFirstTypeThatAnswers) {
  const AutoPoll cases[] = {
      {"MIFARE", "mifare1k", "60 01 01 10", "61 01 10 09 01 00 04 08 04 0A 01 3C 4D"},
      {"generic 106 kbit/s", "page", "60 01 01 00", "61 01 00 0C 01 00 44 00 07 04 01 5A 6B 7C 8D 9E"},
      {"ISO/IEC 14443-4A wants SEL_RES bit 5", "mifare1k", "60 01 01 20", "61 00"},
      {"FeliCa 212 kbit/s",
       "felica", "60 01 01 11", "61 01 11 13 01 12 01 01 2E 4C 10 00 00 00 01 03 01 4B 02 4F 49 93 FF"},
      {"Lite does not answer at 424 kbit/s", "lite", "60 01 01 12", "61 00"},
      {"Type B", "typeB", "60 01 01 23", "61 01 23 0F 01 50 1B 01 2C 3D 00 00 00 00 00 81 71 01 00"},
      {"DEP passive 106 kbit/s", "peer", "60 01 01 40",
       "61 01 40 10 01 11 22 33 44 55 66 77 88 99 AA 00 00 00 0E 30"},
      {"types in the order given", "mifare1k,felica", "60 01 01 23 11 10", "61 01 11 13 01 12 01 01 2E"},
      {"nothing answers", "felica", "60 02 01 10 23", "61 00"},
      {"no period", "felica", "60 01 00 11", ""},
      {"period above 15", "felica", "60 01 10 11", ""},
      {"no type", "felica", "60 01 01", ""},
      {"unknown type", "felica", "60 01 01 05", ""},
  };
  for (const AutoPoll& c : cases) {
    Host h;
    ASSERT_TRUE(pelvsim::addCards(c.cards, h.c.field()));
    const std::string expected = c.answer;
    if (expected.empty()) {
      EXPECT_BYTES(cat(ACK(), errorFrame()), h.send(hex(c.command))) << c.name;
      continue;
    }
    const Bytes a = h.ask(hex(c.command));
    EXPECT_BYTES(hex(expected), Bytes(a.begin(), a.begin() + std::min(a.size(), hex(expected).size())))
        << c.name;
  }
}

TEST(SimAutoPoll, PollsForItsRoundsOrUntilTheHostAborts) {
  Host h;
  const std::uint64_t sent = h.now;
  EXPECT_BYTES(hex("61 00"), h.ask(hex("60 03 02 10 11")));
  EXPECT_EQ(sent + 3 * 2 * 2 * 150000u, h.now) << "3 rounds of 2 types, 300 ms each";

  EXPECT_BYTES(ACK(), h.send(hex("60 FF 01 10"))) << "endless: no answer without a card";
  EXPECT_BYTES(Bytes{}, h.send(hex("02"))) << "a new command is not taken while polling";
  h.write(ACK());
  EXPECT_EQ(0x03, h.ask(hex("02"))[0]) << "the host's ACK ended the polling";
}

TEST(SimAutoPoll, TargetFoundIsListedForExchanges) {
  Host h;
  ASSERT_TRUE(pelvsim::addCards("mifare1k", h.c.field()));
  h.ask(hex("60 01 01 10"));
  EXPECT_BYTES(hex("41 00"), h.ask(hex("40 01 60 04 FF FF FF FF FF FF 0A 01 3C 4D")));
}

}  // namespace
}  // namespace simtest
