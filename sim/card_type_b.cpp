// ISO/IEC 14443 Type B cards: polling (ATQB, ATTRIB) through InListPassiveTarget,
// REQB / WUPB, ATTRIB and HLTB inside InCommunicateThru, APDUs inside InDataExchange.
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

// Target data: ATQB(12), ATTRIB_RES length, ATTRIB_RES. The poll's REQB reaches
// idle and ready cards; an active one ignores it (ISO/IEC 14443-3, 7.5).
void Controller::State::pollTypeB(std::size_t maxTg, std::uint8_t afi, std::vector<Polled>* found) {
  for (const TypeBCard& c : field.typeB) {
    if (found->size() >= maxTg) break;
    Bytes pupi(c.pupi.begin(), c.pupi.end());
    auto it = awake.find(pupi);
    if (!afiMatches(afi, c.afi) || isHalted(pupi) || (it != awake.end() && it->second.active)) continue;
    const auto atqb = c.atqb();
    Bytes d(atqb.begin(), atqb.end());
    d.push_back(u8(static_cast<unsigned>(c.attribRes.size())));
    d.insert(d.end(), c.attribRes.begin(), c.attribRes.end());
    awake[pupi] = Awake{true, false, 0};
    found->push_back({Kind::TypeB, pupi, d});
  }
}

// ISO/IEC 14443-3 Type B commands (7.7 to 7.11), first byte:
//   05 AFI PARAM  REQB (PARAM bit 3 clear: idle and ready cards) or WUPB (bit 3
//                 set: halted ones too) -> ready, answers its ATQB
//   1D PUPI(4) p1 p2 p3 p4 [higher layer]  ATTRIB to a ready card -> active,
//                 answers its ATTRIB_RES
//   50 PUPI(4)    HLTB to a ready or active card -> halt, answers 00
// A request with any other first byte, or for a PUPI not its own, gets no answer.
bool Controller::State::typeBRequest(const Bytes& d, Bytes* a) {
  if (!field.present || d.empty()) return false;
  for (TypeBCard& c : field.typeB) {
    const Bytes pupi(c.pupi.begin(), c.pupi.end());
    const bool halt = isHalted(pupi);
    auto it = awake.find(pupi);
    Bytes reply;
    if (d[0] == 0x05 && d.size() == 3) {
      const bool wakeUp = (d[2] & 0x08) != 0;
      const bool active = it != awake.end() && it->second.active;
      if (!afiMatches(d[1], c.afi) || active || (halt && !wakeUp)) continue;
      halted.erase(std::remove(halted.begin(), halted.end(), pupi), halted.end());
      awake[pupi] = Awake{};
      const auto atqb = c.atqb();
      reply.assign(atqb.begin(), atqb.end());
    } else if (d.size() >= 5 && std::equal(pupi.begin(), pupi.end(), d.begin() + 1)) {
      if (d[0] == 0x1D && d.size() >= 9 && it != awake.end() && !it->second.active) {
        it->second.active = true;
        reply = c.attribRes;
      } else if (d[0] == 0x50 && d.size() == 5 && it != awake.end()) {
        awake.erase(it);
        leaveActive(pupi);
        halted.push_back(pupi);
        reply = {0x00};
      } else {
        continue;
      }
    } else {
      continue;
    }
    a->push_back(kStatusOk);
    a->insert(a->end(), reply.begin(), reply.end());
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
