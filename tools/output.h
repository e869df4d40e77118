// Everything the tool tells the person or the script: text lines on stdout,
// the packets of each exchange when asked for, notes and progress on stderr,
// and, with --json, one JSON document on stdout at the end instead of the text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "hex.h"
#include "json.h"
#include "packets.h"

namespace pelvtool {

// A command that cannot go on: the exit code, one line saying why, and what to
// try. Thrown inside the tool only; main turns it into the output and the exit code.
struct Failure : std::runtime_error {
  Failure(int exitCode, const std::string& message, std::string hintText = "")
      : std::runtime_error(message), exit(exitCode), hint(std::move(hintText)) {}
  int exit;
  std::string hint;
};

// One RF_COMMAND call.
struct Exchange {
  Bytes request;
  Response response;
  unsigned result = 0;
  double milliseconds = 0;

  bool ok() const { return result == 0 && response.written && response.status == 0; }
};

class Output {
 public:
  Output(bool json, bool packets) : json_(json), packets_(packets) {}

  bool json() const { return json_; }
  bool packets() const { return packets_; }
  void setPackets(bool on) { packets_ = on; }

  // A line for the person (stdout; nothing in JSON mode).
  void line(const std::string& text);
  // A heading of the demo or a step: printed like line, recorded in JSON as a step title.
  void heading(const std::string& text);
  // A dump or other block of lines, printed as is.
  void block(const std::string& text);
  // A remark on stderr that is not the result (kept out of stdout and JSON).
  void note(const std::string& text);

  // Records an exchange; prints its packets when packets are shown:
  //   > 07 10 11 0A 00 00 00
  //   < 05 10 00 32 01                 ok, result 0 done  (12 ms)
  void exchange(const Exchange& e);
  // Records an RW_ call and its code; printed when packets are shown:
  //   RW_Open(1) = 0x0000 success
  void call(const std::string& text, std::int32_t code, const std::string& meaning);

  // The command's result fields for JSON.
  Json& fields() { return fields_; }
  // Hands the fields over and starts an empty set (one step of the demo).
  Json takeFields();

  // The JSON document of a finished command: command, ok, exit, exit_name,
  // error and hint when given, result (the fields), steps.
  Json document(const std::string& command, int exitCode, const std::string& error,
                const std::string& hint) const;
  // Writes the JSON document (JSON mode) or nothing; then the error, if any,
  // goes to stderr as one line: "pelvane: <message>; <hint>".
  void finish(const std::string& command, int exitCode, const std::string& error,
              const std::string& hint);
  // Starts a fresh record (the shell runs several commands on one Output).
  void reset();

 private:
  bool json_;
  bool packets_;
  Json fields_ = Json::object();
  Json steps_ = Json::array();
};

// Describes a response status in a few words: "0xFE time-out".
std::string describeStatus(std::uint8_t status);

}  // namespace pelvtool
