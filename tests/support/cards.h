// The identifiers and keys of the simulated cards (pelvsim::FelicaCard::standard(1),
// MifareClassicCard::make1k(), PageCard::make(), serial 1), as hex text: tests
// splice them into packets and expected answers. Header only.
#pragma once

namespace pelvtest {

constexpr const char* kIdm = "01 2E 4C 10 00 00 00 01";  // FeliCa, serial 1
constexpr const char* kPmm = "03 01 4B 02 4F 49 93 FF";
constexpr const char* kUid4 = "0A 01 3C 4D";              // MIFARE Classic 1K
constexpr const char* kUid7 = "04 01 5A 6B 7C 8D 9E";     // Type A page card
constexpr const char* kFactoryKey = "FF FF FF FF FF FF";  // key A as delivered
constexpr const char* kNewKey = "A0 A1 A2 A3 A4 A5";
// GetFirmwareVersion answer (PN532 user manual 7.2.2): IC 32, version 1.6, all protocols.
constexpr const char* kFirmwareAnswer = "03 32 01 06 07";

}  // namespace pelvtest
