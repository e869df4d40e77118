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
  if (!setCards(cards, error)) return false;
  if (!state_->server.start()) {
    if (error) *error = "the virtual reader could not start";
    return false;
  }
  return true;
}

std::string VirtualReader::devicePath() const { return state_->server.slavePath(); }

bool VirtualReader::setCards(const std::string& cards, std::string* error) {
  bool ok = true;
  std::string message;
  state_->server.withController([&](pelvsim::Controller& c) {
    pelvsim::Field field;
    ok = pelvsim::addCards(cards, field, &message);
    if (ok) c.field() = std::move(field);
  });
  if (!ok && error) *error = message + " (known cards: " + cardNames() + ")";
  return ok;
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
bool VirtualReader::setCards(const std::string&, std::string* error) {
  if (error) *error = "the virtual reader needs a POSIX system";
  return false;
}
std::string VirtualReader::cardNames() { return ""; }
std::string VirtualReader::defaultCards() { return ""; }

#endif

}  // namespace pelvtool
