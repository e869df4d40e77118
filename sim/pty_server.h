// Serves a Controller on a pseudo-terminal in real time (POSIX only). The host
// opens slavePath() as its serial port. The server keeps a slave descriptor of
// its own open, so the host closing and reopening the port never hangs up the
// master, and reads the host side's line speed from it: bytes written while the
// host's speed differs from the controller's are lost, as on a real line.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "controller.h"

namespace pelvsim {

class PtyServer {
 public:
  PtyServer();
  ~PtyServer();  // stops the thread and closes the terminal
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Opens the pseudo-terminal (raw mode). False with a message on failure.
  bool open(std::string* error = nullptr);
  // e.g. /dev/pts/7; empty before open().
  const std::string& slavePath() const;

  // Serves in a background thread until stop(); start() after open().
  bool start();
  void stop();
  bool running() const;

  // Runs fn with the controller under the server's lock: the one safe way to
  // configure the field, faults or settings while serving.
  void withController(const std::function<void(Controller&)>& fn);

  // The line goes away for good: the master is closed, the host's reads and
  // writes on the slave fail or see a hang-up from now on.
  void dropLine();

  // The server's clock (microseconds, monotonic), as the controller sees it.
  std::uint64_t nowUs() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace pelvsim
