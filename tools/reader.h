// The reader the tool works with, reached only through the library's exported
// functions, as any host application reaches it: RF_OPEN / RF_COMMAND / RF_CLOSE,
// the RW_ functions, PV_SetPortDevice and PV_SetTraceSink.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "output.h"

namespace pelvtool {

struct ReaderChoice {
  int port = -1;        // -1: scan the bridge ports
  std::string device;   // a device path mapped onto the port number (POSIX)
  bool sim = false;     // the built-in virtual reader (POSIX)
  std::string cards;    // what lies in the virtual reader's field
  bool trace = false;   // the library's trace lines on stderr
  int lineSpeed = 0;    // a faster line asked for with PV_SetLineSpeed; 0: none
};

// Port number the virtual reader and --device use when --port is not given.
constexpr int kDefaultMappedPort = 1;

// What to try when a scan finds no reader.
#if defined(_WIN32)
constexpr const char* kScanHint = "run 'pelvane ports --all' to find the reader's COM port, then try --port N";
#else
constexpr const char* kScanHint = "try --port N or --sim";
#endif

class VirtualReader;  // virtual_reader.h

class Reader {
 public:
  Reader(const ReaderChoice& choice, Output& out);
  ~Reader();  // closes the port and stops the virtual reader
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Opens the reader with RF_OPEN; throws Failure (exit 3) when none opens.
  void open();
  bool isOpen() const { return open_; }
  int port() const { return port_; }
  // "COM3", "/dev/pts/4 as port 1", "virtual reader on /dev/pts/4 (port 1)".
  std::string where() const;

  // One RF_COMMAND, recorded in the output.
  Exchange command(const Bytes& request);
  // As command, and a Failure when the command did not succeed: `what` says
  // what was being done ("polling for a FeliCa card"), hints come from the status.
  Exchange expect(const Bytes& request, const std::string& what);

  // Switches to the RW_ interface: the port is closed if RF_OPEN had it and
  // reopened with RW_Open. Throws Failure when RW_Open fails.
  void openTypeB();
  // RW_ calls, recorded in the output.
  std::int32_t rwActivate();
  std::int32_t rwTransmit(const Bytes& apdu, Bytes* answer);
  std::int32_t rwDeactivate();
  std::int32_t rwSense(std::int32_t* status);

  void close();

  // The virtual reader behind --sim; null otherwise.
  VirtualReader* virtualReader() { return virtual_.get(); }

 private:
  void prepare();  // virtual reader, device mapping, trace sink: once

  ReaderChoice choice_;
  Output& out_;
  std::unique_ptr<VirtualReader> virtual_;
  bool prepared_ = false;
  bool open_ = false;
  int port_ = -1;
};

// Throws the Failure that describes a command that did not succeed.
[[noreturn]] void failExchange(const Exchange& e, const std::string& what);

// Exit code for a response status that is not 0x00: 4 for a time-out (0xFE, or
// 0x01 from the controller), else 1.
int exitForStatus(std::uint8_t status);

}  // namespace pelvtool
