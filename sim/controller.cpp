// The simulated controller: a receiver that finds host frames in the byte
// stream, the command set the library and libnfc use, and a transmitter that
// queues every outgoing byte with the time it reaches the host.
//
// Commands run when their frame is complete, at the time its last byte arrives,
// and their ACK and answer are queued at once with future arrival times. The one
// exception is a command that waits (TgInitAsTarget, TgGetData with nothing to
// give): its answer is queued for the time it would come, or not at all, and a
// host ACK frame or a new command before then cancels it (PN532 user manual,
// 6.2.1.3: an ACK from the host aborts the command in progress).
#include "controller.h"

#include <algorithm>
#include <deque>
#include <map>

#include "faults.h"
#include "field.h"

namespace pelvsim {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kTfiHost = 0xD4;
constexpr std::uint8_t kTfiController = 0xD5;
constexpr std::uint8_t kAck[6] = {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00};
constexpr std::uint8_t kNack[6] = {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00};
// Application-level error frame (PN532 user manual, 6.2.1.5).
constexpr std::uint8_t kErrorFrame[8] = {0x00, 0x00, 0xFF, 0x01, 0xFF, 0x7F, 0x81, 0x00};

// Longest TFI + payload a host frame may carry; longer announcements are noise.
constexpr std::size_t kLongestHostFrame = 1024;
// A frame whose bytes stop for this long is given up.
constexpr std::uint64_t kFrameGapUs = 50000;
constexpr std::uint32_t kDefaultAnswerDelayFaultUs = 100000;

// Controller status bytes (PN532 user manual, 7.1, error codes).
constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusTimeout = 0x01;
constexpr std::uint8_t kStatusAuthError = 0x14;
constexpr std::uint8_t kStatusWrongContext = 0x27;
constexpr std::uint8_t kStatusReleased = 0x29;

constexpr std::uint32_t kSerialSpeeds[] = {9600, 19200, 38400, 57600, 115200,
                                           230400, 460800, 921600, 1288000};

// The preparatory exchange of the page card: 60 00 {04|00} then these six bytes.
constexpr std::uint8_t kPagePrepare[6] = {0x3E, 0x91, 0xC7, 0x0B, 0x5D, 0xA4};

std::uint8_t u8(unsigned v) { return static_cast<std::uint8_t>(v & 0xFFu); }

// Time for `count` bytes of 10 bits each at `baud`.
std::uint64_t lineTimeUs(std::uint64_t count, std::uint32_t baud) {
  if (baud == 0) return 0;
  return (count * 10000000ull + baud - 1) / baud;
}

enum class Kind { Felica, TypeA, Mifare, Page, TypeB, Peer };

// A target listed by InListPassiveTarget or InJumpForDEP, found again in the
// field by its identifier on every use.
struct Target {
  Kind kind;
  Bytes id;
  std::uint8_t brTy = 0;
  bool selected = true;
  int authSector = -1;  // MIFARE Classic: the sector opened by the last authentication
};

enum class TargetMode { Idle, Waiting, Activated };

struct Reply {
  enum Type { Answer, ErrorFrame, NoAnswer, Wait } type = Answer;
  Bytes data;              // answer code and data
  std::uint64_t at = 0;    // earliest arrival of the answer's first byte
};

Reply answer(Bytes data) {
  Reply r;
  r.data = std::move(data);
  return r;
}
Reply errorFrame() {
  Reply r;
  r.type = Reply::ErrorFrame;
  return r;
}

Bytes infoFrame(const Bytes& answerBytes, bool extended) {
  const std::size_t len = answerBytes.size() + 1;
  Bytes f = {0x00, 0x00, 0xFF};
  if (!extended && len <= 0xFF) {
    f.push_back(u8(static_cast<unsigned>(len)));
    f.push_back(u8(0x100u - static_cast<unsigned>(len)));
  } else {
    const std::uint8_t m = u8(static_cast<unsigned>(len >> 8));
    const std::uint8_t l = u8(static_cast<unsigned>(len));
    f.insert(f.end(), {0xFF, 0xFF, m, l, u8(0x100u - ((m + l) & 0xFFu))});
  }
  unsigned sum = kTfiController;
  f.push_back(kTfiController);
  for (std::uint8_t b : answerBytes) {
    f.push_back(b);
    sum += b;
  }
  f.push_back(u8(0x100u - (sum & 0xFFu)));
  f.push_back(0x00);
  return f;
}

bool isExtended(const Bytes& f) { return f.size() > 4 && f[3] == 0xFF && f[4] == 0xFF; }

bool sameBytes(const Bytes& a, const std::uint8_t* b, std::size_t n) {
  return a.size() == n && std::equal(a.begin(), a.end(), b);
}

}  // namespace

struct Controller::State {
  Field field;
  Faults faults;
  std::vector<Bytes> commands;

  // line
  std::uint32_t baud = 115200;
  std::uint32_t pendingBaud = 0;  // SetSerialBaudRate waiting for the host's ACK
  bool pacing = false;
  std::uint32_t ackDelayUs = 0;

  // receiver
  Bytes rx;
  // The byte after the one being fed, within the same host write, so that a
  // frame is taken when its postamble arrives.
  const std::uint8_t* lookahead = nullptr;
  std::uint64_t lookaheadTime = 0;
  bool lookaheadTaken = false;
  std::vector<std::uint64_t> rxTimes;
  std::uint64_t rxFreeAt = 0;

  // transmitter: bytes and their arrival times, in time order
  struct Out {
    std::uint64_t t;
    std::uint8_t b;
  };
  std::deque<Out> out;
  std::uint64_t txFreeAt = 0;
  Bytes lastAnswerFrame;

  // a command that waits; its answer (if queued) is the last `waitBytes` of `out`
  bool waiting = false;
  std::size_t waitBytes = 0;
  std::uint64_t waitAnswerAt = 0;
  bool waitIsActivation = false;  // the answer is TgInitAsTarget's

  // controller settings
  std::map<std::uint16_t, std::uint8_t> registers;
  std::uint8_t p3 = 0x3F;
  std::uint8_t p7 = 0x06;
  bool rfOn = false;
  bool poweredDown = false;

  // targets
  std::vector<Target> listed;  // Tg = index + 1
  std::vector<Bytes> halted;   // Type A and B cards put to sleep by InDeselect / InRelease
  TargetMode targetMode = TargetMode::Idle;

  // ---- transmitter ----
  void emit(const std::uint8_t* data, std::size_t n, std::uint64_t at) {
    std::uint64_t start = std::max(at, txFreeAt);
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint64_t t = pacing ? start + lineTimeUs(k + 1, baud) : start;
      out.push_back({t, data[k]});
    }
    txFreeAt = pacing ? start + lineTimeUs(n, baud) : start;
  }
  void emit(const Bytes& b, std::uint64_t at) { emit(b.data(), b.size(), at); }

  // Cancels a waiting command whose answer has not begun to arrive by `now`.
  void abortWaiting(std::uint64_t now) {
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

  // ---- receiver ----
  void feed(std::uint8_t b, std::uint64_t t) {
    if (!rx.empty() && t > rxTimes.back() + kFrameGapUs) {
      rx.clear();
      rxTimes.clear();
    }
    rx.push_back(b);
    rxTimes.push_back(t);
    parse();
  }

  void consume(std::size_t n) {
    rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(n));
    rxTimes.erase(rxTimes.begin(), rxTimes.begin() + static_cast<std::ptrdiff_t>(n));
  }

  // Finds and takes whole frames from the front of rx: skips to the start code
  // 00 FF, decides from the length bytes when the frame is complete, then checks it.
  void parse() {
    for (;;) {
      std::size_t i = 0;
      while (i + 1 < rx.size() && !(rx[i] == 0x00 && rx[i + 1] == 0xFF)) ++i;
      if (i + 1 >= rx.size()) {
        // Keep a trailing 00 that may begin a start code.
        const bool keepLast = !rx.empty() && rx.back() == 0x00;
        consume(keepLast ? rx.size() - 1 : rx.size());
        return;
      }
      consume(i);
      if (rx.size() < 4) return;
      const std::uint8_t len = rx[2];
      const std::uint8_t lcs = rx[3];
      if (len == 0x00 && lcs == 0xFF) {
        const std::uint64_t t = rxTimes[3];
        consume(rx.size() > 4 && rx[4] == 0x00 ? 5 : 4);
        hostAck(t);
        continue;
      }
      if (len == 0xFF && lcs == 0x00) {
        const std::uint64_t t = rxTimes[3];
        consume(rx.size() > 4 && rx[4] == 0x00 ? 5 : 4);
        hostNack(t);
        continue;
      }
      std::size_t head = 4;
      std::size_t length = len;
      if (len == 0xFF && lcs == 0xFF) {
        if (rx.size() < 7) return;
        head = 7;
        length = static_cast<std::size_t>(rx[4]) << 8 | rx[5];
        if (((rx[4] + rx[5] + rx[6]) & 0xFF) != 0 || length == 0 || length > kLongestHostFrame) {
          consume(2);
          continue;
        }
      } else if (((len + lcs) & 0xFF) != 0 || length == 0) {
        consume(2);  // a wrong length checksum: the frame is ignored
        continue;
      }
      if (rx.size() < head + length + 1) return;
      unsigned sum = 0;
      for (std::size_t k = head; k <= head + length; ++k) sum += rx[k];
      if ((sum & 0xFF) != 0 || rx[head] != kTfiHost) {
        consume(2);  // a wrong data checksum or TFI: the frame is ignored
        continue;
      }
      Bytes payload(rx.begin() + static_cast<std::ptrdiff_t>(head + 1),
                    rx.begin() + static_cast<std::ptrdiff_t>(head + length));
      std::size_t whole = head + length + 1;
      std::uint64_t t = rxTimes[whole - 1];
      if (rx.size() > whole && rx[whole] == 0x00) {
        t = rxTimes[whole++];  // postamble
      } else if (rx.size() == whole && lookahead && *lookahead == 0x00) {
        t = lookaheadTime;  // the postamble is the next byte of this write
        lookaheadTaken = true;
        lookahead = nullptr;
      }
      consume(whole);
      command(payload, t);
    }
  }

  void hostAck(std::uint64_t t) {
    abortWaiting(t);
    if (pendingBaud != 0) {
      baud = pendingBaud;
      pendingBaud = 0;
    }
  }

  // The host asks for the last answer again (PN532 user manual, 6.2.1.4).
  void hostNack(std::uint64_t t) {
    pendingBaud = 0;
    if (!lastAnswerFrame.empty()) emit(lastAnswerFrame, t + ackDelayUs);
  }

  void command(const Bytes& payload, std::uint64_t t) {
    abortWaiting(t);
    pendingBaud = 0;
    commands.push_back(payload);
    const FaultEntry fault = faults.take();
    const std::uint64_t ackAt = t + ackDelayUs;
    if (fault.fault == Fault::Silence) return;
    if (fault.fault == Fault::Nack) {
      emit(kNack, sizeof kNack, ackAt);
      return;
    }
    if (fault.fault == Fault::GarbageBeforeAck) emit(garbage(fault.param, 3), ackAt);
    emit(kAck, sizeof kAck, ackAt);

    Reply r = payload.empty() ? errorFrame() : run(payload, t);
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
      waitIsActivation = payload[0] == 0x8C;
    }
  }

  static Bytes garbage(std::uint32_t param, std::uint32_t fallback) {
    return Bytes(param ? param : fallback, kGarbageByte);
  }

  static void mangle(Bytes* f, const FaultEntry& fault) {
    Bytes& frame = *f;
    if (frame.size() < 8) return;
    switch (fault.fault) {
      case Fault::BadLcs:
        frame[isExtended(frame) ? 7 : 4]++;
        break;
      case Fault::BadDcs:
        frame[frame.size() - 2]++;
        break;
      case Fault::Truncated:
        frame.resize(frame.size() / 2);
        break;
      case Fault::Oversized: {
        // More data than LEN announces, with a DCS that covers all of it.
        const std::size_t extra = fault.param ? fault.param : 4;
        frame.insert(frame.end() - 2, extra, 0x5A);
        const std::size_t tfi = isExtended(frame) ? 8 : 5;
        unsigned sum = 0;
        for (std::size_t k = tfi; k < frame.size() - 2; ++k) sum += frame[k];
        frame[frame.size() - 2] = u8(0x100u - (sum & 0xFFu));
        break;
      }
      default:
        break;
    }
  }

  // ---- field ----
  void fieldOff() {
    rfOn = false;
    listed.clear();
    halted.clear();
    targetMode = TargetMode::Idle;
  }

  bool isHalted(const Bytes& id) const {
    return std::find(halted.begin(), halted.end(), id) != halted.end();
  }

  FelicaCard* findFelica(const Bytes& id) {
    if (!field.present) return nullptr;
    for (FelicaCard& c : field.felica)
      if (sameBytes(id, c.idm.data(), c.idm.size())) return &c;
    return nullptr;
  }
  MifareClassicCard* findMifare(const Bytes& id) {
    if (!field.present) return nullptr;
    for (MifareClassicCard& c : field.mifare)
      if (sameBytes(id, c.uid.data(), c.uid.size())) return &c;
    return nullptr;
  }
  PageCard* findPage(const Bytes& id) {
    if (!field.present) return nullptr;
    for (PageCard& c : field.page)
      if (sameBytes(id, c.uid.data(), c.uid.size())) return &c;
    return nullptr;
  }
  TypeBCard* findTypeB(const Bytes& id) {
    if (!field.present) return nullptr;
    for (TypeBCard& c : field.typeB)
      if (sameBytes(id, c.pupi.data(), c.pupi.size())) return &c;
    return nullptr;
  }
  TypeACard* findTypeA(const Bytes& id) {
    if (!field.present) return nullptr;
    for (TypeACard& c : field.typeA)
      if (c.nfcid == id) return &c;
    return nullptr;
  }

  Target* target(std::uint8_t tg) {
    const std::size_t n = tg & 0x0F;
    if (n == 0 || n > listed.size()) return nullptr;
    return &listed[n - 1];
  }

  // ---- commands ----
  Reply run(const Bytes& p, std::uint64_t t) {
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
      case 0x06: {  // ReadRegister: address pairs
        if (n < 3 || (n - 1) % 2 != 0) return errorFrame();
        Bytes a = {0x07};
        for (std::size_t k = 1; k + 1 < n; k += 2) a.push_back(readRegister(u16(p[k], p[k + 1])));
        return answer(a);
      }
      case 0x08:  // WriteRegister: address and value triples
        if (n < 4 || (n - 1) % 3 != 0) return errorFrame();
        for (std::size_t k = 1; k + 2 < n; k += 3) registers[u16(p[k], p[k + 1])] = p[k + 2];
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
      case 0x12:
        if (n != 2) return errorFrame();
        return answer({0x13});
      case 0x14:
        if (n < 2) return errorFrame();
        return answer({0x15});
      case 0x16:  // PowerDown: asleep after the answer, until the host's next byte
        if (n < 2) return errorFrame();
        fieldOff();
        poweredDown = true;
        return answer({0x17, kStatusOk});
      case 0x32:
        return rfConfiguration(p);
      case 0x40:
        return inDataExchange(p);
      case 0x42:
        return inCommunicateThru(p);
      case 0x44:
      case 0x52:
        return inDeselectOrRelease(p);
      case 0x4A:
        return inListPassiveTarget(p);
      case 0x54: {
        if (n != 2) return errorFrame();
        Target* tg = target(p[1]);
        if (!tg) return answer({0x55, kStatusWrongContext});
        tg->selected = true;
        tg->authSector = -1;
        halted.erase(std::remove(halted.begin(), halted.end(), tg->id), halted.end());
        return answer({0x55, kStatusOk});
      }
      case 0x56:
        return inJumpForDep(p);
      case 0x58:  // RFRegulationTest: ACK only
        return Reply{Reply::NoAnswer, {}, 0};
      case 0x86:
        return tgGetData();
      case 0x8A:
        return answer({0x8B, static_cast<std::uint8_t>(targetMode == TargetMode::Activated ? 0x01 : 0x00),
                       0x00});
      case 0x8C:
        return tgInitAsTarget(p, t);
      case 0x8E:
        return tgSetData(p);
      default:
        return errorFrame();
    }
  }

  static std::uint16_t u16(std::uint8_t hi, std::uint8_t lo) {
    return static_cast<std::uint16_t>(hi << 8 | lo);
  }

  std::uint8_t readRegister(std::uint16_t address) const {
    auto it = registers.find(address);
    if (it != registers.end()) return it->second;
    if (address == 0xFFB0) return p3;  // SFR P3
    if (address == 0xFFF7) return p7;  // SFR P7
    return 0x00;
  }

  Reply generalStatus() const {
    Bytes a = {0x05, 0x00, static_cast<std::uint8_t>(rfOn ? 1 : 0), u8(static_cast<unsigned>(listed.size()))};
    for (std::size_t k = 0; k < listed.size(); ++k) {
      const std::uint8_t br = listed[k].brTy == 0x02 ? 0x02 : listed[k].brTy == 0x01 ? 0x01 : 0x00;
      a.insert(a.end(), {u8(static_cast<unsigned>(k + 1)), br, br, listed[k].brTy});
    }
    a.push_back(0x00);  // SAM status
    return answer(a);
  }

  Reply rfConfiguration(const Bytes& p) {
    if (p.size() < 2) return errorFrame();
    if (p[1] == 0x01) {
      if (p.size() < 3) return errorFrame();
      if (p[2] & 0x01) {
        rfOn = true;
      } else {
        fieldOff();
      }
    }
    return answer({0x33});
  }

  Reply inDeselectOrRelease(const Bytes& p) {
    if (p.size() != 2) return errorFrame();
    const std::uint8_t code = u8(p[0] + 1u);
    const bool release = p[0] == 0x52;
    std::vector<Target> kept;
    for (std::size_t k = 0; k < listed.size(); ++k) {
      Target& tg = listed[k];
      const bool hit = p[1] == 0 || (p[1] & 0x0F) == k + 1;
      if (hit) {
        if (tg.kind != Kind::Felica && tg.kind != Kind::Peer) {  // HLTA / HLTB
          if (!isHalted(tg.id)) halted.push_back(tg.id);
        }
        tg.selected = false;
        tg.authSector = -1;
      }
      if (!(hit && release)) kept.push_back(tg);
    }
    listed = kept;
    return answer({code, kStatusOk});
  }

  // ---- InListPassiveTarget ----
  Reply inListPassiveTarget(const Bytes& p) {
    if (p.size() < 3) return errorFrame();
    const std::uint8_t maxTg = p[1];
    const std::uint8_t brTy = p[2];
    if (maxTg == 0 || maxTg > 2 || brTy > 0x04) return errorFrame();
    const Bytes init(p.begin() + 3, p.end());
    rfOn = true;
    listed.clear();
    targetMode = TargetMode::Idle;
    Bytes a = {0x4B, 0x00};
    auto add = [&](Kind kind, Bytes id, const Bytes& data) {
      listed.push_back({kind, std::move(id), brTy, true, -1});
      a.push_back(u8(static_cast<unsigned>(listed.size())));
      a.insert(a.end(), data.begin(), data.end());
      a[1] = u8(static_cast<unsigned>(listed.size()));
    };
    if (!field.present) return answer(a);
    if (brTy == 0x00) {
      auto typeAData = [](const std::array<std::uint8_t, 2>& sens, std::uint8_t sel,
                          const std::uint8_t* id, std::size_t len) {
        Bytes d = {sens[0], sens[1], sel, u8(static_cast<unsigned>(len))};
        d.insert(d.end(), id, id + len);
        return d;
      };
      auto fits = [&](const Bytes& id) {
        if (isHalted(id) || listed.size() >= maxTg) return false;
        return init.empty() || init == id;
      };
      for (MifareClassicCard& c : field.mifare) {
        Bytes id(c.uid.begin(), c.uid.end());
        if (!fits(id)) continue;
        const std::array<std::uint8_t, 2> sens = {0x00, static_cast<std::uint8_t>(c.fourK ? 0x02 : 0x04)};
        add(Kind::Mifare, id, typeAData(sens, c.fourK ? 0x18 : 0x08, c.uid.data(), c.uid.size()));
      }
      for (PageCard& c : field.page) {
        Bytes id(c.uid.begin(), c.uid.end());
        if (!fits(id)) continue;
        add(Kind::Page, id, typeAData({0x00, 0x44}, 0x00, c.uid.data(), c.uid.size()));
      }
      for (TypeACard& c : field.typeA) {
        if (!fits(c.nfcid)) continue;
        add(Kind::TypeA, c.nfcid, typeAData(c.sensRes, c.selRes, c.nfcid.data(), c.nfcid.size()));
      }
    } else if (brTy == 0x01 || brTy == 0x02) {
      // FeliCa Polling: 00 SC1 SC2 RC TSN; FF in a system code byte matches any.
      if (init.size() < 5) return errorFrame();
      if (init[0] != 0x00) return answer(a);
      for (FelicaCard& c : field.felica) {
        if (listed.size() >= maxTg) break;
        if (brTy == 0x02 && !c.answers424) continue;
        const std::uint8_t hi = u8(c.systemCode >> 8u);
        const std::uint8_t lo = u8(c.systemCode);
        if ((init[1] != 0xFF && init[1] != hi) || (init[2] != 0xFF && init[2] != lo)) continue;
        if (c.timeSlot > init[4]) continue;
        Bytes d = {0x12, 0x01};
        d.insert(d.end(), c.idm.begin(), c.idm.end());
        d.insert(d.end(), c.pmm.begin(), c.pmm.end());
        if (init[3] == 0x01) {
          d[0] = 0x14;
          d.push_back(hi);
          d.push_back(lo);
        }
        add(Kind::Felica, Bytes(c.idm.begin(), c.idm.end()), d);
      }
    } else if (brTy == 0x03) {
      const std::uint8_t afi = init.empty() ? 0x00 : init[0];
      for (TypeBCard& c : field.typeB) {
        if (listed.size() >= maxTg) break;
        if (!afiMatches(afi, c.afi) || isHalted(Bytes(c.pupi.begin(), c.pupi.end()))) continue;
        const auto atqb = c.atqb();
        Bytes d(atqb.begin(), atqb.end());
        d.push_back(u8(static_cast<unsigned>(c.attribRes.size())));
        d.insert(d.end(), c.attribRes.begin(), c.attribRes.end());
        add(Kind::TypeB, Bytes(c.pupi.begin(), c.pupi.end()), d);
      }
    }
    // 0x04 Jewel: no such card is modelled.
    return answer(a);
  }

  static bool afiMatches(std::uint8_t request, std::uint8_t card) {
    if (request == 0x00) return true;
    if ((request & 0x0F) == 0) return (card & 0xF0) == request;
    return card == request;
  }

  // ---- InCommunicateThru: WUPB / REQB to Type B cards ----
  // The request is 05 AFI PARAM; one leading byte before it is tolerated, since
  // the library sends 42 01 05 AFI 08.
  Reply inCommunicateThru(const Bytes& p) {
    rfOn = true;
    Bytes d(p.begin() + 1, p.end());
    if (d.size() == 4 && d[0] == 0x01) d.erase(d.begin());
    if (field.present && d.size() == 3 && d[0] == 0x05) {
      for (TypeBCard& c : field.typeB) {
        if (!afiMatches(d[1], c.afi)) continue;
        const auto atqb = c.atqb();
        Bytes a = {0x43, kStatusOk};
        a.insert(a.end(), atqb.begin(), atqb.end());
        return answer(a);
      }
    }
    return answer({0x43, kStatusTimeout});
  }

  // ---- InDataExchange ----
  Reply inDataExchange(const Bytes& p) {
    if (p.size() < 2) return errorFrame();
    if (targetMode != TargetMode::Idle) return answer({0x41, kStatusWrongContext});
    Target* tg = target(p[1]);
    if (!tg || !tg->selected) return answer({0x41, kStatusTimeout});
    const Bytes d(p.begin() + 2, p.end());
    Bytes a = {0x41};
    bool ok = false;
    switch (tg->kind) {
      case Kind::Felica:
        if (FelicaCard* c = findFelica(tg->id)) ok = felicaCommand(*c, d, &a);
        break;
      case Kind::Mifare:
        if (MifareClassicCard* c = findMifare(tg->id)) {
          mifareCommand(*c, *tg, d, &a);
          ok = true;
        }
        break;
      case Kind::Page:
        if (PageCard* c = findPage(tg->id)) ok = pageCommand(*c, d, &a);
        break;
      case Kind::TypeB:
        if (TypeBCard* c = findTypeB(tg->id)) {
          c->apdus.push_back(d);
          const Bytes r = c->responder ? c->responder(d) : TypeBCard::defaultResponder(d);
          if (!r.empty()) {
            a.push_back(kStatusOk);
            a.insert(a.end(), r.begin(), r.end());
            ok = true;
          }
        }
        break;
      case Kind::Peer:
        if (field.present && field.peer) return peerExchange(*field.peer, d);
        break;
      case Kind::TypeA:
        break;  // answers polling only
    }
    if (!ok) return answer({0x41, kStatusTimeout});
    return answer(a);
  }

  Reply peerExchange(DepPeer& peer, const Bytes& d) {
    peer.received.push_back(d);
    Bytes a = {0x41, kStatusOk};
    if (d.size() == 3 && d[0] == 0xA6) {
      if (peer.stopAfterSegments >= 0 && peer.segmentsAnswered >= peer.stopAfterSegments) {
        if (peer.stopMode == DepPeer::Stop::Silence) return Reply{Reply::NoAnswer, {}, 0};
        return answer({0x41, kStatusTimeout});
      }
      ++peer.segmentsAnswered;
      const Bytes seg = DepPeer::segment(d[1], d[2], peer.segmentLength);
      a.insert(a.end(), seg.begin(), seg.end());
      return answer(a);
    }
    a.insert(a.end(), d.begin(), d.end());
    return answer(a);
  }

  // FeliCa commands carried as L cmd IDm ...; false when the card stays silent.
  static bool felicaCommand(FelicaCard& c, const Bytes& d, Bytes* a) {
    if (d.size() < 10 || d[0] != d.size()) return false;
    if (!std::equal(c.idm.begin(), c.idm.end(), d.begin() + 2)) return false;
    const std::uint8_t cmd = d[1];
    auto head = [&](std::uint8_t code) {
      a->push_back(kStatusOk);
      a->push_back(0);  // length, set at the end
      a->push_back(code);
      a->insert(a->end(), c.idm.begin(), c.idm.end());
    };
    auto finish = [&]() { (*a)[2] = u8(static_cast<unsigned>(a->size() - 2)); };
    if (cmd == 0x04) {  // Request Response: mode 0
      head(0x05);
      a->push_back(0x00);
      finish();
      return true;
    }
    if (cmd == 0x02) {  // Request Service: key version 0000 per known service, FFFF otherwise
      if (d.size() < 11 || d.size() != 11 + 2u * d[10]) return false;
      head(0x03);
      a->push_back(d[10]);
      for (std::size_t k = 0; k < d[10]; ++k) {
        const bool known = c.service(u16(d[12 + 2 * k], d[11 + 2 * k]), false) != nullptr;
        a->push_back(known ? 0x00 : 0xFF);
        a->push_back(known ? 0x00 : 0xFF);
      }
      finish();
      return true;
    }
    if (cmd != 0x06 && cmd != 0x08) return false;
    const bool write = cmd == 0x08;
    head(write ? 0x09 : 0x07);
    std::vector<Block*> targets;
    std::uint8_t sf1 = 0x00;
    std::uint8_t sf2 = 0x00;
    std::size_t pos = 10;
    const std::size_t nServices = d.size() > pos ? d[pos] : 0;
    std::vector<std::uint16_t> codes;
    if (nServices < 1 || nServices > 16 || d.size() < pos + 2 + 2 * nServices) {
      sf1 = 0xFF;
      sf2 = 0xA1;
    } else {
      for (std::size_t k = 0; k < nServices; ++k)
        codes.push_back(u16(d[pos + 2 + 2 * k], d[pos + 1 + 2 * k]));  // low byte first
      pos += 1 + 2 * nServices;
      const std::size_t nBlocks = d[pos++];
      if (nBlocks < 1 || nBlocks > 15) {
        sf1 = 0xFF;
        sf2 = 0xA2;
      }
      for (std::size_t k = 0; k < nBlocks && sf1 == 0; ++k) {
        if (pos + 2 > d.size()) {
          sf1 = 0xFF;
          sf2 = 0xA2;
          break;
        }
        const std::uint8_t b0 = d[pos];
        std::size_t block = d[pos + 1];
        if (b0 & 0x80) {
          pos += 2;
        } else {
          if (pos + 3 > d.size()) {
            sf1 = 0xFF;
            sf2 = 0xA2;
            break;
          }
          block |= static_cast<std::size_t>(d[pos + 2]) << 8;
          pos += 3;
        }
        const std::size_t index = b0 & 0x0F;
        if (index >= codes.size()) {
          sf1 = 0x01;
          sf2 = 0xA3;
          break;
        }
        FelicaService* s = c.service(codes[index], false);
        if (!s) {
          sf1 = 0x01;
          sf2 = 0xA6;
          break;
        }
        if (write && !c.service(codes[index], true)) {
          sf1 = 0x01;
          sf2 = 0xA9;
          break;
        }
        if (block >= s->blocks.size()) {
          sf1 = 0x01;
          sf2 = 0xA8;
          break;
        }
        targets.push_back(&s->blocks[block]);
      }
      if (sf1 == 0 && (write ? d.size() != pos + 16 * targets.size() : d.size() != pos)) {
        sf1 = 0xFF;
        sf2 = 0xA2;
      }
    }
    a->push_back(sf1);
    a->push_back(sf2);
    if (sf1 == 0) {
      if (write) {
        for (std::size_t k = 0; k < targets.size(); ++k)
          std::copy(d.begin() + static_cast<std::ptrdiff_t>(pos + 16 * k),
                    d.begin() + static_cast<std::ptrdiff_t>(pos + 16 * k + 16), targets[k]->begin());
      } else {
        a->push_back(u8(static_cast<unsigned>(targets.size())));
        for (Block* b : targets) a->insert(a->end(), b->begin(), b->end());
      }
    }
    finish();
    return true;
  }

  // MIFARE Classic: every refusal is status 0x14 and closes the open sector.
  static void mifareCommand(MifareClassicCard& c, Target& tg, const Bytes& d, Bytes* a) {
    const int blockCount = static_cast<int>(c.blocks.size());
    auto refuse = [&]() {
      tg.authSector = -1;
      a->push_back(kStatusAuthError);
    };
    if (d.empty()) return refuse();
    const std::uint8_t cmd = d[0];
    if ((cmd == 0x60 || cmd == 0x61) && d.size() >= 12 && d[1] < blockCount) {
      const int sector = MifareClassicCard::sectorOf(d[1]);
      const auto key = cmd == 0x60 ? c.keyA(sector) : c.keyB(sector);
      if (std::equal(key.begin(), key.end(), d.begin() + 2) &&
          std::equal(c.uid.begin(), c.uid.end(), d.begin() + 8)) {
        tg.authSector = sector;
        a->push_back(kStatusOk);
        return;
      }
      return refuse();
    }
    if (cmd == 0x30 && d.size() == 2 && d[1] < blockCount &&
        MifareClassicCard::sectorOf(d[1]) == tg.authSector) {
      Block b = c.blocks[d[1]];
      if (MifareClassicCard::trailerOf(tg.authSector) == d[1]) std::fill(b.begin(), b.begin() + 6, 0);
      a->push_back(kStatusOk);
      a->insert(a->end(), b.begin(), b.end());
      return;
    }
    if (cmd == 0xA0 && d.size() == 18 && d[1] != 0 && d[1] < blockCount &&
        MifareClassicCard::sectorOf(d[1]) == tg.authSector) {
      std::copy(d.begin() + 2, d.end(), c.blocks[d[1]].begin());
      a->push_back(kStatusOk);
      return;
    }
    refuse();
  }

  static bool pageCommand(PageCard& c, const Bytes& d, Bytes* a) {
    if (d.empty()) return false;
    if (d[0] == 0x60) {
      const bool ok = d.size() == 16 && d[1] == 0x00 && (d[2] == 0x04 || d[2] == 0x00) &&
                      std::equal(kPagePrepare, kPagePrepare + 6, d.begin() + 3) &&
                      std::equal(c.uid.begin(), c.uid.end(), d.begin() + 9);
      a->push_back(ok ? kStatusOk : kStatusAuthError);
      return true;
    }
    if (d[0] == 0x30 && d.size() == 2 && d[1] < 16) {
      a->push_back(kStatusOk);
      for (unsigned k = 0; k < 4; ++k) {
        const auto& page = c.pages[(d[1] + k) % 16];
        a->insert(a->end(), page.begin(), page.end());
      }
      return true;
    }
    if (d[0] == 0xA2 && d.size() == 6 && d[1] >= 2 && d[1] < 16) {
      auto& page = c.pages[d[1]];
      if (d[1] == 2) {
        page[2] |= d[4];
        page[3] |= d[5];
      } else if (d[1] == 3 && c.oneTimePage3) {
        for (std::size_t k = 0; k < 4; ++k) page[k] |= d[2 + k];
      } else {
        std::copy(d.begin() + 2, d.end(), page.begin());
      }
      a->push_back(kStatusOk);
      return true;
    }
    return false;
  }

  // ---- peer to peer ----
  Reply inJumpForDep(const Bytes& p) {
    if (p.size() < 4) return errorFrame();
    if (p[2] > 0x02) return errorFrame();
    rfOn = true;
    listed.clear();
    targetMode = TargetMode::Idle;
    if (!field.present || !field.peer) return answer({0x57, kStatusTimeout});
    listed.push_back({Kind::Peer, Bytes(field.peer->nfcid3.begin(), field.peer->nfcid3.end()), 0x40, true, -1});
    Bytes a = {0x57, kStatusOk, 0x01};
    a.insert(a.end(), field.peer->nfcid3.begin(), field.peer->nfcid3.end());
    a.insert(a.end(), {0x00, 0x00, 0x00, 0x0E, 0x30});  // DIDt BSt BRt TO PPt
    return answer(a);
  }

  // ---- target mode ----
  Reply tgInitAsTarget(const Bytes& p, std::uint64_t t) {
    // 8C Mode SENS_RES(2) NFCID1t(3) SEL_RES FeliCaParams(18) NFCID3t(10) [Gt] [Tk]
    if (p.size() < 36) return errorFrame();
    listed.clear();
    const Initiator* ini = field.present && field.initiator ? &*field.initiator : nullptr;
    if (!ini || ini->never) {
      targetMode = TargetMode::Waiting;
      return Reply{Reply::Wait, {}, 0};
    }
    targetMode = TargetMode::Activated;
    Bytes a = {0x8D, ini->modeByte};
    a.insert(a.end(), ini->atrReq.begin(), ini->atrReq.end());
    Reply r = answer(a);
    r.at = t + ackDelayUs + ini->activateAfterUs;
    return r;
  }

  Reply tgGetData() {
    if (targetMode != TargetMode::Activated) return answer({0x87, kStatusWrongContext});
    Initiator* ini = field.present && field.initiator ? &*field.initiator : nullptr;
    if (!ini) {
      targetMode = TargetMode::Idle;
      return answer({0x87, kStatusReleased});
    }
    if (ini->toSend.empty()) {
      if (!ini->releasesWhenDone) return Reply{Reply::Wait, {}, 0};
      targetMode = TargetMode::Idle;
      return answer({0x87, kStatusReleased});
    }
    Bytes a = {0x87, kStatusOk};
    a.insert(a.end(), ini->toSend.front().begin(), ini->toSend.front().end());
    ini->toSend.pop_front();
    return answer(a);
  }

  Reply tgSetData(const Bytes& p) {
    if (targetMode != TargetMode::Activated) return answer({0x8F, kStatusWrongContext});
    Initiator* ini = field.present && field.initiator ? &*field.initiator : nullptr;
    if (!ini) {
      targetMode = TargetMode::Idle;
      return answer({0x8F, kStatusReleased});
    }
    ini->received.emplace_back(p.begin() + 1, p.end());
    return answer({0x8F, kStatusOk});
  }
};

Controller::Controller() : state_(new State) {}
Controller::~Controller() = default;

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
    s.poweredDown = false;  // any byte wakes the controller
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
Field& Controller::field() { return state_->field; }
Faults& Controller::faults() { return state_->faults; }
const std::vector<std::vector<std::uint8_t>>& Controller::commands() const { return state_->commands; }
void Controller::clearCommands() { state_->commands.clear(); }
std::uint8_t Controller::registerValue(std::uint16_t address) const { return state_->readRegister(address); }
std::uint8_t Controller::gpioP3() const { return state_->p3; }
std::uint8_t Controller::gpioP7() const { return state_->p7; }
bool Controller::rfFieldOn() const { return state_->rfOn; }
bool Controller::poweredDown() const { return state_->poweredDown; }

}  // namespace pelvsim
