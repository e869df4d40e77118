// InAutoPoll (PN532 user manual, 7.3.13): 60 PollNr Period Type1 .. TypeN polls
// each listed target type in turn, PollNr rounds (FF: until a target answers)
// of Period x 150 ms per type, and answers 61 NbTg [Type Len TargetData] with
// the first target found, listed as Tg 1. TargetData is as InListPassiveTarget
// (or InJumpForDEP, for the DEP types) reports it, Tg first.
#include "controller_state.h"

namespace pelvsim {

namespace {

constexpr std::size_t kMostTypes = 15;
constexpr std::uint8_t kEndless = 0xFF;
constexpr std::uint8_t kLongestPeriod = 0x0F;
constexpr std::uint64_t kPeriodUnitUs = 150000;

// FeliCa Polling as the controller sends it here: any system code, no request
// code, one time slot.
const Bytes kFelicaPolling = {0x00, 0xFF, 0xFF, 0x00, 0x00};

constexpr std::uint8_t kSelResIso14443_4 = 0x20;

}  // namespace

bool Controller::State::autoPollType(std::uint8_t type, Bytes* entry) {
  std::vector<Polled> found;
  std::uint8_t brTy = 0x00;
  switch (type) {
    case 0x00:  // generic passive 106 kbit/s
    case 0x10:  // MIFARE card
      pollTypeA(1, {}, &found);
      break;
    case 0x20:  // passive 106 kbit/s ISO/IEC 14443-4A: SEL_RES announces the protocol
      for (const Picc& card : typeACards()) {
        if (!(card.sak & kSelResIso14443_4) || isHalted(card.uid)) continue;
        pollTypeA(1, cascadeUid(card.uid), &found);
        break;
      }
      break;
    case 0x01:  // generic passive 212 kbit/s
    case 0x11:  // FeliCa 212 kbit/s
    case 0x02:  // generic passive 424 kbit/s
    case 0x12:  // FeliCa 424 kbit/s
      brTy = (type & 0x0F) == 0x01 ? 0x01 : 0x02;
      pollFelica(1, brTy, kFelicaPolling, &found);
      break;
    case 0x03:  // passive 106 kbit/s ISO/IEC 14443-4B
    case 0x23:
      brTy = 0x03;
      pollTypeB(1, 0x00, &found);
      break;
    case 0x04:  // Jewel: no such card is modelled
      break;
    case 0x40: case 0x41: case 0x42:  // DEP passive 106/212/424 kbit/s
    case 0x80: case 0x81: case 0x82:  // DEP active 106/212/424 kbit/s
    {
      Bytes a;
      if (!activatePeer(&a)) return false;
      entry->assign({type, u8(static_cast<unsigned>(a.size() - 1))});
      entry->insert(entry->end(), a.begin() + 1, a.end());  // without the status byte
      return true;
    }
    default:
      return false;
  }
  if (found.empty()) return false;
  Polled& f = found.front();
  entry->assign({type, u8(static_cast<unsigned>(f.data.size() + 1)), 0x01});
  entry->insert(entry->end(), f.data.begin(), f.data.end());
  listed.push_back({f.kind, std::move(f.id), brTy, true, -1, {}});
  return true;
}

Reply Controller::State::inAutoPoll(const Bytes& p, std::uint64_t t) {
  if (p.size() < 4 || p.size() > 3 + kMostTypes) return errorFrame();
  const std::uint8_t pollNr = p[1];
  const std::uint8_t period = p[2];
  if (pollNr == 0 || period == 0 || period > kLongestPeriod) return errorFrame();
  for (std::size_t k = 3; k < p.size(); ++k) {
    const std::uint8_t type = p[k];
    const bool known = type <= 0x04 || (type >= 0x10 && type <= 0x12) || type == 0x20 ||
                       type == 0x23 || (type >= 0x40 && type <= 0x42) || (type >= 0x80 && type <= 0x82);
    if (!known) return errorFrame();
  }
  rfOn = true;
  listed.clear();
  targetMode = TargetMode::Idle;
  if (field.present) {
    for (std::size_t k = 3; k < p.size(); ++k) {
      Bytes entry;
      if (!autoPollType(p[k], &entry)) continue;
      Bytes a = {0x61, 0x01};
      a.insert(a.end(), entry.begin(), entry.end());
      return answer(a);
    }
  }
  if (pollNr == kEndless) return Reply{Reply::Wait, {}, 0};
  Reply r = answer({0x61, 0x00});
  r.at = t + ackDelayUs + pollNr * (p.size() - 3) * period * kPeriodUnitUs;
  return r;
}

}  // namespace pelvsim
