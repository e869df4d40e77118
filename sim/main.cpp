// pelvane-sim: the simulated controller on a pseudo-terminal (POSIX) or on a
// named pipe or COM port (Windows). Prints the path the host opens on the first
// line of stdout and serves until SIGINT or SIGTERM (or the end of stdin with
// --until-eof). SIGUSR1 on POSIX, the command "remove" on Windows, takes the
// cards out of the field or puts them back.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "cards.h"
#include "field.h"

#if defined(_WIN32)
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <iostream>
#include <mutex>
#include <thread>

#include "pipe_server.h"
using LineServer = pelvsim::PipeServer;
#else
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "pty_server.h"
using LineServer = pelvsim::PtyServer;
#endif

namespace {

// Nobody reads the records of a long-running simulator: keep them from growing.
void clearRecords(LineServer& server) {
  server.withController([](pelvsim::Controller& c) {
    c.clearCommands();
    for (pelvsim::TypeBCard& card : c.field().typeB) card.apdus.clear();
    if (c.field().peer) c.field().peer->received.clear();
    if (c.field().initiator) c.field().initiator->received.clear();
  });
}

// Cards taken away from the reader, or brought back (their data stay).
void toggleField(LineServer& server) {
  server.withController([](pelvsim::Controller& c) { c.field().present = !c.field().present; });
}

#if defined(_WIN32)

// What the console thread and Ctrl+C tell the serving loop.
std::mutex eventMutex;
std::condition_variable eventSignal;
int toggles = 0;
bool stopping = false;
std::atomic<bool> interrupted{false};

void onInterrupt(int) { interrupted.store(true); }

// Commands on standard input, one a line: "remove" (or "r", "toggle") takes the
// cards out of the field or puts them back; "quit" (or "q") stops. The end of
// input stops too with --until-eof.
void readCommands(bool untilEof) {
  std::string line;
  for (;;) {
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    std::lock_guard<std::mutex> lock(eventMutex);
    if (!got) {
      if (untilEof) stopping = true;
      eventSignal.notify_all();
      return;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line == "remove" || line == "r" || line == "toggle") ++toggles;
    if (line == "quit" || line == "q") stopping = true;
    eventSignal.notify_all();
  }
}

bool serveUntilStopped(LineServer& server, bool untilEof) {
  std::signal(SIGINT, onInterrupt);
  std::signal(SIGTERM, onInterrupt);
#if defined(SIGBREAK)
  std::signal(SIGBREAK, onInterrupt);
#endif
  // The thread may still wait on the console at exit; the process ends it.
  std::thread(readCommands, untilEof).detach();
  for (;;) {
    int toggle = 0;
    {
      std::unique_lock<std::mutex> lock(eventMutex);
      // Ctrl+C sets a flag only (a signal handler can do no more): looked at every 100 ms.
      eventSignal.wait_for(lock, std::chrono::milliseconds(100),
                           [] { return stopping || toggles > 0; });
      if (stopping || interrupted.load()) return true;
      toggle = toggles;
      toggles = 0;
    }
    for (; toggle > 0; --toggle) toggleField(server);
    static int idleTicks = 0;
    if (++idleTicks == 10) {
      idleTicks = 0;
      clearRecords(server);
    }
  }
}

#else

int signalPipe[2] = {-1, -1};

// The signal's number goes through the pipe to the serving loop.
void onSignal(int number) {
  const char c = static_cast<char>(number);
  (void)!::write(signalPipe[1], &c, 1);
}

bool serveUntilStopped(LineServer& server, bool untilEof) {
  if (pipe(signalPipe) != 0) {
    std::perror("pelvane-sim: pipe");
    return false;
  }
  struct sigaction sa{};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  for (;;) {
    pollfd fds[2] = {{signalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int ready = ::poll(fds, untilEof ? 2 : 1, 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      clearRecords(server);
      continue;
    }
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      char number = 0;
      if (::read(signalPipe[0], &number, 1) == 1 && number == SIGUSR1) {
        toggleField(server);
        continue;
      }
      return true;
    }
    if (ready < 0) return true;
    if (untilEof && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buf[256];
      if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) return true;
    }
  }
}

#endif

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
  #if defined(_WIN32)
  CLI::App app{"Simulated NFC controller (PN532 host interface) on a named pipe or a COM port"};
#else
  CLI::App app{"Simulated NFC controller (PN532 host interface) on a pseudo-terminal"};
#endif
  bool pace = false;
  bool rfTiming = false;
  bool untilEof = false;
  std::uint32_t baud = 115200;
  std::uint32_t answerDelayUs = 0;
  std::string cards = pelvsim::kDefaultCards;
  std::string link;
  std::string initiatorPayload;
  std::string initiatorHex;
  app.add_flag("--pace", pace, "Pace bytes at 10 bits each at the line speed, both directions");
  app.add_flag("--rf-timing", rfTiming,
               "Model the RF side: every answer also waits for the air time of the frames its command "
               "exchanges with the cards and for their response times");
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
#if defined(_WIN32)
  std::string pipeName = "pelvane-COM3";
  std::string comPort;
  auto* portOption = app.add_option("--port", comPort,
                                    "Serve this COM port (one end of a null-modem pair) instead of a pipe");
  app.add_option("--pipe", pipeName, "The named pipe to serve (default pelvane-COM3: \\\\.\\pipe\\pelvane-COM3)")
      ->excludes(portOption);
#else
  app.add_option("--link", link, "Also make a symbolic link at this path to the slave");
#endif
  app.add_option("--answer-delay-us", answerDelayUs, "Time from a whole command to its ACK");
  app.add_flag("--until-eof", untilEof, "Also stop at the end of standard input");
#if defined(_WIN32)
  app.footer("A line \"remove\" on standard input takes every card, the peer and the initiator out of the\n"
             "field, or puts them back; \"quit\" or Ctrl+C stops.");
#else
  app.footer("SIGUSR1 takes every card, the peer and the initiator out of the field, or puts them back.");
#endif
  CLI11_PARSE(app, argc, argv);

  LineServer server;
  std::string error;
  bool cardsOk = true;
  server.withController([&](pelvsim::Controller& c) {
    c.setBaud(baud);
    c.setPacing(pace);
    c.setRfTiming(rfTiming);
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
#if defined(_WIN32)
  const bool opened = comPort.empty() ? server.openPipe(pipeName, &error) : server.openPort(comPort, &error);
#else
  const bool opened = server.open(&error);
#endif
  if (!opened) {
    std::fprintf(stderr, "pelvane-sim: %s\n", error.c_str());
    return 1;
  }
#if !defined(_WIN32)
  if (!link.empty()) {
    ::unlink(link.c_str());
    if (::symlink(server.slavePath().c_str(), link.c_str()) != 0) {
      std::perror("pelvane-sim: symlink");
      return 1;
    }
  }
#endif

  std::printf("%s\n", server.slavePath().c_str());
  std::fflush(stdout);
  server.start();
  const bool served = serveUntilStopped(server, untilEof);
  server.stop();
#if !defined(_WIN32)
  if (!link.empty()) ::unlink(link.c_str());
#endif
  return served ? 0 : 1;
}
