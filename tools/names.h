// Words for the numbers the library and the controller answer with: status
// bytes, result codes, RW_ codes, reader modes, line speeds, technologies, and
// the tool's own exit codes.
#pragma once

#include <cstdint>
#include <string>

namespace pelvtool {

// What the tool's exit status tells a script.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,    // the command ran and the reader or card reported a failure
  kExitUsage = 2,     // bad arguments or a malformed packet; nothing was sent
  kExitNoReader = 3,  // no reader could be opened
  kExitTimeout = 4,   // nothing answered in time: no card, no peer, no initiator
  kExitInternal = 5,  // the tool itself could not run (the virtual reader did not start ...)
};
const char* exitCodeName(int code);

// A short name for a STATUS byte ("time-out", "MIFARE authentication error") and
// one sentence saying what it means. Values 0xF9 to 0xFF are the library's own;
// the others are the controller's error codes (PN532 user manual, 7.1 Error
// handling), whose bit 6 (0x40, more information) and bit 7 (NAD) are flags.
std::string statusName(std::uint8_t status);
std::string statusMeaning(std::uint8_t status);

// Result of RF_COMMAND: "done", "failed", "refused" (and 0xFFFF, 0xFFFE of 0xF3).
std::string resultName(unsigned result);
std::string resultMeaning(unsigned result);

// Result of RF_OPEN.
std::string openResultMeaning(unsigned result);

// Results of the RW_ functions, including the link codes -1 and -2.
std::string rwResultName(std::int32_t code);

// CardStatus word of RW_Sense.
std::string cardStatusName(std::int32_t status);

// ReaderMode values and the mode codes of command 0x10.
std::string modeCodeName(std::uint8_t modeCode);

// Line speed in bit/s for a code of command 0xF0; 0 for an unknown code.
std::uint32_t lineSpeedOfCode(std::uint8_t code);

// "PN532" for IC code 0x32, "PN533" for 0x33 ..., else "unknown IC".
std::string icName(std::uint8_t ic);

// Name of a command byte ("mode selection", "card polling" ...), empty if unlisted.
std::string commandName(std::uint8_t cmd);

// ISO 7816-4 status words, "90 00" -> "success"; the general meaning by SW1 otherwise.
std::string statusWordMeaning(std::uint8_t sw1, std::uint8_t sw2);

}  // namespace pelvtool
