#include "virtual_reader.h"

#include <string>

#if !defined(PELVANE_TOOL_NO_VIRTUAL_READER)
#include "cards.h"
#include "field.h"

#if defined(_WIN32)
#include <process.h>

#include "pipe_server.h"
#else
#include "pty_server.h"
#endif
#endif

namespace pelvtool {

#if !defined(PELVANE_TOOL_NO_VIRTUAL_READER)

struct VirtualReader::State {
#if defined(_WIN32)
  pelvsim::PipeServer server;
#else
  pelvsim::PtyServer server;
#endif
};

VirtualReader::VirtualReader() : state_(new State) {}

VirtualReader::~VirtualReader() { state_->server.stop(); }

bool VirtualReader::start(const std::string& cards, std::string* error) {
  std::string message;
#if defined(_WIN32)
  // A pipe of this process's own, so that tools running at once do not meet.
  const std::string pipe = "pelvane-sim-" + std::to_string(_getpid());
  if (!state_->server.openPipe(pipe, &message)) {
    if (error) *error = "the virtual reader could not create its pipe: " + message;
    return false;
  }
#else
  if (!state_->server.open(&message)) {
    if (error) *error = "the virtual reader could not open a pseudo-terminal: " + message;
    return false;
  }
#endif
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

#else  // built without the simulator's transport

struct VirtualReader::State {};

VirtualReader::VirtualReader() : state_(new State) {}
VirtualReader::~VirtualReader() = default;

bool VirtualReader::start(const std::string&, std::string* error) {
  if (error) *error = "the virtual reader is not part of this build";
  return false;
}

std::string VirtualReader::devicePath() const { return ""; }
bool VirtualReader::setCards(const std::string&, std::string* error) {
  if (error) *error = "the virtual reader is not part of this build";
  return false;
}
std::string VirtualReader::cardNames() { return ""; }
std::string VirtualReader::defaultCards() { return ""; }

#endif

}  // namespace pelvtool
