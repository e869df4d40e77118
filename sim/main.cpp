// pelvane-sim: the simulated controller on a pseudo-terminal. Prints the slave
// path on the first line of stdout and serves until SIGINT or SIGTERM (or the
// end of stdin with --until-eof).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "cards.h"
#include "field.h"
#include "pty_server.h"

namespace {

int signalPipe[2] = {-1, -1};

// The signal's number goes through the pipe to the serving loop.
void onSignal(int number) {
  const char c = static_cast<char>(number);
  (void)!::write(signalPipe[1], &c, 1);
}

// Hexadecimal digits in pairs, spaces allowed between bytes.
bool parseHex(const std::string& text, std::vector<std::uint8_t>* out) {
  out->clear();
  std::string digits;
  for (char ch : text) {
    if (ch == ' ' || ch == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
    digits += ch;
  }
  if (digits.empty() || digits.size() % 2 != 0) return false;
  for (std::size_t k = 0; k < digits.size(); k += 2)
    out->push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(k, 2), nullptr, 16)));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Simulated NFC controller (PN532 host interface) on a pseudo-terminal"};
  bool pace = false;
  bool untilEof = false;
  std::uint32_t baud = 115200;
  std::uint32_t answerDelayUs = 0;
  std::string cards = pelvsim::kDefaultCards;
  std::string link;
  std::string initiatorPayload;
  std::string initiatorHex;
  app.add_flag("--pace", pace, "Pace bytes at 10 bits each at the line speed, both directions");
  app.add_option("--baud", baud, "The controller's starting line speed")
      ->check(CLI::IsMember({9600, 19200, 38400, 57600, 115200}));
  app.add_option("--cards", cards, "Cards in the field: felica,felica-ndef,lite,mifare1k,mifare4k,"
                                   "page,page-ndef,typeA4,typeA7,typeA10,typeB,peer,initiator "
                                   "(felica-ndef: NFC Forum Type 3 Tag; page-ndef: Type 2 Tag)");
  auto* text = app.add_option("--initiator-payload", initiatorPayload,
                               "What the initiator sends once it has activated the reader, as text "
                               "(default: \"" + std::string(pelvsim::kInitiatorPayload) + "\")");
  app.add_option("--initiator-payload-hex", initiatorHex,
                 "What the initiator sends, as hexadecimal bytes (\"48 69\")")
      ->excludes(text);
  app.add_option("--link", link, "Also make a symbolic link at this path to the slave");
  app.add_option("--answer-delay-us", answerDelayUs, "Time from a whole command to its ACK");
  app.add_flag("--until-eof", untilEof, "Also stop at the end of standard input");
  app.footer("SIGUSR1 takes every card, the peer and the initiator out of the field, or puts them back.");
  CLI11_PARSE(app, argc, argv);

  pelvsim::PtyServer server;
  std::string error;
  bool cardsOk = true;
  server.withController([&](pelvsim::Controller& c) {
    c.setBaud(baud);
    c.setPacing(pace);
    c.setAnswerDelayUs(answerDelayUs);
    cardsOk = pelvsim::addCards(cards, c.field(), &error);
    if (!cardsOk || (initiatorPayload.empty() && initiatorHex.empty())) return;
    if (!c.field().initiator) {
      error = "--initiator-payload needs the initiator in --cards";
      cardsOk = false;
      return;
    }
    std::vector<std::uint8_t> payload(initiatorPayload.begin(), initiatorPayload.end());
    if (!initiatorHex.empty() && !parseHex(initiatorHex, &payload)) {
      error = "--initiator-payload-hex: not hexadecimal bytes: " + initiatorHex;
      cardsOk = false;
      return;
    }
    c.field().initiator->toSend = {payload};
  });
  if (!cardsOk) {
    std::fprintf(stderr, "pelvane-sim: %s\n", error.c_str());
    return 2;
  }
  if (!server.open(&error)) {
    std::fprintf(stderr, "pelvane-sim: %s\n", error.c_str());
    return 1;
  }
  if (!link.empty()) {
    ::unlink(link.c_str());
    if (::symlink(server.slavePath().c_str(), link.c_str()) != 0) {
      std::perror("pelvane-sim: symlink");
      return 1;
    }
  }
  if (pipe(signalPipe) != 0) {
    std::perror("pelvane-sim: pipe");
    return 1;
  }
  struct sigaction sa{};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);

  std::printf("%s\n", server.slavePath().c_str());
  std::fflush(stdout);
  server.start();

  for (;;) {
    pollfd fds[2] = {{signalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int ready = ::poll(fds, untilEof ? 2 : 1, 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      // Nobody reads the records of a long-running simulator: keep them from growing.
      server.withController([](pelvsim::Controller& c) {
        c.clearCommands();
        for (pelvsim::TypeBCard& card : c.field().typeB) card.apdus.clear();
        if (c.field().peer) c.field().peer->received.clear();
        if (c.field().initiator) c.field().initiator->received.clear();
      });
      continue;
    }
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      char number = 0;
      if (::read(signalPipe[0], &number, 1) == 1 && number == SIGUSR1) {
        // Cards taken away from the reader, or brought back (their data stay).
        server.withController([](pelvsim::Controller& c) { c.field().present = !c.field().present; });
        continue;
      }
      break;
    }
    if (ready < 0) break;
    if (untilEof && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buf[256];
      if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) break;
    }
  }
  server.stop();
  if (!link.empty()) ::unlink(link.c_str());
  return 0;
}
