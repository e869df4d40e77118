// Hexadecimal text in and out: the packets a person types and the dumps the
// tool prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pelvtool {

using Bytes = std::vector<std::uint8_t>;

// Reads bytes written as hex digits. Bytes may be separated by blanks, commas,
// colons or dashes and may carry a 0x prefix; a run of digits without separators
// is read two digits at a time ("0710" is 07 10), so it must have an even length.
// A lone digit between separators is one byte ("7 10" is 07 10).
// False, with a message naming the offending text, for anything else.
bool parseHex(const std::string& text, Bytes* out, std::string* error);

// As parseHex, and the result must be exactly `length` bytes.
bool parseHexExact(const std::string& text, std::size_t length, Bytes* out, std::string* error);

// "07 10 11": two upper-case digits a byte, one blank between bytes.
std::string hexBytes(const std::uint8_t* data, std::size_t n);
std::string hexBytes(const Bytes& data);
// "0x3F"
std::string hexByte(unsigned value);
// "0x090F", "0xA203": at least `digits` upper-case digits.
std::string hexWord(unsigned value, int digits = 4);

// The classic dump: 16 bytes a line, the offset (from `base`) in four or more
// hex digits, a gap after eight bytes, and the printable ASCII column.
//   0000  00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F  |................|
// Every line ends in a line feed; an empty buffer gives an empty string.
std::string hexDump(const std::uint8_t* data, std::size_t n, std::size_t base = 0);
std::string hexDump(const Bytes& data, std::size_t base = 0);

// One line per `width` bytes, each led by its label (padded to the longest):
//   block 4   00 01 02 ... 0F  |................|
std::string labeledDump(const std::vector<std::string>& labels, const Bytes& data, std::size_t width);

// Reads a whole number: decimal, or hexadecimal with 0x. False when the text
// is not one or lies outside [min, max].
bool parseNumber(const std::string& text, long min, long max, long* out);

}  // namespace pelvtool
