#include <cstdio>

#include "names.h"
#include "session.h"
#include "virtual_reader.h"

namespace pelvtool {
namespace {

std::string asciiHex(const std::string& text) {
  return hexBytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

struct Tour {
  Reader& reader;
  Output& out;
  const Options& globals;
  Json steps = Json::array();
  int failed = 0;

  // Puts exactly these cards in the virtual reader's field: Type A polling
  // answers the first card it finds, so each part of the tour has its own field.
  void field(const std::string& cards, const std::string& title) {
    out.heading(title);
    std::string error;
    VirtualReader* v = reader.virtualReader();
    if (v == nullptr || !v->setCards(cards, &error)) throw Failure(kExitInternal, "the tour's field: " + error);
    out.line("(in the field: " + (cards.empty() ? std::string("nothing") : cards) + ")");
  }

  // One step: a line saying what it does, then the command with its own
  // options. A step that ends otherwise than `expected` counts as failed; the
  // tour goes on either way.
  template <typename Setup>
  void step(const std::string& title, int (*run)(Context&), Setup setup, int expected = kExitOk) {
    out.line("");
    out.line("-- " + title);
    Options o;
    o.reader = globals.reader;
    o.timeoutSeconds = globals.timeoutSeconds;
    setup(o);
    Context c{reader, out, o};
    Json record = Json::object();
    record.set("title", title);
    int code = kExitOk;
    try {
      code = run(c);
    } catch (const Failure& f) {
      code = f.exit;
      out.line(std::string(code == expected ? "  as expected: " : "  step failed: ") + f.what() +
               (f.hint.empty() ? "" : "; " + f.hint));
      record.set("error", f.what());
    }
    if (code != expected) ++failed;
    record.set("exit", code);
    record.set("expected_exit", expected);
    record.set("result", out.takeFields());
    steps.push(std::move(record));
  }
};

}  // namespace

int runDemo(Reader& reader, Output& out, const Options& globals) {
  const bool shown = out.packets();
  out.setPackets(true);
  Tour t{reader, out, globals};
  auto none = [](Options&) {};

  out.heading("The virtual reader");
  reader.open();
  out.line("opened " + reader.where() + " with RF_OPEN; the library's serial code talks to it as to a real one");
  t.step("reader information: mode selection (0x10) answers the IC and firmware version, 0xF0 the line speed",
         runInfo, none);

  t.field("felica", "FeliCa");
  t.step("card detection (0x21): FeliCa, Type A and Type B in turn until one answers", runDetect, none);
  t.step("poll (0x20), then read service 090F, blocks 0 to 3 (0x30)", runReadFelica, [](Options& o) {
    o.services = {"090F"};
    o.blocks = "0-3";
  });
  const std::string felicaText = asciiHex("Hello, FeliCa!!!");
  t.step("write block 0 of service 0009 (0x31)", runWriteFelica, [&](Options& o) {
    o.services = {"0009"};
    o.data = felicaText;
  });
  t.step("read it back", runReadFelica, [](Options& o) { o.services = {"0009"}; });

  t.field("mifare1k", "MIFARE Classic 1K");
  t.step("card detection", runDetect, none);
  t.step("authenticate sector 1 with the factory key A and read its four blocks", runReadMifare,
         [](Options& o) { o.sector = 1; });
  const std::string mifareText = asciiHex("MIFARE block 4..");
  t.step("write block 4 (sector 1, block 0)", runWriteMifare, [&](Options& o) {
    o.sector = 1;
    o.data = mifareText;
  });
  t.step("read it back", runReadMifare, [](Options& o) {
    o.sector = 1;
    o.count = 1;
  });
  t.step("change key A of sector 2 (0x33: read the trailer, put the new key in, write it back)", runKeyMifare,
         [](Options& o) {
           o.sector = 2;
           o.newKey = "A0A1A2A3A4A5";
         });
  t.step("read sector 2 with the new key", runReadMifare, [](Options& o) {
    o.sector = 2;
    o.key = "A0A1A2A3A4A5";
  });
  t.step("the old key no longer opens it: controller status 0x14", runReadMifare, [](Options& o) { o.sector = 2; },
         kExitFailed);

  t.field("page", "Page card (7-byte UID)");
  t.step("card detection", runDetect, none);
  t.step("read pages 4 to 7", runReadPages, [](Options& o) { o.start = 4; });
  const std::string pageText = asciiHex("Page card pages!");
  t.step("write pages 4 to 7", runWritePages, [&](Options& o) {
    o.start = 4;
    o.data = pageText;
  });
  t.step("read them back", runReadPages, [](Options& o) { o.start = 4; });

  t.field("typeB", "Type B smart card");
  t.step("card detection", runDetect, none);
  t.step("RW_Open, RW_Activate, SELECT and READ BINARY with RW_Transmit, RW_Deactivate", runApdu, [](Options& o) {
    o.apdus = {"00A4040007A0000000041010", "00B0000010"};
  });

  t.field("peer", "NFC peer-to-peer");
  t.step("activate the peer (0x50), send a payload (0x31), read 6 segments (0x70), field off (0x51)", runPeer,
         [&](Options& o) {
           o.payload = asciiHex("ping");
           o.segments = 6;
         });

  t.field("", "When things go wrong");
  t.step("poll with nothing in the field: status 0xFE once the 0.3 s time-out passes", runReadFelica,
         [](Options& o) { o.timeoutSeconds = 0.3; }, kExitTimeout);
  t.step("a command byte the reader does not list: status 0xFC, result 2", runSend,
         [](Options& o) { o.packet = {"02", "00"}; }, kExitFailed);

  out.heading("Closing");
  reader.close();
  out.fields().set("tour", std::move(t.steps));
  out.fields().set("failed_steps", t.failed);
  out.setPackets(shown);
  if (t.failed > 0) throw Failure(kExitFailed, std::to_string(t.failed) + " step(s) of the tour went wrong");
  out.line("");
  out.line("The tour is complete. Next: pelvane --sim shell, or pelvane --help");
  return kExitOk;
}

}  // namespace pelvtool
