#include "reader.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "names.h"
#include "pelvane.h"
#include "virtual_reader.h"

namespace pelvtool {
namespace {

void PELVANE_CALL traceToStderr(const char* line) {
  std::fprintf(stderr, "trace: %s", line);
  std::fflush(stderr);
}

// While a port is being opened, the library's "open: " lines are kept: they tell
// why an opening failed, and a failed opening prints them.
std::vector<std::string> openingLines;
bool tracing = false;

void PELVANE_CALL keepOpeningLines(const char* line) {
  if (tracing) traceToStderr(line);
  if (std::strncmp(line, "open: ", 6) == 0) openingLines.emplace_back(line);
}

class OpeningTrace {
 public:
  explicit OpeningTrace(bool trace) {
    tracing = trace;
    openingLines.clear();
    PV_SetTraceSink(&keepOpeningLines);
  }
  ~OpeningTrace() { PV_SetTraceSink(tracing ? &traceToStderr : nullptr); }
  // The hint, then what the library said while opening (unless --trace has
  // just printed those lines).
  static std::string hint(const std::string& hintText) {
    if (openingLines.empty() || tracing) return hintText;
    std::string text = hintText + "; the library said:";
    for (const std::string& line : openingLines) {
      text += "\n  " + line.substr(0, line.find_last_not_of('\n') + 1);
    }
    return text;
  }
};

// The opening failed because the port's device does not exist: the open call's
// "not found" (Windows: file or path not found, no such device; POSIX: ENOENT).
bool portMissing() {
  static const char* const kMissing[] = {"CreateFileA failed, error 2 (", "CreateFileA failed, error 3 (",
                                         "CreateFileA failed, error 433 (", ": open failed, error 2 ("};
  for (const std::string& line : openingLines) {
    for (const char* text : kMissing) {
      if (line.find(text) != std::string::npos) return true;
    }
  }
  return false;
}

std::string orSim(const std::string& hintText) { return hintText + ", or try --sim"; }

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::string hintForStatus(std::uint8_t status) {
  switch (status) {
    case 0xFE: return "nothing answered in time; is a card (or peer) on the reader?";
    case 0xFF: return "the link to the reader failed or the mode does not fit; run again with --trace";
    case 0xFD: return "the packet length does not fit the command";
    case 0xFC: return "a parameter is out of range";
    case 0xF9: return "the card refused: check the service code and the block numbers";
    case 0x01: return "the card stopped answering; keep it on the reader";
    case 0x14: return "wrong key or UID, or not a MIFARE Classic card (the factory key is FFFFFFFFFFFF)";
    case 0x29: return "the initiator released the reader";
    default: return "";
  }
}

}  // namespace

int exitForStatus(std::uint8_t status) {
  // The library's time-out and the controller's "the target did not answer in time".
  return status == 0xFE || status == 0x01 ? kExitTimeout : kExitFailed;
}

Reader::Reader(const ReaderChoice& choice, Output& out) : choice_(choice), out_(out) {}

Reader::~Reader() {
  close();
  if (choice_.trace) PV_SetTraceSink(nullptr);
}

void Reader::prepare() {
  if (prepared_) return;
  prepared_ = true;
  if (choice_.trace) PV_SetTraceSink(&traceToStderr);
  if (choice_.lineSpeed != 0 && PV_SetLineSpeed(0, choice_.lineSpeed) != PELVANE_EXT_DONE) {
    throw Failure(kExitUsage, "no line speed " + std::to_string(choice_.lineSpeed),
                  "use 230400, 460800 or 921600");
  }
  std::string device = choice_.device;
  if (choice_.sim) {
    virtual_.reset(new VirtualReader);
    std::string error;
    if (!virtual_->start(choice_.cards, &error)) throw Failure(kExitInternal, error);
    device = virtual_->devicePath();
  }
  if (!device.empty()) {
    if (choice_.port < 0) choice_.port = kDefaultMappedPort;
    if (PV_SetPortDevice(choice_.port, device.c_str()) != PELVANE_EXT_DONE) {
      throw Failure(kExitUsage, "cannot map port " + std::to_string(choice_.port) + " to " + device,
                    "the port must be 1 to 256 and the path short");
    }
  }
}

std::string Reader::where() const {
  const int port = port_ > 0 ? port_ : choice_.port;
  if (choice_.sim && virtual_) {
    return "virtual reader on " + virtual_->devicePath() + " (port " + std::to_string(port) + ")";
  }
  if (!choice_.device.empty()) return choice_.device + " (port " + std::to_string(port) + ")";
#if defined(_WIN32)
  return "COM" + std::to_string(port);
#else
  return "port " + std::to_string(port) + " (/dev/ttyUSB" + std::to_string(port - 1) + ")";
#endif
}

void Reader::open() {
  if (open_) return;
  prepare();
  std::int32_t opened = 0;
  OpeningTrace opening(choice_.trace);
  const unsigned result = RF_OPEN(choice_.port, &opened);
  const std::string text = "RF_OPEN(" + std::to_string(choice_.port) + ")";
  out_.call(text, static_cast<std::int32_t>(result), openResultMeaning(result));
  if (result == 0) {
    open_ = true;
    port_ = opened;
    return;
  }
  // A scan that fails says so whatever its result: 0xFFFF, or 1 when a bridge
  // port it found could not be opened (the open: lines tell which).
  if (choice_.port == PELVANE_PORT_SCAN) {
    throw Failure(kExitNoReader, "no reader found on any CP210x or PL2303 port",
                  OpeningTrace::hint(kScanHint));
  }
  if (result == PELVANE_RESULT_REFUSED) {
    throw Failure(kExitUsage, "port " + std::to_string(choice_.port) + " is outside 1 to 256");
  }
  port_ = choice_.port;
  if (portMissing()) {
    throw Failure(kExitNoReader, where() + " does not exist",
                  OpeningTrace::hint(orSim("run 'pelvane ports --all' to see the ports present")));
  }
  throw Failure(kExitNoReader, "no reader answered on " + where(),
                OpeningTrace::hint(orSim("check the cable and the port number")));
}

Exchange Reader::command(const Bytes& request) {
  Exchange e;
  e.request = request;
  // The library reads LEN bytes of the packet; a packet typed by hand may
  // announce more than it holds, so it always sits in a full zeroed area.
  std::vector<std::uint8_t> packet(256, 0);
  std::copy(request.begin(), request.end(), packet.begin());
  std::vector<std::uint8_t> response(PELVANE_RESPONSE_MAX + 256);
  const std::uint8_t cmd = request.size() > 1 ? request[1] : 0;
  prepareResponse(cmd, response.data(), response.size());
  const auto start = std::chrono::steady_clock::now();
  e.result = RF_COMMAND(port_, packet.data(), response.data());
  e.milliseconds = millisecondsSince(start);
  e.response = parseResponse(cmd, response.data(), response.size());
  // Result 2 with status 0xFF is the answer for a port that is not open: the
  // library closes a port itself after a failed segmented read.
  if (e.result == 2 && e.response.written && e.response.status == 0xFF) open_ = false;
  out_.exchange(e);
  return e;
}

Exchange Reader::expect(const Bytes& request, const std::string& what) {
  Exchange e = command(request);
  if (!e.ok()) failExchange(e, what);
  return e;
}

void failExchange(const Exchange& e, const std::string& what) {
  if (!e.response.written) {
    throw Failure(kExitFailed,
                  what + ": no response (result " + std::to_string(e.result) + ", " + resultName(e.result) + ")",
                  resultMeaning(e.result));
  }
  const std::uint8_t status = e.response.status;
  if (status == 0) {
    throw Failure(kExitFailed, what + ": result " + std::to_string(e.result) + " (" + resultName(e.result) + ")");
  }
  throw Failure(exitForStatus(status), what + ": " + describeStatus(status) + " - " + statusMeaning(status),
                hintForStatus(status));
}

void Reader::openTypeB() {
  prepare();
  int port = port_ > 0 ? port_ : choice_.port;
  if (open_) {
    const std::int32_t closed = RF_CLOSE(port_);
    out_.call("RF_CLOSE(" + std::to_string(port_) + ")", closed, closed == 0 ? "closed" : "not open");
    open_ = false;
  } else if (port < 0) {
    open();  // the scan finds the port; RW_Open takes a port number
    port = port_;
    const std::int32_t closed = RF_CLOSE(port_);
    out_.call("RF_CLOSE(" + std::to_string(port_) + ")", closed, closed == 0 ? "closed" : "not open");
    open_ = false;
  }
  if (port < 1 || port > 255) {
    throw Failure(kExitUsage, "the Type B card interface reaches ports 1 to 255 only");
  }
  OpeningTrace opening(choice_.trace);
  const std::int32_t code = RW_Open(port);
  out_.call("RW_Open(" + std::to_string(port) + ")", code, rwResultName(code));
  port_ = port;
  if (code == PELVANE_RW_OK) {
    open_ = true;
    return;
  }
  if (code == PELVANE_RW_NO_CARD) {
    open_ = true;  // RW_Open leaves the port open when its set-up fails
    throw Failure(kExitNoReader, "the reader on " + where() + " did not take the Type B set-up");
  }
  if (portMissing()) {
    throw Failure(kExitNoReader, where() + " does not exist (" + rwResultName(code) + ")",
                  OpeningTrace::hint(orSim("run 'pelvane ports --all' to see the ports present")));
  }
  throw Failure(kExitNoReader, "no reader answered on " + where() + " (" + rwResultName(code) + ")",
                OpeningTrace::hint(orSim("check the cable and the port number")));
}

std::int32_t Reader::rwActivate() {
  const std::int32_t code = RW_Activate(port_, 1, 0, 0, 0);
  out_.call("RW_Activate(" + std::to_string(port_) + ", 1, 0, 0, 0)", code, rwResultName(code));
  return code;
}

std::int32_t Reader::rwTransmit(const Bytes& apdu, Bytes* answer) {
  std::vector<std::uint8_t> buffer(PELVANE_APDU_RESPONSE_MAX, 0);
  std::int32_t length = 0;
  const auto start = std::chrono::steady_clock::now();
  const std::int32_t code = RW_Transmit(port_, 0, 0, static_cast<std::int32_t>(apdu.size()), apdu.data(),
                                        &length, buffer.data());
  const double ms = millisecondsSince(start);
  std::string meaning = rwResultName(code);
  if (code == 0) {
    if (length < 0) length = 0;
    if (length > PELVANE_APDU_RESPONSE_MAX) length = PELVANE_APDU_RESPONSE_MAX;
    answer->assign(buffer.begin(), buffer.begin() + length);
    meaning += ", " + std::to_string(length) + " bytes";
  }
  char timing[32];
  std::snprintf(timing, sizeof timing, " (%.0f ms)", ms);
  out_.call("RW_Transmit(" + std::to_string(port_) + ", " + hexBytes(apdu) + ")", code, meaning + timing);
  return code;
}

std::int32_t Reader::rwDeactivate() {
  const std::int32_t code = RW_Deactivate(port_, 0, 0);
  out_.call("RW_Deactivate(" + std::to_string(port_) + ")", code, rwResultName(code));
  return code;
}

std::int32_t Reader::rwSense(std::int32_t* status) {
  const std::int32_t code = RW_Sense(port_, 0, status, 0);
  out_.call("RW_Sense(" + std::to_string(port_) + ")", code, cardStatusName(*status));
  return code;
}

void Reader::close() {
  if (!open_) return;
  open_ = false;
  const std::int32_t closed = RF_CLOSE(port_);
  out_.call("RF_CLOSE(" + std::to_string(port_) + ")", closed, closed == 0 ? "closed" : "not open");
}

}  // namespace pelvtool
