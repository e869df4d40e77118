// ISO/IEC 14443 Type B cards: polling (ATQB, ATTRIB) through InListPassiveTarget,
// REQB / WUPB inside InCommunicateThru, APDUs inside InDataExchange.
#include <algorithm>

#include "controller_state.h"

namespace pelvsim {

TypeBCard* Controller::State::findTypeB(const Bytes& id) {
  if (!field.present) return nullptr;
  for (TypeBCard& c : field.typeB)
    if (id.size() == c.pupi.size() && std::equal(id.begin(), id.end(), c.pupi.begin())) return &c;
  return nullptr;
}

// AFI 00 reaches every card; x0 every card of family x; any other only a card
// with that AFI (ISO/IEC 14443-3, 7.7.2).
bool Controller::State::afiMatches(std::uint8_t request, std::uint8_t card) {
  if (request == 0x00) return true;
  if ((request & 0x0F) == 0) return (card & 0xF0) == request;
  return card == request;
}

// Target data: ATQB(12), ATTRIB_RES length, ATTRIB_RES.
void Controller::State::pollTypeB(std::size_t maxTg, std::uint8_t afi, std::vector<Polled>* found) const {
  for (const TypeBCard& c : field.typeB) {
    if (found->size() >= maxTg) break;
    if (!afiMatches(afi, c.afi) || isHalted(Bytes(c.pupi.begin(), c.pupi.end()))) continue;
    const auto atqb = c.atqb();
    Bytes d(atqb.begin(), atqb.end());
    d.push_back(u8(static_cast<unsigned>(c.attribRes.size())));
    d.insert(d.end(), c.attribRes.begin(), c.attribRes.end());
    found->push_back({Kind::TypeB, Bytes(c.pupi.begin(), c.pupi.end()), d});
  }
}

// The request is 05 AFI PARAM; one leading byte before it is tolerated, since
// the library sends 42 01 05 AFI 08. Appends status 00 and the ATQB of the
// first card that answers; false when none does.
bool Controller::State::typeBRequest(const Bytes& request, Bytes* a) {
  Bytes d = request;
  if (d.size() == 4 && d[0] == 0x01) d.erase(d.begin());
  if (!field.present || d.size() != 3 || d[0] != 0x05) return false;
  for (TypeBCard& c : field.typeB) {
    if (!afiMatches(d[1], c.afi)) continue;
    const auto atqb = c.atqb();
    a->push_back(kStatusOk);
    a->insert(a->end(), atqb.begin(), atqb.end());
    return true;
  }
  return false;
}

// An APDU to the card's responder; false when it gives no answer.
bool Controller::State::typeBApdu(TypeBCard& c, const Bytes& d, Bytes* a) {
  c.apdus.push_back(d);
  const Bytes r = c.responder ? c.responder(d) : TypeBCard::defaultResponder(d);
  if (r.empty()) return false;
  a->push_back(kStatusOk);
  a->insert(a->end(), r.begin(), r.end());
  return true;
}

}  // namespace pelvsim
