#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "line_editor.h"
#include "names.h"
#include "session.h"
#include "terminal.h"

namespace pelvtool {
namespace {

const char* const kShellHelp =
    "Type a command packet in hex (07 10 11 0A 00 00 00), or a command:\n"
    "  info | detect [-t felica,typeA,typeB] | send BYTES [--len]\n"
    "  read felica|mifare|page ... | write felica|mifare|page ... | key mifare|page ...\n"
    "  apdu APDU... | peer [--send HEX] [--segments N] | target [--reply HEX] | ports\n"
    "  any command takes -p (show packets) and --timeout SECONDS; 'CMD --help' shows its options\n"
    "  history | !! | !N | help | quit\n";

// One line, with the editor on a terminal or as typed on other input. False at the end of input.
bool readLine(const std::string& prompt, const History& history, std::string* line) {
  RawKeys keys;
  if (!keys.available()) {
    if (isTerminal(stdin)) {
      std::fputs(prompt.c_str(), stdout);
      std::fflush(stdout);
    }
    return static_cast<bool>(std::getline(std::cin, *line));
  }
  LineEditor editor(history.lines());
  std::fputs(editor.render(prompt).c_str(), stdout);
  std::fflush(stdout);
  for (;;) {
    const int key = keys.next();
    if (key < 0) return false;
    const LineEditor::Event ev = editor.feed(static_cast<unsigned char>(key));
    if (ev == LineEditor::Event::EndOfInput) {
      std::fputs("\r\n", stdout);
      return false;
    }
    std::fputs(editor.render(prompt).c_str(), stdout);
    if (ev == LineEditor::Event::Accept) {
      std::fputs("\r\n", stdout);
      std::fflush(stdout);
      *line = editor.line();
      return true;
    }
    if (ev == LineEditor::Event::Cancel) {
      std::fputs("^C\r\n", stdout);
      std::fputs(editor.render(prompt).c_str(), stdout);
    }
    std::fflush(stdout);
  }
}

std::string trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  const std::size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

// Runs one shell line as a command; returns its exit code.
int runLine(const std::vector<std::string>& words, Reader& reader, Output& out, const Options& globals) {
  Options o;
  o.reader = globals.reader;
  o.json = globals.json;
  o.packets = globals.packets;
  o.timeoutSeconds = globals.timeoutSeconds;
  CLI::App app{"shell command"};
  app.require_subcommand(1);
  app.fallthrough();
  app.add_flag("-p,--packets", o.packets, "show every command packet and response");
  app.add_option("--timeout", o.timeoutSeconds, "time-out in seconds")->check(CLI::Range(0.1, 25.5));
  addCommands(app, o);
  std::vector<std::string> args(words.rbegin(), words.rend());  // CLI11 takes them last first
  try {
    app.parse(args);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "pelvane: %s; type help\n", e.what());
    return kExitUsage;
  }
  out.reset();
  const bool shown = out.packets();
  out.setPackets(o.packets);
  Context c{reader, out, o};
  std::string name;
  int code = kExitOk;
  std::string error;
  std::string hint;
  try {
    code = runSelected(app, c, &name);
    if (code < 0) {
      code = kExitUsage;
      error = "no such command";
      hint = "type help";
    }
  } catch (const Failure& f) {
    code = f.exit;
    error = f.what();
    hint = f.hint;
  }
  out.finish(name, code, error, hint);
  out.setPackets(shown);
  return code;
}

}  // namespace

int runShell(Reader& reader, Output& out, const Options& globals) {
  reader.open();
  if (!out.json()) {
    std::printf("pelvane shell on %s; type help, or quit to leave\n", reader.where().c_str());
  }
  History history;
  int last = kExitOk;
  std::string raw;
  while (readLine("pelvane> ", history, &raw)) {
    std::string line;
    std::string error;
    if (!history.expand(trim(raw), &line, &error)) {
      std::fprintf(stderr, "pelvane: %s\n", error.c_str());
      last = kExitUsage;
      continue;
    }
    line = trim(line);
    if (line.empty()) continue;
    if (line != trim(raw)) std::printf("%s\n", line.c_str());
    history.add(line);
    if (line == "quit" || line == "exit") break;
    if (line == "help") {
      std::fputs(kShellHelp, stdout);
      continue;
    }
    if (line == "history") {
      std::fputs(history.listing().c_str(), stdout);
      continue;
    }
    std::vector<std::string> words = splitWords(line, &error);
    if (words.empty()) {
      std::fprintf(stderr, "pelvane: %s\n", error.c_str());
      last = kExitUsage;
      continue;
    }
    // A line of nothing but hex is a packet to send.
    Bytes packet;
    if (parseHex(line, &packet, nullptr) && !packet.empty()) words.insert(words.begin(), "send");
    last = runLine(words, reader, out, globals);
    std::fflush(stdout);
  }
  out.reset();
  return last;
}

}  // namespace pelvtool
