#include <cstdio>

#include "names.h"
#include "session.h"

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

  // One step: a heading, then the command with its own options; a failure is
  // shown and the tour goes on.
  template <typename Setup>
  void step(const std::string& title, int (*run)(Context&), Setup setup) {
    out.heading(title);
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
      out.line(std::string("  step failed: ") + f.what() + (f.hint.empty() ? "" : "; " + f.hint));
      record.set("error", f.what());
    }
    if (code != kExitOk) ++failed;
    record.set("exit", code);
    record.set("result", out.takeFields());
    steps.push(std::move(record));
  }
};

}  // namespace

int runDemo(Reader& reader, Output& out, const Options& globals) {
  const bool shown = out.packets();
  out.setPackets(true);
  Tour t{reader, out, globals};

  out.heading("Opening the virtual reader");
  reader.open();
  out.line("opened " + reader.where());

  t.step("Reader information: mode selection (0x10) answers the IC and firmware version; 0xF0 the line speed",
         runInfo, [](Options&) {});
  t.step("Card detection (0x21): FeliCa, Type A and Type B in turn; the first card found wins", runDetect,
         [](Options&) {});
  t.step("FeliCa: poll (0x20), then read service 090F, blocks 0 to 3 (0x30)", runReadFelica, [](Options& o) {
    o.services = {"090F"};
    o.blocks = "0-3";
  });
  const std::string felicaText = asciiHex("Hello, FeliCa!!!");
  t.step("FeliCa: write block 0 of service 0009 (0x31)", runWriteFelica, [&](Options& o) {
    o.services = {"0009"};
    o.blocks = "0";
    o.data = felicaText;
  });
  t.step("FeliCa: read block 0 of service 0009 back", runReadFelica, [](Options& o) {
    o.services = {"0009"};
    o.blocks = "0";
  });
  t.step("MIFARE Classic: key A authentication and read of sector 1 with the factory key", runReadMifare,
         [](Options& o) { o.sector = 1; });
  const std::string mifareText = asciiHex("MIFARE block 4..");
  t.step("MIFARE Classic: write block 4 (sector 1, block 0)", runWriteMifare, [&](Options& o) {
    o.sector = 1;
    o.block = 0;
    o.data = mifareText;
  });
  t.step("MIFARE Classic: read block 4 back", runReadMifare, [](Options& o) {
    o.sector = 1;
    o.block = 0;
    o.count = 1;
  });
  t.step("MIFARE Classic: change key A of sector 2 (0x33)", runKeyMifare, [](Options& o) {
    o.sector = 2;
    o.newKey = "A0A1A2A3A4A5";
  });
  t.step("MIFARE Classic: read sector 2 with the new key", runReadMifare, [](Options& o) {
    o.sector = 2;
    o.key = "A0A1A2A3A4A5";
  });
  t.step("Page card: read pages 4 to 7", runReadPages, [](Options& o) {
    o.start = 4;
    o.count = 4;
  });
  const std::string pageText = asciiHex("Page card pages!");
  t.step("Page card: write pages 4 to 7", runWritePages, [&](Options& o) {
    o.start = 4;
    o.data = pageText;
  });
  t.step("Page card: read pages 4 to 7 back", runReadPages, [](Options& o) {
    o.start = 4;
    o.count = 4;
  });
  t.step("Type B: RW_Open, RW_Activate, two APDUs with RW_Transmit, RW_Deactivate", runApdu, [](Options& o) {
    o.apdus = {"00A4040007A0000000041010", "00B0000010"};
  });
  t.step("Peer-to-peer: activate the peer (0x50), send a payload, read 6 segments (0x70), field off (0x51)",
         runPeer, [&](Options& o) {
           o.payload = asciiHex("ping");
           o.segments = 6;
         });

  out.heading("Closing the reader");
  reader.close();
  out.fields().set("tour", std::move(t.steps));
  out.fields().set("failed_steps", t.failed);
  out.setPackets(shown);
  if (t.failed > 0) {
    throw Failure(kExitFailed, std::to_string(t.failed) + " step(s) of the tour failed");
  }
  out.line("");
  out.line("The tour is complete. Try: pelvane --sim shell");
  return kExitOk;
}

}  // namespace pelvtool
