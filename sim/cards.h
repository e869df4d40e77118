// Names for field contents, shared by the pelvane-sim program and tests:
// felica, felica-ndef, lite, mifare1k, mifare4k, page, page-ndef, typeA4, typeA7,
// typeA10, typeB, peer, initiator (comma-separated; a name may repeat and gets the next
// serial number).
// The initiator activates the reader in target mode, sends kInitiatorPayload,
// takes the reply and releases the reader.
#pragma once

#include <string>
#include <vector>

namespace pelvsim {

class Field;

// Adds the cards of `list` to `field`. Returns false, with a message in `error`
// when given, for an unknown name; the field is then left as it was.
bool addCards(const std::string& list, Field& field, std::string* error = nullptr);

// The field pelvane-sim starts with when no list is given.
extern const char* const kDefaultCards;  // "felica,mifare1k,page,typeB,peer"
extern const char* const kInitiatorPayload;  // "Hello from the initiator"

std::vector<std::string> cardNames();

}  // namespace pelvsim
