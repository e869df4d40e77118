// General commands of the controller: diagnosis, firmware, status, registers,
// GPIO, serial speed, SAM, power-down and RF configuration (PN532 user manual, 7.2).
#include "controller_state.h"

namespace pelvsim {

namespace {

constexpr std::uint32_t kSerialSpeeds[] = {9600, 19200, 38400, 57600, 115200,
                                           230400, 460800, 921600, 1288000};

}  // namespace

Reply Controller::State::generalCommand(const Bytes& p) {
  const std::size_t n = p.size();
  switch (p[0]) {
    case 0x00:  // Diagnose: the line test echoes its data, other tests pass
      if (n < 2) return errorFrame();
      if (p[1] == 0x00) {
        Bytes a = {0x01};
        a.insert(a.end(), p.begin() + 1, p.end());
        return answer(a);
      }
      return answer({0x01, 0x00});
    case 0x02:  // GetFirmwareVersion: PN532, version 1.6, all card types
      return answer({0x03, 0x32, 0x01, 0x06, 0x07});
    case 0x04:
      return generalStatus();
    case 0x06: {  // ReadRegister: address pairs; each read of CIU_FIFOData takes a byte
      if (n < 3 || (n - 1) % 2 != 0) return errorFrame();
      Bytes a = {0x07};
      for (std::size_t k = 1; k + 1 < n; k += 2) {
        const std::uint16_t address = u16(p[k], p[k + 1]);
        a.push_back(readRegister(address));
        if (address == kFifoData && !fifo.empty()) fifo.pop_front();
      }
      return answer(a);
    }
    case 0x08:  // WriteRegister: address and value triples
      if (n < 4 || (n - 1) % 3 != 0) return errorFrame();
      for (std::size_t k = 1; k + 2 < n; k += 3) writeRegister(u16(p[k], p[k + 1]), p[k + 2]);
      return answer({0x09});
    case 0x0C:
      return answer({0x0D, p3, p7, 0x00});
    case 0x0E:  // WriteGPIO: a port byte is taken only with its validation bit 0x80
      if (n < 3) return errorFrame();
      if (p[1] & 0x80) p3 = p[1] & 0x3F;
      if (p[2] & 0x80) p7 = p[2] & 0x06;
      return answer({0x0F});
    case 0x10:  // SetSerialBaudRate: the new speed applies after the host's ACK
      if (n != 2 || p[1] >= sizeof kSerialSpeeds / sizeof kSerialSpeeds[0]) return errorFrame();
      pendingBaud = kSerialSpeeds[p[1]];
      return answer({0x11});
    case 0x12:  // SetParameters: the flags are kept (fAutomaticATR_RES rules target mode)
      if (n != 2) return errorFrame();
      parameters = p[1];
      return answer({0x13});
    case 0x14:
      if (n < 2) return errorFrame();
      return answer({0x15});
    case 0x16:  // PowerDown: asleep after the answer, until the host's next byte
      if (n < 2) return errorFrame();
      fieldOff();
      poweredDown = true;
      rfWakeUs = UINT64_MAX;
      return answer({0x17, kStatusOk});
    case 0x32:
      return rfConfiguration(p);
    case 0x58:  // RFRegulationTest: ACK only
      return Reply{Reply::NoAnswer, {}, 0};
    default:
      return errorFrame();
  }
}

// A register reads back what was written, except where the hardware changes it:
// CIU_FIFOData gives the FIFO's next byte (00 when empty) and CIU_FIFOLevel its
// count (PN532 data sheet, CIU FIFO registers); the modulation registers follow
// each poll, CIU_Control's RxLastBits each raw exchange.
std::uint8_t Controller::State::readRegister(std::uint16_t address) const {
  if (address == kFifoData) return fifo.empty() ? 0x00 : fifo.front();
  if (address == kFifoLevel) return u8(static_cast<unsigned>(fifo.size()));
  // CIU_TxControl's Tx1RFEn / Tx2RFEn show whether the field is on, as nfcpy's
  // pn53x.py sense_ttf reads them before it switches the field on itself.
  if (address == kTxControl) {
    auto stored = registers.find(address);
    const std::uint8_t v = stored == registers.end() ? 0x80 : stored->second;
    return u8((v & ~kTxRfEnable) | (rfOn ? kTxRfEnable : 0u));
  }
  auto it = registers.find(address);
  if (it != registers.end()) return it->second;
  if (address == 0xFFB0) return p3;  // SFR P3
  if (address == 0xFFF7) return p7;  // SFR P7
  return 0x00;
}

// Writing CIU_FIFOData adds a byte to the FIFO (it holds 64); CIU_FIFOLevel's
// bit 7 (FlushBuffer) empties it; CIU_TxControl's RF enable bits switch the field.
void Controller::State::writeRegister(std::uint16_t address, std::uint8_t value) {
  if (address == kFifoData) {
    if (fifo.size() < 64) fifo.push_back(value);
    return;
  }
  if (address == kFifoLevel) {
    if (value & 0x80) fifo.clear();
    return;
  }
  if (address == kTxControl) {  // the antenna drivers switch the field
    if (value & kTxRfEnable) {
      rfOn = true;
    } else if (rfOn) {
      fieldOff();
    }
  }
  registers[address] = value;
}

Reply Controller::State::generalStatus() const {
  Bytes a = {0x05, 0x00, static_cast<std::uint8_t>(rfOn ? 1 : 0), u8(static_cast<unsigned>(listed.size()))};
  for (std::size_t k = 0; k < listed.size(); ++k) {
    const std::uint8_t br = listed[k].brTy == 0x02 ? 0x02 : listed[k].brTy == 0x01 ? 0x01 : 0x00;
    a.insert(a.end(), {u8(static_cast<unsigned>(k + 1)), br, br, listed[k].brTy});
  }
  a.push_back(0x00);  // SAM status
  return answer(a);
}

Reply Controller::State::rfConfiguration(const Bytes& p) {
  if (p.size() < 2) return errorFrame();
  switch (p[1]) {
    case 0x01:  // RF field
      if (p.size() < 3) return errorFrame();
      if (p[2] & 0x01) {
        rfOn = true;
      } else {
        fieldOff();
      }
      break;
    case 0x02:  // various timings: RFU, fATR_RES_Timeout, fRetryTimeout
      if (p.size() != 5) return errorFrame();
      atrResTimeout = p[3];
      retryTimeout = p[4];
      break;
    case 0x05:  // MaxRetries: MxRtyATR, MxRtyPSL, MxRtyPassiveActivation
      if (p.size() != 5) return errorFrame();
      maxRetriesAtr = p[2];
      break;
    default:
      break;
  }
  return answer({0x33});
}

void Controller::State::fieldOff() {
  rfOn = false;
  listed.clear();
  halted.clear();
  awake.clear();
  targetMode = TargetMode::Idle;
}

}  // namespace pelvsim
