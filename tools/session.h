// The two commands that run several others on one open reader: the interactive
// shell and the guided tour of the virtual reader.
#pragma once

#include "commands.h"

namespace pelvtool {

// Reads lines until "quit" or the end of input: hex packets, the card and reader
// commands, "history", "!N", "!!", "help". Returns the exit code of the last command.
int runShell(Reader& reader, Output& out, const Options& globals);

// The tour: opens the reader, detects and reads each kind of card, writes and
// reads back, runs an APDU exchange and a short peer read, showing every packet.
int runDemo(Reader& reader, Output& out, const Options& globals);

}  // namespace pelvtool
