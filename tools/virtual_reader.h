// The built-in virtual reader of --sim: the simulated controller served inside
// the tool on a pseudo-terminal (POSIX) or a named pipe (Windows), so that the
// library's real serial code runs against it.
#pragma once

#include <memory>
#include <string>

namespace pelvtool {

class VirtualReader {
 public:
  VirtualReader();
  ~VirtualReader();
  VirtualReader(const VirtualReader&) = delete;
  VirtualReader& operator=(const VirtualReader&) = delete;

  // Puts the cards of `cards` (the simulator's card list) in the field and
  // starts serving. False with a message on failure.
  bool start(const std::string& cards, std::string* error);
  // The device path the library is to open, e.g. /dev/pts/5 or \\.\pipe\pelvane-sim-1234.
  std::string devicePath() const;
  // Replaces what lies in the field; an empty list leaves it empty. False, with
  // a message, for an unknown card name (the field is then unchanged).
  bool setCards(const std::string& cards, std::string* error);
  // The card names the simulator knows, for the usage text.
  static std::string cardNames();
  static std::string defaultCards();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace pelvtool
