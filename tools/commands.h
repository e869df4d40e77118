// The tool's commands. Each takes the reader and the options of one parse,
// prints what it found and returns the exit code; a command that cannot go on
// throws Failure.
#pragma once

#include <string>
#include <vector>

#include "output.h"
#include "reader.h"

namespace CLI {
class App;
}

namespace pelvtool {

// Every option of every command. One instance is filled by one parse (the
// command line, or one line of the shell).
struct Options {
  ReaderChoice reader;
  bool json = false;
  bool packets = false;
  double timeoutSeconds = 1.0;  // mode selection's time-out byte, in seconds

  // ports
  bool allPorts = false;  // every serial port, not only the bridges a scan tries

  // detect
  std::vector<std::string> technologies;
  std::string systemCode = "FFFF";
  int timeSlot = 0;
  std::string afi = "00";

  // read, write, key
  std::vector<std::string> services;  // FeliCa service codes
  std::string blocks = "0";           // FeliCa block list
  bool lite = false;
  int sector = 1;
  int block = 0;
  int count = 0;  // 0: a default that suits the card
  std::string key = "FFFFFFFFFFFF";
  std::string newKey;
  int start = 4;
  std::string data;

  // apdu
  std::vector<std::string> apdus;

  // peer, target
  int baud = 106;
  std::string payload;
  int segments = 0;
  int segmentBlock = 0;
  int firstSegment = 0;
  bool fromBlock0 = false;
  bool whole = false;
  bool dump = false;
  std::string outFile;
  std::string reply;
  std::string serveFile;
  int maxMessages = 16;

  // send
  std::vector<std::string> packet;
  bool addLength = false;
  bool force = false;
};

struct Context {
  Reader& reader;
  Output& out;
  const Options& o;
  std::uint8_t timeoutTenths() const;
};

int runPorts(Context& c);
int runInfo(Context& c);
int runDetect(Context& c);
int runReadFelica(Context& c);
int runWriteFelica(Context& c);
int runReadMifare(Context& c);
int runWriteMifare(Context& c);
int runReadPages(Context& c);
int runWritePages(Context& c);
int runKeyMifare(Context& c);
int runKeyPage(Context& c);
int runApdu(Context& c);
int runPeer(Context& c);
int runTarget(Context& c);
int runSend(Context& c);

// Registers the card and reader commands (everything but shell and demo) on app.
void addCommands(CLI::App& app, Options& o);
// Runs the command that the last parse of app selected; the name of the command
// (e.g. "read felica") goes to *name. -1 when no command was selected.
int runSelected(CLI::App& app, Context& c, std::string* name);

}  // namespace pelvtool
