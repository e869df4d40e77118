// pelvane.hpp against the simulated controller, through the exported functions:
// one table of calls on one open reader, each with the packet it must send (as
// the library's trace shows it) and the outcome it must report.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "field.h"
#include "pelvane.hpp"
#include "support/harness.h"

namespace {

using namespace pelvtest;
using pelvane::Bytes;

std::vector<std::string> traced;  // the packets of the "commandProc:" trace lines, as hex
void PELVANE_CALL collect(const char* line) {
  const std::string text(line);
  const std::string head = "commandProc:";
  if (text.compare(0, head.size(), head) != 0) return;
  std::string spaced;
  for (std::size_t i = head.size(); i + 1 < text.size() && text[i] != '\n'; i += 2) {
    spaced += (spaced.empty() ? "" : " ") + text.substr(i, 2);
  }
  traced.push_back(spaced);
}

std::string describe(const std::error_code& ec) {
  if (!ec) return "ok";
  char number[12];
  std::snprintf(number, sizeof number, "%X", static_cast<unsigned>(ec.value()));
  return std::string(ec.category().name()) + " " + (ec.category() == std::generic_category() ? ec.message() : number);
}
std::string describe(const pelvane::Result<Bytes>& r) { return r ? "ok " + toHex(*r) : describe(r.error()); }

template <std::size_t N>
std::array<std::uint8_t, N> array(const char* text) {
  std::array<std::uint8_t, N> a{};
  const Bytes b = hex(text);
  std::copy(b.begin(), b.begin() + N, a.begin());
  return a;
}

struct Call {
  const char* behaviour;
  std::function<void(pelvsim::Field&)> cards;  // null: the field stays as it is
  std::function<std::string(pelvane::Reader&)> call;
  std::string packet;  // "" when nothing may be sent
  std::string outcome;
};

class CppHeader : public SimReaders {
 protected:
  void SetUp() override {
    SimReaders::SetUp();
    traced.clear();
    PV_SetTraceSink(collect);
  }
  void TearDown() override {
    PV_SetTraceSink(nullptr);
    SimReaders::TearDown();
  }
};

TEST_F(CppHeader, TypedHelpersSendTheDocumentedPacketsAndReportOutcomes) {
  using pelvane::Mode;
  using pelvane::Technology;
  pelvsim::Field& field = addReader(3).field();
  const auto idm = array<8>(kIdm);
  const auto uid4 = array<4>(kUid4);
  const auto uid7 = array<7>(kUid7);
  const auto key = array<6>(kFactoryKey);
  const auto newKey = array<6>(kNewKey);
  const std::string idmHex = kIdm, uid4Hex = kUid4, uid7Hex = kUid7, keyHex = kFactoryKey;
  auto felica = [](pelvsim::Field& f) { f.clear(); f.felica.push_back(pelvsim::FelicaCard::standard(1)); };
  auto mifare = [](pelvsim::Field& f) { f.clear(); f.mifare.push_back(pelvsim::MifareClassicCard::make1k()); };
  auto page = [](pelvsim::Field& f) { f.clear(); f.page.push_back(pelvsim::PageCard::make()); };
  auto typeB = [](pelvsim::Field& f) { f.clear(); f.typeB.push_back(pelvsim::TypeBCard::make()); };
  auto firmware = [](const pelvane::Result<pelvane::Firmware>& r) {
    return r ? "ok " + toHex(Bytes{r->ic, r->version}) : describe(r.error());
  };

  const std::vector<Call> table = {
      {"FeliCa mode selection answers the firmware", felica,
       [&](pelvane::Reader& r) { return firmware(r.selectMode(Mode::felica, 10)); },
       "07 10 10 0A 00 00 00", "ok 32 01"},
      {"polling a system code no card has times out", nullptr,
       [](pelvane::Reader& r) {
         auto p = r.pollFelica(0x1234, 1);
         return describe(p.error()) + (p.error() == std::errc::timed_out ? " timed_out" : "");
       },
       "05 20 12 34 01", "pelvane.status FE timed_out"},
      {"polling any system code gives the IDm", nullptr,
       [](pelvane::Reader& r) { auto p = r.pollFelica(); return p ? "ok " + toHex(p->data(), 8) : describe(p.error()); },
       "05 20 FF FF 00", "ok " + idmHex},
      {"a FeliCa block read", nullptr,
       [&](pelvane::Reader& r) { return describe(r.readFelica(idm, {0x090F}, {{0, 1}})); },
       "10 30 " + idmHex + " 01 09 0F 01 80 01", "ok " + toHex(sequence(0x51, 16))},
      {"a FeliCa two-block write", nullptr,
       [&](pelvane::Reader& r) { return describe(r.writeFelica(idm, {0x0009}, {{0, 2}, {0, 3}}, sequence(0xC0, 32))); },
       "32 31 " + idmHex + " 01 00 09 02 80 02 80 03 " + toHex(sequence(0xC0, 32)), "ok"},
      {"a write to a read-only service reports the FeliCa status error", nullptr,
       [&](pelvane::Reader& r) { return describe(r.writeFelica(idm, {0x090F}, {{0, 0}}, Bytes(16, 0))); },
       "20 31 " + idmHex + " 01 09 0F 01 80 00 " + toHex(Bytes(16, 0)), "pelvane.status F9"},
      {"a FeliCa write whose data do not fill the blocks is not sent", nullptr,
       [&](pelvane::Reader& r) { return describe(r.writeFelica(idm, {0x0009}, {{0, 2}}, Bytes(15, 0))); },
       "", "generic Invalid argument"},
      {"MIFARE mode selection", mifare,
       [&](pelvane::Reader& r) { return firmware(r.selectMode(Mode::mifare, 20)); },
       "07 10 30 14 00 00 00", "ok 32 01"},
      {"polling a Type A card gives its UID", nullptr,
       [](pelvane::Reader& r) { return describe(r.pollTypeA()); }, "02 20", "ok " + uid4Hex},
      {"a MIFARE two-block read with key A", nullptr,
       [&](pelvane::Reader& r) { return describe(r.readMifare(uid4, key, 1, 0, 2)); },
       "0F 30 " + uid4Hex + " " + keyHex + " 01 00 02", "ok " + toHex(sequence(4, 16)) + " " + toHex(sequence(5, 16))},
      {"a MIFARE block write", nullptr,
       [&](pelvane::Reader& r) { return describe(r.writeMifare(uid4, key, 1, 1, sequence(0xA0, 16))); },
       "1F 31 " + uid4Hex + " " + keyHex + " 01 01 01 " + toHex(sequence(0xA0, 16)), "ok"},
      {"a key change", nullptr,
       [&](pelvane::Reader& r) { return describe(r.changeMifareKey(uid4, key, 2, newKey)); },
       "13 33 " + uid4Hex + " " + keyHex + " 02 " + kNewKey, "ok"},
      {"the old key is refused by the controller", nullptr,
       [&](pelvane::Reader& r) {
         auto b = r.readMifare(uid4, key, 2, 0, 1);
         return describe(b.error()) + (b.error() == std::errc::permission_denied ? " permission_denied" : "");
       },
       "0F 30 " + uid4Hex + " " + keyHex + " 02 00 01", "pelvane.status 14 permission_denied"},
      {"page card mode selection", page,
       [&](pelvane::Reader& r) { return firmware(r.selectMode(Mode::pageCard, 10)); },
       "07 10 31 0A 00 00 00", "ok 32 01"},
      {"polling a page card gives its 7-byte UID", nullptr,
       [](pelvane::Reader& r) { return describe(r.pollTypeA()); }, "02 20", "ok " + uid7Hex},
      {"two pages written with command 32", nullptr,
       [&](pelvane::Reader& r) { return describe(r.writePages(uid7, 5, sequence(0x70, 8))); },
       "13 32 " + uid7Hex + " 05 02 " + toHex(sequence(0x70, 8)), "ok"},
      {"a page read returns four pages", nullptr,
       [&](pelvane::Reader& r) { return describe(r.readPages(uid7, 4, 4)); },
       "0B 30 " + uid7Hex + " 04 04", "ok " + toHex(cat(sequence(16, 4), sequence(0x70, 8), sequence(28, 4)))},
      {"page 3 written", nullptr,
       [&](pelvane::Reader& r) { return describe(r.writePage3(uid7, {1, 2, 3, 4})); },
       "0E 33 " + uid7Hex + " 01 02 03 04 00", "ok"},
      {"detection over three technologies finds the Type B card", typeB,
       [](pelvane::Reader& r) {
         auto d = r.detect({Technology::felica(), Technology::typeA(), Technology::typeB()});
         if (!d) return describe(d.error());
         return "mode " + toHex(Bytes{static_cast<std::uint8_t>(d->mode)}) + " id " + toHex(d->id) + " atqb " +
                toHex(d->typeB.atqb.data(), 12) + " attrib " + toHex(d->typeB.attribRes);
       },
       "0B 21 00 10 30 60 FF FF 00 00 00", "mode 60 id 1B 01 2C 3D atqb 50 1B 01 2C 3D 00 00 00 00 00 81 71 attrib 00"},
      {"an APDU passed through to the Type B card", nullptr,
       [](pelvane::Reader& r) { return describe(r.passThrough(hex("00 A4 04 00 00"))); },
       "07 86 00 A4 04 00 00", "ok 90 00"},
      {"an answer of 252 bytes or more is read from the long form", nullptr,
       [](pelvane::Reader& r) {
         auto a = r.passThrough(hex("00 B0 00 00 00"));  // READ BINARY, Le 256
         if (!a || a->size() < 2) return describe(a.error()) + " " + std::to_string(a->size()) + " bytes";
         return std::to_string(a->size()) + " bytes, ending " + toHex(Bytes(a->end() - 2, a->end()));
       },
       "07 86 00 B0 00 00 00", "258 bytes, ending 90 00"},
      {"a packet with a wrong LEN gets the library's answer", nullptr,
       [](pelvane::Reader& r) {
         auto a = r.command({0x03, 0x10, 0x10});
         return std::to_string(a.result) + " " + describe(a.error()) + (a.written ? " written" : "");
       },
       "03 10 10", "2 pelvane.status FD written"},
      {"a packet too short to carry CMD is not sent", nullptr,
       [](pelvane::Reader& r) { return describe(r.command({0x02}).error()); }, "", "generic Invalid argument"},
  };

  auto opened = pelvane::Reader::open(3);
  ASSERT_TRUE(opened) << opened.error().message();
  pelvane::Reader reader = std::move(*opened);
  for (const Call& c : table) {
    SCOPED_TRACE(c.behaviour);
    if (c.cards) c.cards(field);
    traced.clear();
    const std::string outcome = c.call(reader);
    std::string packets;
    for (const std::string& p : traced) packets += (packets.empty() ? "" : "; ") + p;
    EXPECT_EQ(packets, c.packet);
    EXPECT_EQ(outcome, c.outcome);
  }

  // The port is the reader's: a second open is refused, closing frees it.
  EXPECT_EQ(describe(pelvane::Reader::open(3).error()), "pelvane.open 1");
  EXPECT_EQ(describe(pelvane::Reader::open(257).error()), "pelvane.open 2");
  EXPECT_TRUE(reader.close());
  EXPECT_FALSE(reader.close());
  const pelvane::Response closed = reader.command({0x02, 0x20});
  EXPECT_EQ(describe(closed.error()) + " " + std::to_string(closed.result), "pelvane.status FF 2");
  EXPECT_TRUE(pelvane::Reader::open(3));  // and closed again by its destructor
}

TEST_F(CppHeader, TypeBCardIsActivatedUsedAndReleasedByItsLifetime) {
  addReader(4).field().typeB.push_back(pelvsim::TypeBCard::make());
  EXPECT_EQ(pelvane::TypeBReader::open(0).error(), std::errc::invalid_argument);
  auto opened = pelvane::TypeBReader::open(4);
  ASSERT_TRUE(opened) << opened.error().message();
  pelvane::TypeBReader rw = std::move(*opened);
  EXPECT_EQ(describe(pelvane::TypeBReader::open(4).error()), "pelvane.rw A901");
  EXPECT_EQ(describe(rw.activate(3).error()), "pelvane.rw A301");
  {
    auto card = rw.activate();
    ASSERT_TRUE(card) << card.error().message();
    EXPECT_EQ(rw.sense(), pelvane::TypeBReader::CardStatus::activated);
    traced.clear();
    EXPECT_EQ(describe(card->transmit(hex("00 A4 04 00 00"))), "ok 90 00");
    EXPECT_EQ(traced, std::vector<std::string>{"07 86 00 A4 04 00 00"});
    EXPECT_EQ(describe(card->transmit(Bytes(254, 0)).error()), "pelvane.rw AE02");
  }
  EXPECT_EQ(rw.sense(), pelvane::TypeBReader::CardStatus::none);
  rw.close();
  EXPECT_FALSE(rw.activate());  // the port is closed: no card
  auto again = pelvane::TypeBReader::open(4);
  EXPECT_TRUE(again) << again.error().message();
}

}  // namespace
