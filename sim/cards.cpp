#include "cards.h"

#include <cstdint>

#include "field.h"

namespace pelvsim {

const char* const kDefaultCards = "felica,mifare1k,page,typeB,peer";
const char* const kInitiatorPayload = "Hello from the initiator";

std::vector<std::string> cardNames() {
  return {"felica", "felica-ndef", "lite",  "mifare1k", "mifare4k", "page",     "page-ndef",
          "typeA4", "typeA7",      "typeA10", "typeB",  "peer",     "initiator"};
}

namespace {

// Adds one card named `name`; serial numbers count per kind so that repeated
// names give distinct identifiers.
bool addOne(const std::string& name, Field& f) {
  auto serial = [](std::size_t have) { return static_cast<std::uint8_t>(have + 1); };
  if (name == "felica") {
    f.felica.push_back(FelicaCard::standard(serial(f.felica.size())));
  } else if (name == "felica-ndef") {
    f.felica.push_back(FelicaCard::ndef(serial(f.felica.size())));
  } else if (name == "lite") {
    f.felica.push_back(FelicaCard::lite(serial(f.felica.size())));
  } else if (name == "mifare1k") {
    f.mifare.push_back(MifareClassicCard::make1k(serial(f.mifare.size())));
  } else if (name == "mifare4k") {
    f.mifare.push_back(MifareClassicCard::make4k(serial(f.mifare.size())));
  } else if (name == "page") {
    f.page.push_back(PageCard::make(serial(f.page.size())));
  } else if (name == "page-ndef") {
    f.page.push_back(PageCard::ndef(serial(f.page.size())));
  } else if (name == "typeA4") {
    f.typeA.push_back(TypeACard::withUid(4, serial(f.typeA.size())));
  } else if (name == "typeA7") {
    f.typeA.push_back(TypeACard::withUid(7, serial(f.typeA.size())));
  } else if (name == "typeA10") {
    f.typeA.push_back(TypeACard::withUid(10, serial(f.typeA.size())));
  } else if (name == "typeB") {
    f.typeB.push_back(TypeBCard::make(serial(f.typeB.size())));
  } else if (name == "peer") {
    f.peer = DepPeer{};
  } else if (name == "initiator") {
    f.initiator = Initiator{};
    const std::string payload = kInitiatorPayload;
    f.initiator->toSend.emplace_back(payload.begin(), payload.end());
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool addCards(const std::string& list, Field& field, std::string* error) {
  Field staged = field;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(start, end - start);
    while (!name.empty() && name.front() == ' ') name.erase(name.begin());
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (!name.empty() && !addOne(name, staged)) {
      if (error) *error = "unknown card '" + name + "'";
      return false;
    }
    start = end + 1;
  }
  field = std::move(staged);
  return true;
}

}  // namespace pelvsim
