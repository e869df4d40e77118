// The serial line between host and controller: bytes from the host fed to the
// receiver at their arrival times, every outgoing byte queued with the time it
// reaches the host (10 bits a byte at the line speed when paced), the ACK and
// answer of each command, and the speed switch of SetSerialBaudRate.
#include <algorithm>

#include "controller_state.h"
#include "frame_codec.h"

namespace pelvsim {

namespace {

// A frame whose bytes stop for this long is given up.
constexpr std::uint64_t kFrameGapUs = 50000;
// Time from the byte that wakes a powered-down controller until it takes bytes
// again. libnfc's pn532_uart_wakeup sends five bytes (55 55 00 00 00, 434 us at
// 115200 baud) and its next frame straight after them, so the controller is up
// within that; the stricter model takes nearly all of it.
constexpr std::uint64_t kWakeUpUs = 400;
constexpr std::uint32_t kDefaultAnswerDelayFaultUs = 100000;

// Time for `count` bytes of 10 bits each at `baud`.
std::uint64_t lineTimeUs(std::uint64_t count, std::uint32_t baud) {
  if (baud == 0) return 0;
  return (count * 10000000ull + baud - 1) / baud;
}

Bytes garbage(std::uint32_t param, std::uint32_t fallback) {
  return Bytes(param ? param : fallback, kGarbageByte);
}

}  // namespace

// ---- transmitter ----
void Controller::State::emit(const std::uint8_t* data, std::size_t n, std::uint64_t at) {
  std::uint64_t start = std::max(at, txFreeAt);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t t = pacing ? start + lineTimeUs(k + 1, baud) : start;
    out.push_back({t, data[k]});
  }
  txFreeAt = pacing ? start + lineTimeUs(n, baud) : start;
}

// Cancels a waiting command whose answer has not begun to arrive by `now`.
void Controller::State::abortWaiting(std::uint64_t now) {
  if (!waiting) return;
  if (waitBytes > 0 && waitAnswerAt > now && out.size() >= waitBytes) {
    out.erase(out.end() - static_cast<std::ptrdiff_t>(waitBytes), out.end());
    txFreeAt = out.empty() ? now : std::max(out.back().t, now);
  }
  // An activation that has not reached the host did not happen.
  if (targetMode == TargetMode::Waiting || (waitIsActivation && waitAnswerAt > now))
    targetMode = TargetMode::Idle;
  waiting = false;
  waitIsActivation = false;
  waitBytes = 0;
}

bool Controller::State::busy(std::uint64_t now) const {
  return waiting && (waitBytes == 0 || waitAnswerAt > now);
}

// A powered-down controller wakes on the first byte from the host and loses it,
// and every byte that comes before it has started (PN532 user manual, 7.2.11;
// libnfc's pn532_uart_ack sends its wake-up before the ACK for that reason).
// Bytes count at least their line time even on an unpaced line, so that a burst
// written at once is not heard whole.
bool Controller::State::lostWhileAsleep(std::uint64_t t) {
  if (poweredDown && t >= rfWakeUs) poweredDown = false;  // the initiator's field woke it
  if (poweredDown) {
    poweredDown = false;
    starting = true;
    wokeUs = t;
    bytesSinceWake = 0;
    return true;
  }
  if (!starting) return false;
  ++bytesSinceWake;
  const std::uint64_t lineUs = wokeUs + lineTimeUs(bytesSinceWake, baud);
  if (std::max(t, lineUs) < wokeUs + kWakeUpUs) return true;
  starting = false;
  return false;
}

// ---- receiver ----
void Controller::State::feed(std::uint8_t b, std::uint64_t t) {
  if (!rx.empty() && t > rxTimes.back() + kFrameGapUs) {
    rx.clear();
    rxTimes.clear();
  }
  rx.push_back(b);
  rxTimes.push_back(t);
  parse();
}

void Controller::State::consume(std::size_t n) {
  rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(n));
  rxTimes.erase(rxTimes.begin(), rxTimes.begin() + static_cast<std::ptrdiff_t>(n));
}

void Controller::State::hostAck(std::uint64_t t) {
  abortWaiting(t);
  if (pendingBaud != 0) {
    baud = pendingBaud;
    pendingBaud = 0;
  }
}

// The host asks for the last answer again (PN532 user manual, 6.2.1.4).
void Controller::State::hostNack(std::uint64_t t) {
  pendingBaud = 0;
  if (!lastAnswerFrame.empty()) emit(lastAnswerFrame, t + ackDelayUs);
}

void Controller::State::command(const Bytes& payload, std::uint64_t t) {
  commands.push_back(payload);
  rfTimes.push_back(0);
  // A controller still waiting for an initiator or a card takes no new command:
  // only the host's ACK frame aborts the wait (PN532 user manual, 6.2.1.3).
  if (busy(t)) return;
  waiting = false;
  waitIsActivation = false;
  waitBytes = 0;
  pendingBaud = 0;
  const FaultEntry fault = faults.take();
  const std::uint64_t ackAt = t + ackDelayUs;
  if (fault.fault == Fault::Silence) return;
  if (fault.fault == Fault::Nack) {
    emit(kNack, sizeof kNack, ackAt);
    return;
  }
  if (fault.fault == Fault::GarbageBeforeAck) emit(garbage(fault.param, 3), ackAt);
  emit(kAck, sizeof kAck, ackAt);

  rfCycles = 0;
  Reply r = payload.empty() ? errorFrame() : run(payload, t);
  // The RF side works while the ACK goes out; the answer leaves when it is done.
  const std::uint64_t rfUs = rf::toUs(rfCycles);
  rfTimes.back() = rfUs;
  if (rfUs > 0) r.at = std::max(r.at, ackAt + rfUs);
  if (r.type == Reply::NoAnswer || fault.fault == Fault::AckOnly) return;
  if (r.type == Reply::Wait) {
    waiting = true;
    waitBytes = 0;
    return;
  }
  Bytes frame;
  if (r.type == Reply::ErrorFrame) {
    frame.assign(kErrorFrame, kErrorFrame + sizeof kErrorFrame);
  } else {
    frame = infoFrame(r.data, fault.fault == Fault::ExtendedAnswer);
  }
  lastAnswerFrame = frame;
  mangle(&frame, fault);
  std::uint64_t at = std::max(r.at, txFreeAt);
  if (fault.fault == Fault::AnswerDelay) at += fault.param ? fault.param : kDefaultAnswerDelayFaultUs;
  if (fault.fault == Fault::GarbageBeforeAnswer) emit(garbage(fault.param, 3), at);
  const std::size_t before = out.size();
  emit(frame, at);
  if (r.at > ackAt) {
    // A waiting command whose answer comes later: a host ACK before then cancels it.
    waiting = true;
    waitBytes = out.size() - before;
    waitAnswerAt = out[before].t;
    waitIsActivation = payload[0] == kTgInitAsTargetCode;
  }
}

// ---- the host's side ----
void Controller::hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                           std::uint32_t hostBaud) {
  State& s = *state_;
  if (s.faults.lineGone || data == nullptr) return;
  const std::uint32_t lineBaud = hostBaud ? hostBaud : s.baud;
  const std::uint64_t start = s.pacing ? std::max(nowUs, s.rxFreeAt) : nowUs;
  auto arrival = [&](std::size_t k) { return s.pacing ? start + lineTimeUs(k + 1, lineBaud) : nowUs; };
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t t = arrival(k);
    if (hostBaud != 0 && hostBaud != s.baud && s.pendingBaud == hostBaud) {
      // A pseudo-terminal carries no timing: a host that writes the ACK of a speed
      // switch and changes its speed at once can have that ACK read after the change,
      // or lose it to its own purge. Bytes at the new speed while the switch waits
      // for its ACK show that the host has switched: the controller follows.
      s.rx.clear();
      s.rxTimes.clear();
      s.hostAck(t);
    }
    if (hostBaud != 0 && hostBaud != s.baud) {
      // Noise at the controller's speed: the bytes and any frame begun are lost.
      s.rx.clear();
      s.rxTimes.clear();
      continue;
    }
    if (s.lostWhileAsleep(t)) {
      s.rx.clear();
      s.rxTimes.clear();
      continue;
    }
    s.lookahead = k + 1 < n ? data + k + 1 : nullptr;
    s.lookaheadTime = k + 1 < n ? arrival(k + 1) : 0;
    s.lookaheadTaken = false;
    s.feed(data[k], t);
    s.lookahead = nullptr;
    if (s.lookaheadTaken) ++k;
  }
  if (s.pacing) s.rxFreeAt = start + lineTimeUs(n, lineBaud);
}

std::size_t Controller::available(std::uint64_t nowUs) const {
  const State& s = *state_;
  if (s.faults.lineGone) return 0;
  std::size_t n = 0;
  for (const auto& o : s.out) {
    if (o.t > nowUs) break;
    ++n;
  }
  return n;
}

int Controller::pop(std::uint64_t nowUs) {
  State& s = *state_;
  if (s.faults.lineGone || s.out.empty() || s.out.front().t > nowUs) return -1;
  const int b = s.out.front().b;
  s.out.pop_front();
  return b;
}

void Controller::dropArrived(std::uint64_t nowUs) {
  State& s = *state_;
  while (!s.out.empty() && s.out.front().t <= nowUs) s.out.pop_front();
}

std::uint64_t Controller::nextArrivalUs() const {
  const State& s = *state_;
  if (s.faults.lineGone || s.out.empty()) return UINT64_MAX;
  return s.out.front().t;
}

void Controller::advanceTo(std::uint64_t) {
  // Every answer is queued with its arrival time when its command arrives, so
  // nothing is left to run here; the call stays for drivers that tick the model.
}

std::uint32_t Controller::baud() const { return state_->baud; }
void Controller::setBaud(std::uint32_t b) {
  state_->baud = b;
  state_->pendingBaud = 0;
}
void Controller::setPacing(bool on) { state_->pacing = on; }
void Controller::setAnswerDelayUs(std::uint32_t us) { state_->ackDelayUs = us; }
void Controller::setRfTiming(bool on) { state_->rfTiming = on; }

}  // namespace pelvsim
