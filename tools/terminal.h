// The little the tool needs from the terminal: whether a stream is one, a
// progress bar on stderr, and raw key input for the shell's line editor.
#pragma once

#include <cstdio>
#include <string>

namespace pelvtool {

bool isTerminal(std::FILE* stream);

// "[#########           ]  41/94 segments" on stderr, redrawn in place. Shows
// nothing unless enabled and stderr is a terminal.
class Progress {
 public:
  Progress(std::string unit, unsigned total, bool enabled);
  ~Progress();
  void update(unsigned done);
  void finish();

 private:
  std::string unit_;
  unsigned total_;
  bool shown_;
  bool finished_ = false;
};

// Raw, unechoed key input from a terminal on stdin (POSIX); elsewhere
// available() is false and the shell reads plain lines.
class RawKeys {
 public:
  RawKeys();
  ~RawKeys();  // restores the terminal
  RawKeys(const RawKeys&) = delete;
  RawKeys& operator=(const RawKeys&) = delete;
  bool available() const { return active_; }
  // The next byte typed, or -1 at end of input.
  int next();

 private:
  bool active_ = false;
  struct Saved;
  Saved* saved_ = nullptr;
};

}  // namespace pelvtool
