// InCommunicateThru (PN532 user manual, 7.3.9): the host's bytes go to the cards
// as they are, shaped by the CIU registers that the host or the last poll set,
// and the cards' answer comes back after status 00; status 01 when no card
// answers. The modulation is that of CIU_TxMode's framing bits.
#include <algorithm>

#include "controller_state.h"

namespace pelvsim {

namespace {

// CIU registers (PN532 data sheet, CIU register map) and the bits used here.
constexpr std::uint16_t kTxMode = 0x6302;      // bit 7 TxCRCEn, bits 1-0 framing
constexpr std::uint16_t kRxMode = 0x6303;      // bit 7 RxCRCEn
constexpr std::uint16_t kManualRcv = 0x630D;   // bit 4 ParityDisable
constexpr std::uint16_t kControl = 0x633C;     // bits 2-0 RxLastBits
constexpr std::uint16_t kBitFraming = 0x633D;  // bits 2-0 TxLastBits
constexpr std::uint8_t kCrcOn = 0x80;
constexpr std::uint8_t kParityOff = 0x10;
constexpr std::uint8_t kLastBits = 0x07;
constexpr std::uint8_t kFramingMask = 0x03;
constexpr std::uint8_t kFramingFelica = 0x02;
constexpr std::uint8_t kFramingTypeB = 0x03;

constexpr std::uint8_t kStatusCrcError = 0x02;  // PN532 user manual, 7.1

bool isTypeBRequest(const Bytes& d) { return d.size() == 3 && d[0] == 0x05; }

}  // namespace

void Controller::State::useModulation(std::uint8_t brTy) {
  // 106 kbit/s Type A, FeliCa 212 and 424 kbit/s, 106 kbit/s Type B; CRC on.
  static constexpr std::uint8_t kModes[4] = {0x80, 0x92, 0xA2, 0x83};
  if (brTy > 3) return;
  registers[kTxMode] = kModes[brTy];
  registers[kRxMode] = kModes[brTy];
}

void Controller::State::leaveActive(const Bytes& id) {
  for (Target& tg : listed) {
    if (tg.id != id) continue;
    tg.selected = false;
    tg.authSector = -1;
  }
}

void Controller::State::fallBack(const Bytes& id) {
  auto it = awake.find(id);
  if (it == awake.end()) return;
  const bool toHalt = it->second.fromHalt;
  awake.erase(it);
  leaveActive(id);
  if (toHalt && !isHalted(id)) halted.push_back(id);
}

Reply Controller::State::inCommunicateThru(const Bytes& p) {
  if (p.size() < 2) return errorFrame();
  rfOn = true;
  const Bytes d(p.begin() + 1, p.end());
  Bytes a = {0x43};
  const std::uint8_t framing = readRegister(kTxMode) & kFramingMask;
  // A REQB / WUPB reaches the Type B cards whatever the framing: command 0x25 of
  // the library sends one without choosing Type B first.
  if (framing == kFramingTypeB || isTypeBRequest(d)) {
    if (!field.present || !typeBRequest(d, &a)) return answer({0x43, kStatusTimeout});
    return answer(a);
  }
  if (framing == kFramingFelica) {
    // A frame L cmd IDm ... to the FeliCa card with that IDm.
    for (FelicaCard& c : field.felica)
      if (field.present && felicaCommand(c, d, &a)) return answer(a);
    return answer({0x43, kStatusTimeout});
  }

  const bool parityOff = readRegister(kManualRcv) & kParityOff;
  const unsigned txLast = readRegister(kBitFraming) & kLastBits;
  RfFrame in;
  if (parityOff) {
    if (!unpackParityStream(d, txLast, &in)) return answer({0x43, kStatusTimeout});
  } else {
    in.bytes = d;
    in.lastBits = txLast == 0 ? 8 : txLast;
  }
  if ((readRegister(kTxMode) & kCrcOn) && in.lastBits == 8) appendCrcA(&in.bytes);
  RfFrame heard;
  if (!field.present || !typeAFrame(in, &heard)) return answer({0x43, kStatusTimeout});
  if (readRegister(kRxMode) & kCrcOn) {
    // The controller checks and strips the CRC; an answer without one is an error.
    if (heard.lastBits != 8 || !hasCrcA(heard.bytes)) return answer({0x43, kStatusCrcError});
    heard.bytes.resize(heard.bytes.size() - 2);
  }
  if (parityOff) heard = packParityStream(heard);
  registers[kControl] = u8((readRegister(kControl) & ~kLastBits) | (heard.lastBits % 8));
  a.push_back(kStatusOk);
  a.insert(a.end(), heard.bytes.begin(), heard.bytes.end());
  return answer(a);
}

}  // namespace pelvsim
