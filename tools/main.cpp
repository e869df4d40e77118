// pelvane: the reader from the command line, through the library's exported
// functions only.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "commands.h"
#include "names.h"
#include "pelvane_version.h"
#include "session.h"
#include "virtual_reader.h"

using namespace pelvtool;

namespace {

const char* const kFooter =
    "Exit codes: 0 ok, 1 the command failed, 2 usage error, 3 no reader, 4 nothing answered in time\n"
#if defined(_WIN32)
    "(no card, peer or initiator), 5 the tool could not run.";
#else
    "(no card, peer or initiator), 5 the tool could not run (e.g. the virtual reader did not start).";
#endif

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::Option* cards = nullptr;
  CLI::App app{"pelvane: drives the contactless card reader through the Pelvane library"};
  app.set_version_flag("--version", "pelvane " PELVANE_VERSION_STRING);
  app.footer(kFooter);
  app.require_subcommand(1);
  app.fallthrough();

  app.add_option("--port", o.reader.port, "COM port number 1 to 256 (default: scan the bridge ports)");
  auto* device = app.add_option("--device", o.reader.device,
                                "open this device path (mapped onto --port, default 1) with PV_SetPortDevice");
  auto* sim = app.add_flag("--sim", o.reader.sim, "use the built-in virtual reader (a pseudo-terminal; on Windows a named pipe)");
  cards = app.add_option("--cards", o.reader.cards,
                         "cards in the virtual reader's field, comma-separated, or none (default " +
                             VirtualReader::defaultCards() + "; known: " + VirtualReader::cardNames() + ")")
              ->needs(sim);
  device->excludes(sim);
  app.add_flag("--trace", o.reader.trace, "print the library's trace lines on stderr");
  app.add_option("--line-speed", o.reader.lineSpeed,
                 "ask for a faster serial line: 230400, 460800 or 921600 baud (PV_SetLineSpeed)")
      ->check(CLI::IsMember({230400, 460800, 921600}));
  app.add_flag("--json", o.json, "print one JSON document for scripts instead of text");
  app.add_flag("-p,--packets", o.packets, "show every command packet and response");
  app.add_option("--timeout", o.timeoutSeconds, "time-out of the card commands in seconds, 0.1 to 25.5")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 25.5));

  addCommands(app, o);
  auto* shell = app.add_subcommand("shell", "an interactive session on one open reader");
  auto* demo = app.add_subcommand("demo", "a guided tour on the virtual reader: every card kind, in seconds");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::fprintf(stderr, "pelvane: %s; run 'pelvane --help'\n", e.what());
    return kExitUsage;
  }
  if (o.reader.port != -1 && (o.reader.port < 1 || o.reader.port > 256)) {
    std::fprintf(stderr, "pelvane: --port must be 1 to 256\n");
    return kExitUsage;
  }
  if (demo != nullptr && demo->parsed()) {
    // The tour writes to cards: it runs on the virtual reader only.
    if (!o.reader.device.empty()) {
      std::fprintf(stderr, "pelvane: the tour runs on the virtual reader only; leave --device out\n");
      return kExitUsage;
    }
    o.reader.sim = true;
  }
  if (o.reader.sim && (cards == nullptr || cards->count() == 0)) o.reader.cards = VirtualReader::defaultCards();
  if (o.reader.cards == "none") o.reader.cards.clear();

  Output out(o.json, o.packets);
  int code = kExitOk;
  std::string name;
  std::string error;
  std::string hint;
  {
    Reader reader(o.reader, out);
    Context c{reader, out, o};
    try {
      if (shell->parsed()) {
        name = "shell";
        code = runShell(reader, out, o);
      } else if (demo != nullptr && demo->parsed()) {
        name = "demo";
        code = runDemo(reader, out, o);
      } else {
        code = runSelected(app, c, &name);
        if (code < 0) throw Failure(kExitUsage, "no command given", "run 'pelvane --help'");
      }
    } catch (const Failure& f) {
      code = f.exit;
      error = f.what();
      hint = f.hint;
    } catch (const std::exception& e) {
      code = kExitInternal;
      error = e.what();
    }
    reader.close();
  }
  out.finish(name, code, error, hint);
  return code;
}
