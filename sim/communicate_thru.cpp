// InCommunicateThru (PN532 user manual, 7.3.9): the host's bytes go to the cards
// as they are, shaped by the CIU registers that the host or the last poll set,
// and the cards' answer comes back after status 00; status 01 when no card
// answers. The modulation is that of CIU_TxMode's framing bits: Type A, FeliCa
// and Type B cards each hear only their own.
#include <algorithm>

#include "controller_state.h"

namespace pelvsim {

namespace {

// CIU registers (PN532 data sheet, CIU register map) and the bits used here.
constexpr std::uint16_t kTxMode = 0x6302;      // bit 7 TxCRCEn, bits 1-0 framing
constexpr std::uint16_t kRxMode = 0x6303;      // bit 7 RxCRCEn
constexpr std::uint16_t kTxAuto = 0x6305;      // bit 6 Force100ASK
constexpr std::uint16_t kManualRcv = 0x630D;   // bit 4 ParityDisable
constexpr std::uint16_t kControl = 0x633C;     // bits 2-0 RxLastBits
constexpr std::uint16_t kBitFraming = 0x633D;  // bits 2-0 TxLastBits
constexpr std::uint8_t kCrcOn = 0x80;
constexpr std::uint8_t kParityOff = 0x10;
constexpr std::uint8_t kLastBits = 0x07;
constexpr std::uint8_t kFramingMask = 0x03;
constexpr std::uint8_t kFramingFelica = 0x02;
constexpr std::uint8_t kFramingTypeB = 0x03;
constexpr std::uint8_t kSpeedMask = 0x70;       // TxMode / RxMode bits 6-4, 000: 106 kbit/s
constexpr std::uint8_t kForce100Ask = 0x40;

constexpr std::uint8_t kStatusCrcError = 0x02;  // PN532 user manual, 7.1

}  // namespace

// How long an active Type B card thinks before its answer: its frame waiting
// time when it asks for more (S(WTX)) or answers an APDU that an I-block ended
// or an S(WTX) response let it finish; else it answers at once.
rf::Cycles Controller::State::isoDepWait(const Bytes& sent, const Bytes& heard) const {
  if (sent.empty() || heard.empty()) return 0;
  const bool sentI = (sent[0] & 0xE2) == 0x02 && !(sent[0] & 0x10);
  const bool sentWtx = (sent[0] & 0xF7) == 0xF2;
  const bool heardI = (heard[0] & 0xE2) == 0x02;
  const bool heardWtx = (heard[0] & 0xF7) == 0xF2;
  if (!heardWtx && !(heardI && (sentI || sentWtx))) return 0;
  for (const TypeBCard& c : field.typeB) {
    auto it = awake.find(Bytes(c.pupi.begin(), c.pupi.end()));
    if (it != awake.end() && it->second.active) return rf::typeBFrameWaitingTime(c.protocolInfo[2] >> 4);
  }
  return 0;
}

// A FeliCa card's time to answer a frame: its time slot for Polling, else what
// its PMm gives for the command.
rf::Cycles Controller::State::felicaWait(const Bytes& d) {
  if (d.size() >= 2 && d[1] == 0x00) {
    unsigned slot = 0;
    for (const FelicaCard& c : field.felica) slot = std::max<unsigned>(slot, c.timeSlot);
    return rf::felicaPollingSlot(d.size() >= 6 ? std::min<unsigned>(slot, d[5]) : 0);
  }
  if (d.size() < 10) return 0;
  for (const FelicaCard& c : field.felica)
    if (std::equal(c.idm.begin(), c.idm.end(), d.begin() + 2)) return rf::felicaResponseTime(c.pmm, d);
  return 0;
}

// No card answered: status 01, and the FIFO still holds what was sent.
Reply Controller::State::thruSilence(const Bytes& sent) {
  fillFifo(sent);
  return answer({0x43, kStatusTimeout});
}

void Controller::State::useModulation(std::uint8_t brTy) {
  // 106 kbit/s Type A, FeliCa 212 and 424 kbit/s, 106 kbit/s Type B; CRC on.
  // Type A is sent with 100 % ASK, the others with 10 % (nfcpy's pn53x.py
  // send_cmd_recv_rsp sets Force100ASK for Type A only).
  static constexpr std::uint8_t kModes[4] = {0x80, 0x92, 0xA2, 0x83};
  if (brTy > 3) return;
  registers[kTxMode] = kModes[brTy];
  registers[kRxMode] = kModes[brTy];
  const std::uint8_t txAuto = readRegister(kTxAuto);
  registers[kTxAuto] = u8(brTy == 0 ? txAuto | kForce100Ask : txAuto & ~kForce100Ask);
}

// A Type B card hears a frame sent at 106 kbit/s in Type B framing with 10 % ASK,
// in whole bytes (ISO/IEC 14443-2 and -3); a frame sent otherwise is noise to it.
bool Controller::State::typeBFrameHeard() const {
  const std::uint8_t tx = readRegister(kTxMode);
  return (tx & kFramingMask) == kFramingTypeB && (tx & kSpeedMask) == 0 &&
         !(readRegister(kTxAuto) & kForce100Ask) && (readRegister(kBitFraming) & kLastBits) == 0;
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
  if (p.empty()) return errorFrame();
  rfOn = true;
  // Without data the controller sends nothing and only listens (libnfc's
  // pn53x_initiator_transceive_bits sends the command byte alone for zero bits;
  // the CIU's Transceive with an empty FIFO just receives): no card here speaks
  // unasked, so the wait ends in status 01.
  if (p.size() == 1) {
    air(retryAir());
    return answer({0x43, kStatusTimeout});
  }
  const Bytes d(p.begin() + 1, p.end());
  Bytes a = {0x43};
  const std::uint8_t framing = readRegister(kTxMode) & kFramingMask;
  // Only a Type B card hears Type B framing, and only Type B framing: a REQB
  // sent in Type A framing reaches no card (libnfc's pn53x.c and nfcpy's
  // pn53x.py both set the framing before any raw Type B frame).
  if (framing == kFramingTypeB) {
    // The CRC_B: added and checked by the controller when TxCRCEn / RxCRCEn are
    // set, else the host's own (a frame with a wrong one is not heard).
    Bytes sent = d;
    if (!(readRegister(kTxMode) & kCrcOn)) {
      if (!hasCrcB(sent)) return thruSilence(d);
      sent.resize(sent.size() - 2);
    }
    if (!typeBFrameHeard() || !typeBFrame(sent, &a)) {
      air(rf::typeBReaderFrame(sent.size() + 2) + retryAir());
      return thruSilence(d);
    }
    Bytes heard(a.begin() + 2, a.end());
    air(rf::typeBExchange(sent.size(), heard.size(), isoDepWait(sent, heard)));
    if (!(readRegister(kRxMode) & kCrcOn)) {
      appendCrcB(&heard);
      a.resize(2);
      a.insert(a.end(), heard.begin(), heard.end());
    }
    fillFifo(heard);
    return answer(a);
  }
  if (framing == kFramingFelica) {
    // FeliCa frames (length byte first) to the cards and the peer.
    const unsigned kbps = ((readRegister(kTxMode) & kSpeedMask) >> 4) == 0x02 ? 424 : 212;
    if (!felicaFrame(d, &a)) {
      air(rf::felicaFrame(d.size(), kbps) + retryAir());
      return thruSilence(d);
    }
    air(rf::felicaFrame(d.size(), kbps) + felicaWait(d) + rf::felicaFrame(a.size() - 2, kbps));
    fillFifo(Bytes(a.begin() + 2, a.end()));
    return answer(a);
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
  if (!field.present || !typeAFrame(in, &heard)) {
    air(rf::typeAReaderFrame(in) + retryAir());
    return thruSilence(d);
  }
  air(rf::typeAExchange(in, heard));
  if (readRegister(kRxMode) & kCrcOn) {
    // The controller checks and strips the CRC; an answer without one is an error.
    if (heard.lastBits != 8 || !hasCrcA(heard.bytes)) return answer({0x43, kStatusCrcError});
    heard.bytes.resize(heard.bytes.size() - 2);
  }
  if (parityOff) heard = packParityStream(heard);
  registers[kControl] = u8((readRegister(kControl) & ~kLastBits) | (heard.lastBits % 8));
  fillFifo(heard.bytes);
  a.push_back(kStatusOk);
  a.insert(a.end(), heard.bytes.begin(), heard.bytes.end());
  return answer(a);
}

}  // namespace pelvsim
