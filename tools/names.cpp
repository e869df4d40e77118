#include "names.h"

#include "hex.h"

namespace pelvtool {

const char* exitCodeName(int code) {
  switch (code) {
    case kExitOk: return "ok";
    case kExitFailed: return "command failed";
    case kExitUsage: return "usage error";
    case kExitNoReader: return "no reader";
    case kExitTimeout: return "time-out";
    case kExitInternal: return "internal error";
    default: return "unknown";
  }
}

namespace {

struct StatusText {
  std::uint8_t code;
  const char* name;
  const char* meaning;
};

// The library's statuses, then the controller's error codes.
constexpr StatusText kStatuses[] = {
    {0x00, "ok", "the command succeeded"},
    {0xFF, "link failure", "the port is not open, the link to the reader failed (write, read or checksum), "
                           "or the reader mode does not support the operation"},
    {0xFE, "time-out", "the time limit passed: no card, peer or answer in time, or the port buffers could not be cleared"},
    {0xFD, "wrong length", "the packet's LEN is not one the command accepts"},
    {0xFC, "not listed or out of range", "the command byte is not listed, or a parameter is out of range"},
    {0xF9, "FeliCa status error", "the FeliCa card reported an error in its status flag 1"},
    {0x01, "time-out at the target", "the target did not answer in time"},
    {0x02, "CRC error", "the contactless interface detected a CRC error"},
    {0x03, "parity error", "the contactless interface detected a parity error"},
    {0x04, "bit count error", "erroneous bit count during anti-collision or select"},
    {0x05, "framing error", "framing error during a MIFARE operation"},
    {0x06, "bit collision", "abnormal bit collision during anti-collision at 106 kbit/s"},
    {0x07, "buffer too small", "the communication buffer is too small"},
    {0x09, "RF buffer overflow", "the contactless interface's RF buffer overflowed"},
    {0x0A, "RF field not on in time", "in active mode the counterpart did not switch its RF field on in time"},
    {0x0B, "RF protocol error", "RF protocol error"},
    {0x0D, "overheating", "the controller overheated and switched its antenna drivers off"},
    {0x0E, "internal buffer overflow", "the controller's internal buffer overflowed"},
    {0x10, "invalid parameter", "the controller rejected a parameter (range or format)"},
    {0x12, "DEP command not supported", "the target does not support the command the initiator sent"},
    {0x13, "data format error", "the data format does not match the protocol (DEP, MIFARE or ISO/IEC 14443-4)"},
    {0x14, "MIFARE authentication error", "the card refused the authentication (wrong key or UID) or the sector is not open"},
    {0x23, "UID check byte wrong", "ISO/IEC 14443-3: the UID check byte is wrong"},
    {0x25, "invalid device state", "DEP: the controller's state does not allow the operation"},
    {0x26, "operation not allowed", "the operation is not allowed in this configuration"},
    {0x27, "wrong context", "the command does not fit the controller's current context (role, target number or state)"},
    {0x29, "released by the initiator", "the controller, as a target, was released by its initiator"},
    {0x2A, "card exchanged", "Type B: the card's ID does not match; the card was exchanged"},
    {0x2B, "card gone", "Type B: the card activated before has disappeared"},
    {0x2C, "NFCID3 mismatch", "the initiator's and the target's NFCID3 do not match"},
    {0x2D, "over-current", "the controller detected an over-current event"},
    {0x2E, "NAD missing", "the DEP frame lacks its NAD"},
};

const StatusText* findStatus(std::uint8_t code) {
  for (const StatusText& s : kStatuses) {
    if (s.code == code) return &s;
  }
  return nullptr;
}

// A controller status with its flag bits: the error code is bits 5-0.
bool isControllerStatus(std::uint8_t status) { return status != 0 && status < 0xF9; }

}  // namespace

std::string statusName(std::uint8_t status) {
  if (const StatusText* s = findStatus(status)) return s->name;
  if (isControllerStatus(status)) {
    const std::uint8_t error = status & 0x3F;
    std::string name;
    if (const StatusText* s = error != 0 ? findStatus(error) : nullptr) {
      name = s->name;
    } else if (error != 0) {
      name = "controller error " + hexByte(error);
    }
    if (status & 0x40) name += name.empty() ? "more information" : ", more information";
    if (status & 0x80) name += name.empty() ? "NAD present" : ", NAD present";
    return name;
  }
  return "unknown status " + hexByte(status);
}

std::string statusMeaning(std::uint8_t status) {
  if (const StatusText* s = findStatus(status)) return s->meaning;
  if (isControllerStatus(status)) {
    std::string m = "controller status " + hexByte(status);
    const std::uint8_t error = status & 0x3F;
    if (const StatusText* s = error != 0 ? findStatus(error) : nullptr) m += std::string(": ") + s->meaning;
    if (status & 0x40) m += " (the answer is chained: more information follows)";
    return m;
  }
  return "a status this tool does not know";
}

std::string resultName(unsigned result) {
  switch (result) {
    case 0: return "done";
    case 1: return "failed";
    case 2: return "refused";
    case 0xFFFF: return "link failure";
    case 0xFFFE: return "link time-out";
    default: return "result " + hexWord(result);
  }
}

std::string resultMeaning(unsigned result) {
  switch (result) {
    case 0: return "the command ran (its status may still report a time-out)";
    case 1: return "the command failed";
    case 2: return "the request was refused before anything was sent (wrong length, unlisted command, "
                   "a parameter out of range, no mode selected, or the port is not open)";
    case 0xFFFF: return "RF configuration: the exchange failed (write, read or checksum)";
    case 0xFFFE: return "RF configuration: the reader did not answer in time";
    default: return "a result this tool does not know";
  }
}

std::string openResultMeaning(unsigned result) {
  switch (result) {
    case 0: return "opened";
    case 1: return "the port is already open, or it could not be opened or the reader did not answer";
    case 2: return "the port number is outside 1 to 256";
    case 0xFFFF: return "the scan found no free port with a reader";
    default: return "unknown open result " + hexWord(result);
  }
}

std::string rwResultName(std::int32_t code) {
  switch (code) {
    case 0: return "success";
    case -1: return "link failure (write, read or checksum)";
    case -2: return "time-out, or the port buffers could not be cleared";
    case 0xA002: return "the port could not be opened";
    case 0xA203: return "no Type B card answered, or the reader set-up failed";
    case 0xA301: return "kind is neither 1 nor 2";
    case 0xA303: return "flags not accepted";
    case 0xA304: return "flags 0x01 to 0x03 are not supported";
    case 0xA305: return "option 0x10 is not supported";
    case 0xA306: return "option not accepted";
    case 0xA901: return "the port is already open";
    case 0xAE02: return "the exchange failed, or the card's answer was shorter than two bytes";
    default: return "code " + hexWord(static_cast<unsigned>(code));
  }
}

std::string cardStatusName(std::int32_t status) {
  switch (status) {
    case 0x0000: return "no card in use";
    case 0x0800: return "deactivation under way";
    case 0x8100: return "card inserted";
    case 0x8200: return "card activated";
    default: return "card status " + hexWord(static_cast<unsigned>(status));
  }
}

std::string modeCodeName(std::uint8_t modeCode) {
  switch (modeCode) {
    case 0x10: return "FeliCa";
    case 0x11: return "FeliCa Lite";
    case 0x30: return "Type A, 4-byte UID (MIFARE Classic)";
    case 0x31: return "Type A, 7-byte UID (page card)";
    case 0x50: return "peer-to-peer initiator";
    case 0x51: return "target";
    case 0x60: return "Type B";
    default: return "mode code " + hexByte(modeCode);
  }
}

std::uint32_t lineSpeedOfCode(std::uint8_t code) {
  constexpr std::uint32_t kSpeeds[] = {9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600, 1228800};
  return code < sizeof kSpeeds / sizeof kSpeeds[0] ? kSpeeds[code] : 0;
}

std::string icName(std::uint8_t ic) {
  switch (ic) {
    case 0x32: return "PN532";
    case 0x33: return "PN533";
    case 0x31: return "PN531";
    default: return "unknown IC";
  }
}

std::string commandName(std::uint8_t cmd) {
  switch (cmd) {
    case 0x01: return "set controller parameters";
    case 0x10: return "mode selection";
    case 0x20: return "card polling";
    case 0x21: return "card detection";
    case 0x25: return "Type B request";
    case 0x30: return "read";
    case 0x31: return "write";
    case 0x32: return "write (Type A)";
    case 0x33: return "key A or page 3 write";
    case 0x50: return "peer or target activation";
    case 0x51: return "peer or target end";
    case 0x60: return "target receive";
    case 0x70: return "segmented peer read";
    case 0x71: return "segmented peer read from block 0";
    case 0x86: return "data pass-through";
    case 0xF0: return "line speed";
    case 0xF1: return "read registers";
    case 0xF2: return "write registers";
    case 0xF3: return "RF configuration";
    case 0xF4: return "RF regulation test";
    case 0xF5: return "read GPIO";
    case 0xF6: return "write GPIO";
    default: return "";
  }
}

std::string statusWordMeaning(std::uint8_t sw1, std::uint8_t sw2) {
  const unsigned sw = (sw1 << 8) | sw2;
  switch (sw) {
    case 0x9000: return "success";
    case 0x6700: return "wrong length";
    case 0x6982: return "security status not satisfied";
    case 0x6985: return "conditions of use not satisfied";
    case 0x6A81: return "function not supported";
    case 0x6A82: return "file or application not found";
    case 0x6A86: return "incorrect P1 P2";
    case 0x6B00: return "wrong parameters P1 P2";
    case 0x6D00: return "instruction not supported";
    case 0x6E00: return "class not supported";
    default: break;
  }
  switch (sw1) {
    case 0x61: return std::to_string(sw2) + " more bytes available";
    case 0x62:
    case 0x63: return "warning";
    case 0x6C: return "wrong Le; " + std::to_string(sw2) + " bytes available";
    case 0x64:
    case 0x65: return "execution error";
    default: return sw1 >= 0x67 && sw1 <= 0x6F ? "checking error" : "unknown status word";
  }
}

}  // namespace pelvtool
