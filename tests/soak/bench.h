// What the soak runs against: the simulated controller, with the soak's cards,
// behind the serial line of one port. The soak itself serves it on a
// pseudo-terminal in real time (pty_bench.cpp, linked with the real serial
// code); the replay puts it on the simulated port and its virtual clock
// (virtual_bench.cpp, linked with the library over the simulated platform), so
// that thousands of calls run in seconds and a call's bytes can be shown.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "controller.h"

namespace soak {

class Bench {
 public:
  virtual ~Bench() = default;

  // Puts the controller on a new line and points `port` at it (PV_SetPortDevice).
  // The first call also fills the field. False with a message on failure.
  virtual bool start(int port, std::string* error) = 0;
  // The line goes away for good: every call on the open port fails from now on.
  virtual void dropLine() = 0;
  virtual void stop() = 0;
  virtual std::string linePath() const = 0;

  // Runs fn with the controller, under the server's lock where there is one.
  virtual void withController(const std::function<void(pelvsim::Controller&)>& fn) = 0;
  // Waits (at most 2 s) until the controller has nothing more on its way to the
  // host, so that a late answer of a faulted call cannot meet the next one.
  virtual bool waitQuiet() = 0;

  // The clock calls are timed on, in ms: the steady clock, or the virtual one.
  virtual double nowMs() const = 0;
  // True on the pseudo-terminal: calls take real time and the machine can stall them.
  virtual bool realTime() const = 0;

  // Replay: from now on keep every byte that crosses the line, and give them
  // (one line each way and write) when asked. Nothing on the real line.
  virtual void recordLine(bool /*on*/) {}
  virtual std::string lineRecord() const { return ""; }
};

std::unique_ptr<Bench> makeBench();

// The field both benches serve.
constexpr const char* kSoakCards = "felica,mifare1k,typeB,peer";

}  // namespace soak
