// Scripted and random faults: what each one puts on the wire.
#include "sim_wire.h"

namespace simtest {
namespace {

using pelvsim::Fault;

const Bytes kAnswer = hex(kFirmwareAnswer);
const Bytes kReply = answer(kAnswer);  // 00 00 FF 06 FA D5 03 32 01 06 07 E8 00

Bytes withByte(Bytes b, std::size_t at, std::uint8_t v) {
  b[at] = v;
  return b;
}

struct Wire {
  const char* name;
  Fault fault;
  std::uint32_t param;
  Bytes expected;
};

class SimFaultWire : public ::testing::TestWithParam<Wire> {};

TEST_P(SimFaultWire, ShowsOnTheNextCommandOnly) {
  Host h;
  h.c.faults().script(GetParam().fault, 1, 0, GetParam().param);
  EXPECT_BYTES(GetParam().expected, h.send(hex("02")));
  EXPECT_BYTES(cat(ACK(), kReply), h.send(hex("02"))) << "the fault lasts one command";
  EXPECT_EQ(2u, h.c.commands().size());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SimFaultWire,
    ::testing::Values(
        Wire{"silence", Fault::Silence, 0, {}}, Wire{"nack", Fault::Nack, 0, NACK()},
        Wire{"ackOnly", Fault::AckOnly, 0, ACK()},
        Wire{"badLcs", Fault::BadLcs, 0, cat(ACK(), withByte(kReply, 4, 0xFB))},
        Wire{"badDcs", Fault::BadDcs, 0, cat(ACK(), withByte(kReply, 11, 0xE9))},
        Wire{"garbageBeforeAck", Fault::GarbageBeforeAck, 2, cat(hex("A5 A5"), cat(ACK(), kReply))},
        Wire{"garbageBeforeAnswer", Fault::GarbageBeforeAnswer, 0, cat(cat(ACK(), hex("A5 A5 A5")), kReply)},
        Wire{"extended", Fault::ExtendedAnswer, 0, cat(ACK(), infoFrame(0xD5, kAnswer, true))},
        Wire{"truncated", Fault::Truncated, 0, cat(ACK(), Bytes(kReply.begin(), kReply.begin() + 6))},
        // LEN still says 6; two more data bytes, and a DCS that covers them.
        Wire{"oversized", Fault::Oversized, 2, cat(ACK(), hex("00 00 FF 06 FA D5 03 32 01 06 07 5A 5A 34 00"))}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SimFaults, SilencedAndNackedCommandsAreNotRunButAckOnlyIsRun) {
  const std::pair<Fault, std::uint8_t> table[] = {
      {Fault::Silence, 0x3F}, {Fault::Nack, 0x3F}, {Fault::AckOnly, 0x1F}};
  for (const auto& row : table) {
    Host h;
    h.c.faults().script(row.first);
    h.send(hex("0E 9F 00"));
    EXPECT_EQ(row.second, h.c.gpioP3()) << static_cast<int>(row.first);
  }
}

TEST(SimFaults, AnswerDelayHoldsTheAnswerBackAfterTheAck) {
  Host h;
  h.c.faults().script(Fault::AnswerDelay, 1, 0, 40000);
  const std::uint64_t sent = h.now;
  h.write(frame(hex("02")));
  EXPECT_BYTES(ACK(), h.read(sent + 39999));
  EXPECT_BYTES(kReply, h.read());
  EXPECT_EQ(sent + 40000, h.now);
}

TEST(SimFaults, ScriptCoversCountCommandsAfterSkip) {
  Host h;
  h.c.faults().script(Fault::Nack, 2, 1);
  const Bytes good = cat(ACK(), kReply);
  EXPECT_BYTES(good, h.send(hex("02")));
  EXPECT_BYTES(NACK(), h.send(hex("02")));
  EXPECT_BYTES(NACK(), h.send(hex("02")));
  EXPECT_BYTES(good, h.send(hex("02")));
  EXPECT_EQ(2u, h.c.faults().applied);
}

std::vector<bool> faultPattern(std::uint32_t seed, double probability) {
  Host h;
  h.c.faults().randomize(seed, probability, {Fault::Silence});
  std::vector<bool> hit;
  for (int k = 0; k < 64; ++k) hit.push_back(h.send(hex("02")).empty());
  return hit;
}

TEST(SimFaults, RandomFaultsRepeatForTheSameSeed) {
  const auto a = faultPattern(7, 0.3);
  EXPECT_EQ(a, faultPattern(7, 0.3));
  EXPECT_NE(a, faultPattern(8, 0.3));
  const auto hits = std::count(a.begin(), a.end(), true);
  EXPECT_GT(hits, 5);
  EXPECT_LT(hits, 40);
  const auto none = faultPattern(7, 0.0);
  EXPECT_EQ(0, std::count(none.begin(), none.end(), true));
}

TEST(SimFaults, ClearForgetsScriptedAndRandomFaults) {
  Host h;
  h.c.faults().script(Fault::Silence, 5);
  h.c.faults().randomize(1, 1.0);
  h.c.faults().clear();
  EXPECT_BYTES(cat(ACK(), kReply), h.send(hex("02")));
}

}  // namespace
}  // namespace simtest
