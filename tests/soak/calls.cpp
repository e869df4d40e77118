// The calls the soak makes: each draws its arguments from the run's generator,
// makes one host call under a plan of faults and checks the outcome (oracle.h).
#include <algorithm>
#include <cstring>

#include "field.h"
#include "pelvane.h"
#include "port/port_table.h"
#include "soak.h"

namespace soak {

namespace {

// Time-out that mode selection gives the card and reader commands, in tenths of
// a second. Opening leaves 10.0 (1 s) until the next selection.
constexpr std::uint8_t kTenths = 5;
// Mode selection runs against a deadline of its own, 5 s from its start.
constexpr double kSelectMs = 5000.0;
// Opening: at most three deadlines of 1 s (reset at the host's speed, the speed
// switch at 9600, the reset after reopening).
constexpr double kOpenMs = 3000.0;
// The RW_ interface selects Type B with a time-out of 3.2 s.
constexpr std::uint8_t kTypeBTenths = 0x20;
// Pause after each segment of a segmented read, and RW_Activate's two pauses.
constexpr double kSegmentPauseMs = 47.0;
constexpr double kActivatePausesMs = 40.0;

std::uint8_t modeCode(Reader r) {
  switch (r) {
    case Reader::Felica: return PELVANE_MODE_CODE_FELICA;
    case Reader::Mifare: return PELVANE_MODE_CODE_MIFARE;
    case Reader::Peer: return PELVANE_MODE_CODE_PEER_INITIATOR;
    case Reader::TypeB: return PELVANE_MODE_CODE_TYPE_B;
  }
  return 0;
}

std::string number(std::int64_t v) { return std::to_string(v); }

}  // namespace

std::uint16_t Soak::command(const Bytes& packet) {
  std::memset(response_.data(), kSentinel, response_.size());
  current_.sent = pelvtest::toHex(packet);
  const std::uint16_t result = RF_COMMAND(kPort, packet.data(), response_.data());
  current_.got = "result " + number(result) + ", response " + responseText(response_.data());
  return result;
}

bool Soak::portOpen() const { return pelvane::slotOpen(kPort); }

double Soak::commandMs() const { return pelvane::slot(kPort).timeoutTenths * 100.0; }

double Soak::remainingDeadlineMs() const {
  const pelvane::PortSlot& s = pelvane::slot(kPort);
  if (s.deadline == 0) return 0.0;
  const auto left = static_cast<std::int32_t>(static_cast<std::uint32_t>(s.deadline) -
                                              static_cast<std::uint32_t>(pelvane::clockMs()));
  return left > 0 ? left : 0.0;
}

bool Soak::selectMode(Reader reader, const Plan& plan) {
  const std::uint8_t code = modeCode(reader);
  const std::uint8_t tenths = reader == Reader::TypeB ? kTypeBTenths : kTenths;
  // Type B writes a raw InSelect and pauses 10 ms before its deadline starts;
  // the peer modes poll once and pause 20 ms inside it.
  const double pauses = reader == Reader::TypeB ? 10.0 : (reader == Reader::Peer ? 20.0 : 0.0);
  const bool ok = call("0x10 select", kSelectMs + pauses, plan, [&] {
    return checkSelect(command({0x07, 0x10, code, tenths, 0x00, 0x00, 0x00}), resp());
  });
  reader_ = reader;
  cardReady_ = false;
  return ok;
}

bool Soak::poll(const Plan& plan) {
  const bool felica = reader_ == Reader::Felica;
  const bool ok = call(felica ? "0x20 felica" : "0x20 typeA", commandMs(), plan, [&] {
    const std::uint16_t result = felica ? command({0x05, 0x20, 0xFF, 0xFF, 0x00}) : command({0x02, 0x20});
    return checkPoll(felica ? felicaIdm() : typeAUid(), result, resp());
  });
  cardReady_ = ok;
  return ok;
}

bool Soak::readCard(const Plan& plan) {
  if (reader_ == Reader::Felica) {
    const int m = uniform(1, 4);
    const int first = uniform(0, 10 - m);
    const Bytes idm = felicaIdm();
    Bytes p = {0x00, 0x30};
    p.insert(p.end(), idm.begin(), idm.end());
    p.push_back(0x01);
    p.push_back(static_cast<std::uint8_t>(kFelicaService >> 8));
    p.push_back(static_cast<std::uint8_t>(kFelicaService & 0xFF));
    p.push_back(static_cast<std::uint8_t>(m));
    for (int i = 0; i < m; ++i) {
      p.push_back(0x80);  // 2-byte element, service index 0
      p.push_back(static_cast<std::uint8_t>(first + i));
    }
    p[0] = static_cast<std::uint8_t>(p.size());
    return call("0x30 felica", commandMs(), plan, [&] {
      const Check c = checkFelicaRead(first, m, command(p), resp());
      if (c.verdict == Verdict::AllowedFailure && isControllerStatus(resp()[2])) ++controllerStatuses_;
      return c;
    });
  }
  // MIFARE Classic 1K: data blocks of sectors 1 to 15 (the trailers left out).
  const int sector = uniform(1, 15);
  const int firstBlock = uniform(0, 2);
  const int count = uniform(1, 3 - firstBlock);
  const Bytes uid = typeAUid();
  Bytes p = {0x0F, 0x30};
  p.insert(p.end(), uid.begin(), uid.end());
  p.insert(p.end(), pelvsim::MifareClassicCard::kFactoryKey.begin(),
           pelvsim::MifareClassicCard::kFactoryKey.end());
  p.push_back(static_cast<std::uint8_t>(sector));
  p.push_back(static_cast<std::uint8_t>(firstBlock));
  p.push_back(static_cast<std::uint8_t>(count));
  return call("0x30 mifare", commandMs(), plan, [&] {
    const Check c = checkMifareRead(sector, firstBlock, count, command(p), resp());
    if (c.verdict == Verdict::AllowedFailure && isControllerStatus(resp()[2])) ++controllerStatuses_;
    return c;
  });
}

bool Soak::activatePeer(const Plan& plan) {
  const bool ok = call("0x50 activate", commandMs(), plan,
                       [&] { return checkPeerActivation(command({0x03, 0x50, 0x02}), resp()); });
  cardReady_ = ok;
  return ok;
}

bool Soak::passThrough(const Plan& plan) {
  const int n = uniform(1, 250);
  Bytes p = {static_cast<std::uint8_t>(n + 2), 0x86};
  // The peer echoes anything that is not a segment request (A6).
  for (int i = 0; i < n; ++i) p.push_back(static_cast<std::uint8_t>(uniform(0, 0xA5)));
  return call("0x86 exchange", commandMs(), plan, [&] {
    const std::uint16_t result = command(p);
    return checkPassThrough(Bytes(p.begin() + 2, p.end()), result, resp());
  });
}

bool Soak::segmentedRead(const Plan& plan) {
  const int block = uniform(0, 3);
  const int first = uniform(0, 5);
  const int count = uniform(1, 3);
  const double bound = count * (commandMs() + kSegmentPauseMs);
  return call("0x70 segments", bound, plan, [&] {
    const std::uint16_t result = command({0x06, 0x70, 0x00, static_cast<std::uint8_t>(block),
                                          static_cast<std::uint8_t>(first),
                                          static_cast<std::uint8_t>(count)});
    const Check c = checkSegmentedRead(block, first, count, portOpen(), result, resp());
    if (c.verdict == Verdict::AllowedFailure && result == PELVANE_RESULT_DONE) ++partialSegmentedReads_;
    return c;
  });
}

bool Soak::readRegister(const Plan& plan) {
  return call("0xF1 register", commandMs(), plan, [&] {
    const std::uint16_t result = command({0x04, 0xF1, 0x63, 0x06});
    std::uint8_t value = 0;
    bench_->withController([&](pelvsim::Controller& c) { value = c.registerValue(0x6306); });
    return checkRegisterRead(value, result, resp());
  });
}

bool Soak::readGpio(const Plan& plan) {
  return call("0xF5 gpio", commandMs(), plan, [&] {
    const std::uint16_t result = command({0x02, 0xF5});
    std::uint8_t p3 = 0;
    std::uint8_t p7 = 0;
    bench_->withController([&](pelvsim::Controller& c) {
      p3 = c.gpioP3();
      p7 = c.gpioP7();
    });
    return checkGpioRead(p3, p7, result, resp());
  });
}

bool Soak::openPort(const Plan& plan, const char* kind) {
  // A share of the openings without a fault ask for a 921600 baud line: the calls
  // until the port closes run on it, and closing takes the reader back to 115200.
  const bool fast = plan.fault == pelvsim::Fault::None && !plan.lineGone && plan.readerBaud == 0 &&
                    chance(0.3);
  if (fast) PV_SetLineSpeed(kPort, 921600);
  const bool ok = call(kind, kOpenMs, plan, [&] {
    std::int32_t opened = 0;
    current_.sent = std::string(fast ? "PV_SetLineSpeed 921600, " : "") + "RF_OPEN(" + number(kPort) + ")";
    const std::uint16_t result = RF_OPEN(kPort, &opened);
    current_.got = "result " + number(result) + ", port " + number(opened);
    if (result == PELVANE_RESULT_DONE) {
      if (opened != kPort || !portOpen()) return wrong("opened, but not that port");
      if (fast) {
        std::uint32_t baud = 0;
        bench_->withController([&](pelvsim::Controller& c) { baud = c.baud(); });
        current_.got += ", reader at " + number(baud);
        if (baud != 921600 || pelvane::slot(kPort).lineSettings.baudRate != 921600) {
          return wrong("the faster line was not reached");
        }
        ++fastOpenings_;
      }
      return success();
    }
    if (result == PELVANE_RESULT_FAILED) {
      if (portOpen()) return wrong("a failed open left the slot open");
      return allowedFailure("result 1");
    }
    return wrong("RF_OPEN gave " + number(result));
  });
  if (fast) PV_SetLineSpeed(kPort, 0);
  reader_ = Reader::Mifare;  // opening leaves ReaderMode 3, with the field off
  cardReady_ = false;
  return ok;
}

bool Soak::closePort(const Plan& plan) {
  const bool wasOpen = portOpen();
  return call("RF_CLOSE", commandMs(), plan, [&] {
    current_.sent = "RF_CLOSE(" + number(kPort) + ")";
    const std::int32_t result = RF_CLOSE(kPort);
    current_.got = "result " + number(result);
    if (portOpen()) return wrong("the port is still open after RF_CLOSE");
    if (result == (wasOpen ? PELVANE_CLOSE_DONE : PELVANE_CLOSE_NOT_OPEN)) return success();
    return wrong("RF_CLOSE gave " + number(result));
  });
}

// RW_Open, RW_Activate, APDUs, RW_Deactivate, RW_Close, then the RF_ port again.
void Soak::typeBSession() {
  if (portOpen()) closePort(Plan{});
  if (needsRecovery_) return;
  const bool opened = call("RW_Open", kOpenMs + commandMs() + kSelectMs + 10.0, drawPlan(12, true), [&] {
    current_.sent = "RW_Open(" + number(kPort) + ")";
    const std::int32_t r = RW_Open(kPort);
    current_.got = "result " + number(r);
    if (r == PELVANE_RW_OK) return portOpen() ? success() : wrong("RW_Open: 0 but not open");
    if (r == PELVANE_RW_OPEN_FAILED || r == PELVANE_RW_NO_CARD) return allowedFailure(number(r));
    return wrong("RW_Open gave " + number(r));
  });
  reader_ = Reader::TypeB;
  cardReady_ = false;
  if (!opened) return;

  const double activateBound = remainingDeadlineMs() + kActivatePausesMs;
  const Plan activatePlan = drawPlan(2, true);
  // A NACK in place of the poll's acknowledgement lists no card: A203. (A NACK
  // to the field-off command before it, skip 0, is ignored.)
  const bool pollNacked = activatePlan.fault == pelvsim::Fault::Nack && activatePlan.skip == 1;
  if (!call("RW_Activate", activateBound, activatePlan, [&] {
        current_.sent = "RW_Activate(" + number(kPort) + ", 1, 0, 0, 0)";
        const std::int32_t r = RW_Activate(kPort, 1, 0, 0, 0);
        current_.got = "result " + number(r);
        if (r == PELVANE_RW_OK && pollNacked) return wrong("RW_Activate: 0 after a NACKed poll");
        if (r == PELVANE_RW_OK) return success();
        if (r == PELVANE_RW_NO_CARD) return allowedFailure("no card");
        return wrong("RW_Activate gave " + number(r));
      })) {
    return;
  }
  for (int i = 0, apdus = uniform(1, 4); i < apdus && !outOfBudget(); ++i) {
    const bool select = uniform(0, 2) == 0;
    const std::uint8_t le = static_cast<std::uint8_t>(uniform(1, 200));
    const std::uint16_t offset = static_cast<std::uint16_t>(uniform(0, 0x3FF));
    const Bytes apdu = select ? Bytes{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}
                              : Bytes{0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8),
                                      static_cast<std::uint8_t>(offset & 0xFF), le};
    if (!call("RW_Transmit", commandMs(), drawPlan(1, true), [&] {
          std::uint8_t out[PELVANE_APDU_RESPONSE_MAX];
          std::int32_t n = -1;
          current_.sent = "APDU " + pelvtest::toHex(apdu);
          const std::int32_t r = RW_Transmit(kPort, 0, 0, static_cast<std::int32_t>(apdu.size()),
                                             apdu.data(), &n, out);
          current_.got = "result " + number(r) + ", length " + number(n);
          if (r == PELVANE_RW_TRANSMIT_FAILED) return allowedFailure("transmit failed");
          if (r != PELVANE_RW_OK) return wrong("RW_Transmit gave " + number(r));
          const std::size_t got = n > 0 && n <= PELVANE_APDU_RESPONSE_MAX ? static_cast<std::size_t>(n) : 0;
          current_.got += ", answer " + pelvtest::toHex(out, got);
          const Bytes want = expectedApduAnswer(select, offset, le);
          if (n != static_cast<std::int32_t>(want.size())) return wrong("the APDU answer's length differs");
          const auto differs = std::mismatch(want.begin(), want.end(), out);
          if (differs.first != want.end()) {
            return wrong("the APDU answer differs from byte " + number(differs.first - want.begin()));
          }
          return success();
        })) {
      return;
    }
  }
  const double releaseBound = remainingDeadlineMs();
  if (!call("RW_Deactivate", releaseBound, drawPlan(1, true), [&] {
        current_.sent = "RW_Deactivate(" + number(kPort) + ", 0, 0)";
        const std::int32_t r = RW_Deactivate(kPort, 0, 0);
        current_.got = "result " + number(r);
        if (r == 0) return success();
        if (r == PELVANE_LINK_FAILED || r == PELVANE_LINK_TIMEOUT) return allowedFailure(number(r));
        return wrong("RW_Deactivate gave " + number(r));
      })) {
    return;
  }
  call("RW_Close", commandMs(), Plan{}, [&] {
    current_.sent = "RW_Close(" + number(kPort) + ")";
    const std::int32_t r = RW_Close(kPort);
    current_.got = "result " + number(r);
    if (r != 0 || portOpen()) return wrong("RW_Close gave " + number(r));
    return success();
  });
}

// A reader left at 9600 by an earlier user: opening tells it to switch to
// 115200 and reopens; the open must succeed and leave the reader at 115200.
void Soak::speedSwitchOpen() {
  if (portOpen()) closePort(Plan{});
  if (needsRecovery_) return;
  ++speedSwitches_;
  Plan atNineSixHundred;
  atNineSixHundred.readerBaud = 9600;  // healLine() puts 115200 back afterwards
  call("RF_OPEN 9600", kOpenMs, atNineSixHundred, [&] {
    std::int32_t opened = 0;
    current_.sent = "RF_OPEN(" + number(kPort) + ")";
    const std::uint16_t result = RF_OPEN(kPort, &opened);
    std::uint32_t baud = 0;
    bench_->withController([&](pelvsim::Controller& c) { baud = c.baud(); });
    current_.got = "result " + number(result) + ", port " + number(opened) + ", reader at " + number(baud);
    if (result != PELVANE_RESULT_DONE) return wrong("RF_OPEN gave " + number(result));
    if (baud != 115200) return wrong("the reader was left at " + number(baud));
    ++speedSwitched_;
    return success();
  });
  reader_ = Reader::Mifare;
  cardReady_ = false;
}

// The line goes away for good (the adapter is unplugged) and a new one appears.
void Soak::lineUnplugged() {
  if (!portOpen()) return;
  ++unpluggings_;
  bench_->dropLine();
  Plan gone;
  gone.lineGone = true;  // marks the call as faulted
  call("unplugged cmd", commandMs(), gone, [&] {
    const std::uint16_t result = command({0x02, 0xF5});
    return checkFailure(0xF5, result, resp(), {{0, 0xFE}, {1, 0xFF}});
  });
  closePort(Plan{});
  std::string error;
  if (!bench_->start(kPort, &error)) {
    problem("the simulated controller did not come back: " + error);
    return;
  }
  needsRecovery_ = true;
}

}  // namespace soak
