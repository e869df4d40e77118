#include "virtual_reader.h"

#if !defined(_WIN32) && !defined(PELVANE_TOOL_NO_VIRTUAL_READER)
#define PELVANE_TOOL_VIRTUAL_READER 1
#else
#define PELVANE_TOOL_VIRTUAL_READER 0
#endif

#if PELVANE_TOOL_VIRTUAL_READER
#include "cards.h"
#include "field.h"
#include "pty_server.h"
#endif

namespace pelvtool {

#if PELVANE_TOOL_VIRTUAL_READER

struct VirtualReader::State {
  pelvsim::PtyServer server;
};

VirtualReader::VirtualReader() : state_(new State) {}

VirtualReader::~VirtualReader() { state_->server.stop(); }

bool VirtualReader::start(const std::string& cards, std::string* error) {
  std::string message;
  if (!state_->server.open(&message)) {
    if (error) *error = "the virtual reader could not open a pseudo-terminal: " + message;
    return false;
  }
  bool cardsOk = true;
  state_->server.withController([&](pelvsim::Controller& c) {
    c.field().clear();
    cardsOk = pelvsim::addCards(cards, c.field(), &message);
  });
  if (!cardsOk) {
    if (error) *error = message + " (known cards: " + cardNames() + ")";
    return false;
  }
  if (!state_->server.start()) {
    if (error) *error = "the virtual reader could not start";
    return false;
  }
  return true;
}

std::string VirtualReader::devicePath() const { return state_->server.slavePath(); }

void VirtualReader::setFieldPresent(bool present) {
  state_->server.withController([present](pelvsim::Controller& c) { c.field().present = present; });
}

std::string VirtualReader::cardNames() {
  std::string all;
  for (const std::string& n : pelvsim::cardNames()) {
    if (!all.empty()) all += ", ";
    all += n;
  }
  return all;
}

std::string VirtualReader::defaultCards() { return pelvsim::kDefaultCards; }

#else  // Windows: no pseudo-terminals

struct VirtualReader::State {};

VirtualReader::VirtualReader() : state_(new State) {}
VirtualReader::~VirtualReader() = default;

bool VirtualReader::start(const std::string&, std::string* error) {
  if (error) *error = "the virtual reader needs a POSIX system";
  return false;
}

std::string VirtualReader::devicePath() const { return ""; }
void VirtualReader::setFieldPresent(bool) {}
std::string VirtualReader::cardNames() { return ""; }
std::string VirtualReader::defaultCards() { return ""; }

#endif

}  // namespace pelvtool
