// Serves a Controller on Windows in real time, on a named pipe (the default) or
// on a COM port. The host opens the pipe as its serial port; the library's
// Windows platform writes records into it (line bytes, and each change of its
// line speed) and reads the controller's bytes back as they are. A COM port
// (one end of a null-modem pair or a cable) carries plain bytes; the server sets
// the port to the controller's speed and follows its speed switch.
//
// What a pipe cannot carry: parity and stop bits, line errors, break, the
// modem lines (DTR, RTS, CTS, DSR), flow control, and a COM port's exclusive
// open (a second client can open the pipe while the first holds it; the newest
// client takes the line over).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "controller.h"

namespace pelvsim {

class PipeServer {
 public:
  PipeServer();
  ~PipeServer();  // stops the thread and closes the pipe or port
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Creates the pipe (e.g. \\.\pipe\pelvane-COM3; a bare name gets the
  // \\.\pipe\ prefix). Fails when another program serves a pipe of that name.
  bool openPipe(const std::string& name, std::string* error = nullptr);
  // Opens a COM port (COM9 or \\.\COM9) at the controller's speed, 8N1.
  bool openPort(const std::string& port, std::string* error = nullptr);
  // The pipe or port path the host opens; empty before opening.
  const std::string& slavePath() const;

  // Serves in a background thread until stop(); start() after opening.
  bool start();
  void stop();
  bool running() const;

  // Runs fn with the controller under the server's lock.
  void withController(const std::function<void(Controller&)>& fn);

  // The server's clock (microseconds, monotonic), as the controller sees it.
  std::uint64_t nowUs() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace pelvsim
