// The commands' words and options, shared by the command line and the shell.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "names.h"

namespace pelvtool {
namespace {

void addFelicaOptions(CLI::App* sub, Options& o, bool forWrite) {
  sub->add_option("-s,--service", o.services,
                  forWrite ? "service code(s), 2 bytes hex, high byte first (default 0009)"
                           : "service code(s), 2 bytes hex, high byte first (default 090F)")
      ->delimiter(',');
  sub->add_option("-b,--blocks", o.blocks, "blocks: 0-3, or service:block items such as 0:1,1:0-2")
      ->capture_default_str();
  sub->add_flag("--lite", o.lite, "FeliCa Lite card (one service; read 1 to 4 blocks, write 1)");
  sub->add_option("--system-code", o.systemCode, "system code to poll for (FFFF: any)")->capture_default_str();
}

void addMifareOptions(CLI::App* sub, Options& o) {
  sub->add_option("--sector", o.sector, "sector, 0 to 39")->capture_default_str();
  sub->add_option("-k,--key", o.key, "key A, 6 bytes hex")->capture_default_str();
}

}  // namespace

void addCommands(CLI::App& app, Options& o) {
  app.add_subcommand("ports", "list the CP210x and PL2303 bridge ports and whether a reader answers")
      ->add_flag("--all", o.allPorts,
                 "list every serial port with its friendly name, marking those a scan tries (only those are opened)");
  app.add_subcommand("info", "the controller's IC code, firmware version and line speed");

  auto* detect = app.add_subcommand("detect", "wait up to 5 s for a card of up to three technologies");
  detect->add_option("-t,--tech", o.technologies, "technologies in the order tried: felica, typeA, typeB")
      ->delimiter(',');
  detect->add_option("--system-code", o.systemCode, "FeliCa system code (FFFF: any)")->capture_default_str();
  detect->add_option("--time-slot", o.timeSlot, "FeliCa time slot number, 0 to 15")->capture_default_str();
  detect->add_option("--afi", o.afi, "Type B application family identifier, 1 byte hex")->capture_default_str();

  auto* read = app.add_subcommand("read", "read a card");
  read->require_subcommand(1);
  addFelicaOptions(read->add_subcommand("felica", "FeliCa blocks (Read Without Encryption)"), o, false);
  auto* readMifare = read->add_subcommand("mifare", "MIFARE Classic blocks after key A authentication");
  addMifareOptions(readMifare, o);
  readMifare->add_option("--block", o.block, "first block within the sector")->capture_default_str();
  readMifare->add_option("-n,--count", o.count, "number of blocks (default: the rest of the sector)");
  auto* readPage = read->add_subcommand("page", "pages of a 7-byte-UID card, four at a time");
  readPage->add_option("--start", o.start, "start page, 0 to 15")->capture_default_str();
  readPage->add_option("-n,--count", o.count, "pages, a multiple of 4 (default 4)");

  auto* write = app.add_subcommand("write", "write a card");
  write->require_subcommand(1);
  auto* writeFelica = write->add_subcommand("felica", "FeliCa blocks (Write Without Encryption)");
  addFelicaOptions(writeFelica, o, true);
  writeFelica->add_option("-d,--data", o.data, "16 bytes hex per block")->required();
  auto* writeMifare = write->add_subcommand("mifare", "MIFARE Classic data blocks (never the trailer)");
  addMifareOptions(writeMifare, o);
  writeMifare->add_option("--block", o.block, "first block within the sector")->capture_default_str();
  writeMifare->add_option("-d,--data", o.data, "16 bytes hex per block")->required();
  auto* writePage = write->add_subcommand("page", "pages 4 to 15 of a 7-byte-UID card");
  writePage->add_option("--start", o.start, "first page, 4 to 15")->capture_default_str();
  writePage->add_option("-d,--data", o.data, "4 bytes hex per page")->required();

  auto* key = app.add_subcommand("key", "change key A of a MIFARE Classic sector, or write page 3");
  key->require_subcommand(1);
  auto* keyMifare = key->add_subcommand("mifare", "replace key A in the sector trailer");
  addMifareOptions(keyMifare, o);
  keyMifare->add_option("--new-key", o.newKey, "the new key A, 6 bytes hex")->required();
  auto* keyPage = key->add_subcommand("page", "write page 3 (one-time programmable) of a 7-byte-UID card");
  keyPage->add_option("-d,--data", o.data, "the 4 bytes of page 3")->required();

  auto* apdu = app.add_subcommand("apdu", "exchange APDUs with a Type B card through the RW_ interface");
  apdu->add_option("apdus", o.apdus, "APDUs in hex, one per argument")->required();

  auto* peer = app.add_subcommand("peer", "NFC peer-to-peer initiator: send a payload, read segments");
  peer->add_option("--baud", o.baud, "activation speed: 106, 212 or 424 kbit/s")->capture_default_str();
  peer->add_option("--send", o.payload, "a payload in hex; the peer's answer is printed");
  peer->add_option("--segments", o.segments, "read this many 243-byte segments (0x70: up to 94)");
  peer->add_option("--block", o.segmentBlock, "block of the first segment")->capture_default_str();
  peer->add_option("--segment", o.firstSegment, "first segment within the block")->capture_default_str();
  peer->add_flag("--block0", o.fromBlock0, "read from block 0 without carry (0x71: up to 28 segments)");
  peer->add_flag("--whole", o.whole, "ask for all segments in one command (no progress)");
  peer->add_flag("--dump", o.dump, "print a full hex dump of the segments");
  peer->add_option("-o,--out", o.outFile, "write the segments' bytes to this file");

  auto* target = app.add_subcommand("target", "target mode: wait for an initiator and answer it");
  target->add_option("--reply", o.reply, "send this payload back after every message");
  target->add_option("--serve", o.serveFile, "answer segment requests (A6 block segment) from this file");
  target->add_option("--max", o.maxMessages, "stop after this many messages")->capture_default_str();

  auto* send = app.add_subcommand("send", "send one command packet in hex and print the response");
  send->add_option("bytes", o.packet, "the packet: LEN CMD parameters, e.g. 07 10 11 0A 00 00 00")->required();
  send->add_flag("--len", o.addLength, "put LEN in front of the bytes given");
  send->add_flag("--force", o.force, "send even when LEN does not match the bytes given");
}

int runSelected(CLI::App& app, Context& c, std::string* name) {
  using Run = int (*)(Context&);
  struct Entry {
    const char* name;
    Run run;
  };
  static const Entry kTable[] = {
      {"ports", runPorts},
      {"info", runInfo},
      {"detect", runDetect},
      {"read felica", runReadFelica},
      {"read mifare", runReadMifare},
      {"read page", runReadPages},
      {"write felica", runWriteFelica},
      {"write mifare", runWriteMifare},
      {"write page", runWritePages},
      {"key mifare", runKeyMifare},
      {"key page", runKeyPage},
      {"apdu", runApdu},
      {"peer", runPeer},
      {"target", runTarget},
      {"send", runSend},
  };
  std::vector<CLI::App*> chosen = app.get_subcommands();
  if (chosen.empty()) return -1;
  std::string full = chosen.front()->get_name();
  std::vector<CLI::App*> inner = chosen.front()->get_subcommands();
  if (!inner.empty()) full += " " + inner.front()->get_name();
  *name = full;
  for (const Entry& e : kTable) {
    if (full == e.name) return e.run(c);
  }
  return -1;
}

}  // namespace pelvtool
