// Benchmarks over a pseudo-terminal: the shipped library (libpelvane) against the
// simulated controller pacing every byte at 115200 baud, 10 bits a byte, in both
// directions, and the same operations through libnfc's pn532_uart driver on the
// same paced line in the same run; then the library alone on a faster line
// (PV_SetLineSpeed, 921600 baud unless --fast-baud says otherwise).
// With --rf-timing the simulated controller also models the RF side: every answer
// waits for the air time of the frames its command exchanged with the cards and
// their response times (sim/rf_timing.h). The controller records that time per
// command, and the bench adds up each run's as rf_ms.
//
// Each figure is the mean wall time of one operation, set against its wire time:
// the bytes of every frame that crossed the line for it, both ways, ACKs
// included, x 10 / 115200 s. The bytes are counted by replaying every command
// the controller received, in order, on a second unpaced model with the same
// cards, which gives the same answers; so the count is exact for whatever each
// client actually sent. Where the library pauses on purpose (47 ms after each
// segment, 10 ms or 20 ms in some mode selections) the floor is wire time plus
// those pauses.
//
//   pelvane_bench [--iterations N] [--no-libnfc] [--realtime] [--fast-baud B] [--rf-timing]
//                 [--idle-states]
// The processors are kept out of their deeper idle states for the run (where root
// may: /dev/cpu_dma_latency), since waking from them costs each exchange more than
// the library does; --idle-states leaves them be.
// --realtime runs every thread of the benchmark (library, libnfc, the simulated
// controller) under SCHED_FIFO, which keeps a busy machine's other work from
// delaying them; both clients are measured the same way either way.
// Prints a table and one line per operation for scripts:
//   bench <operation> baud=<b> pelvane_ms=<mean> wire_ms=<..> [rf_ms=<..>] [floor_ms=<..>] [libnfc_ms=<mean>]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "cards.h"
#include "controller.h"
#include "field.h"
#include "pelvane.h"
#include "pty_server.h"

#ifdef PELVANE_BENCH_LIBNFC
#include <nfc/nfc.h>
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

constexpr int kPort = 9;
constexpr double kBitsPerByte = 10.0;
constexpr const char* kCards = "felica,mifare1k,typeB,peer";

// The cards (sim/field.h).
const Bytes kIdm = {0x01, 0x2E, 0x4C, 0x10, 0x00, 0x00, 0x00, 0x01};
const Bytes kUid = {0x0A, 0x01, 0x3C, 0x4D};
const Bytes kKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

double wireMs(std::uint64_t bytes, std::uint32_t baud) {
  return static_cast<double>(bytes) * kBitsPerByte / baud * 1000.0;
}

// A host frame as it crosses the line: 00 00 FF LEN LCS D4 payload DCS 00, or the
// extended form for payloads of 255 bytes and more.
std::size_t hostFrameSize(std::size_t payload) { return payload + 1 <= 255 ? payload + 8 : payload + 11; }

Bytes hostFrame(const Bytes& payload) {
  const std::size_t len = payload.size() + 1;
  Bytes f = {0x00, 0x00, 0xFF};
  if (len <= 255) {
    f.push_back(static_cast<std::uint8_t>(len));
    f.push_back(static_cast<std::uint8_t>(0x100 - len));
  } else {
    const auto m = static_cast<std::uint8_t>(len >> 8);
    const auto l = static_cast<std::uint8_t>(len & 0xFF);
    f.insert(f.end(), {0xFF, 0xFF, m, l, static_cast<std::uint8_t>(0x100 - ((m + l) & 0xFF))});
  }
  unsigned sum = 0xD4;
  f.push_back(0xD4);
  for (std::uint8_t b : payload) {
    f.push_back(b);
    sum += b;
  }
  f.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
  f.push_back(0x00);
  return f;
}

// ---- measurements ----

struct Sample {
  std::vector<double> ms;
  std::vector<std::pair<std::size_t, std::size_t>> commands;  // controller command indexes per run
  int failures = 0;
  double wireMs = 0.0;  // per run, filled in after the replay
  double rfMs = 0.0;    // per run: the air time the controller added (RF timing)
  double rfPastAckMs = 0.0;  // the part of it that the answer waits for after the ACK

  int runs() const { return static_cast<int>(ms.size()); }
  double mean() const {
    double t = 0.0;
    for (double v : ms) t += v;
    return ms.empty() ? 0.0 : t / static_cast<double>(ms.size());
  }
  double median() const {
    if (ms.empty()) return 0.0;
    std::vector<double> v = ms;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  double min() const { return ms.empty() ? 0.0 : *std::min_element(ms.begin(), ms.end()); }
};

struct Operation {
  std::string name;
  std::string what;
  double pausesMs = 0.0;  // the library's own pauses in one operation
  Sample pelvane;
  Sample libnfc;
  // A command written raw, without waiting for its answer, whose bytes cross the
  // line during the pause that follows it (mode selection's InSelect for Type B).
  std::uint8_t overlapsPause = 0;
  double floorMs = 0.0;  // wire time plus the pauses, less what overlaps them
};

class Bench {
 public:
  Bench(int iterations, std::uint32_t baud, bool rfTiming)
      : iterations_(iterations), baud_(baud), rfTiming_(rfTiming) {}
  int run(bool withLibnfc);

 private:
  using Run = std::function<bool()>;

  std::size_t commandCount() {
    std::size_t n = 0;
    server_.withController([&](pelvsim::Controller& c) { n = c.commands().size(); });
    return n;
  }
  void timeOne(Sample& s, const Run& fn) {
    const std::size_t first = commandCount();
    const auto t0 = SteadyClock::now();
    const bool ok = fn();
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
    s.ms.push_back(ms);
    s.commands.emplace_back(first, commandCount());
    if (!ok) ++s.failures;
  }
  // Runs the library's and libnfc's version of an operation by turns, so that
  // both see the same load on the machine; `warmup` untimed turns first.
  void measure(Operation& o, int runs, int warmup, const Run& pelvane, const Run& libnfc = Run()) {
    for (int i = 0; i < warmup; ++i) {
      pelvane();
      if (libnfc) libnfc();
    }
    for (int i = 0; i < runs; ++i) {
      timeOne(o.pelvane, pelvane);
      if (libnfc) timeOne(o.libnfc, libnfc);
    }
  }
  std::uint16_t command(const Bytes& packet) {
    return RF_COMMAND(kPort, packet.data(), response_.data());
  }
  bool commandOk(const Bytes& packet, std::size_t length) {
    const std::uint16_t r = command(packet);
    return r == PELVANE_RESULT_DONE && response_[2] == 0x00 && response_[0] == length;
  }
  bool selectMode(std::uint8_t code) {
    return commandOk({0x07, 0x10, code, 0x0A, 0x00, 0x00, 0x00}, 5);
  }
  Operation& op(const std::string& name, const std::string& what, double pausesMs = 0.0) {
    ops_.push_back(Operation{name, what, pausesMs, {}, {}, 0, 0.0});
    return ops_.back();
  }
  bool openLibnfc();
  void closeLibnfc();
  void runAll();
  void countWire();
  void report();
  double target() const;
  void reportEarlier() const;

  int iterations_;
  std::uint32_t baud_;  // 115200, or the faster line asked for with PV_SetLineSpeed
  bool rfTiming_;       // the simulated controller models the RF side
  pelvsim::PtyServer server_;
  std::vector<std::uint8_t> response_ = std::vector<std::uint8_t>(PELVANE_RESPONSE_MAX);
  std::deque<Operation> ops_;
#ifdef PELVANE_BENCH_LIBNFC
  nfc_context* context_ = nullptr;
  nfc_device* device_ = nullptr;
#endif
};

bool Bench::openLibnfc() {
#ifdef PELVANE_BENCH_LIBNFC
  nfc_init(&context_);
  if (context_ == nullptr) {
    std::fprintf(stderr, "bench: nfc_init failed\n");
    return false;
  }
  const std::string connstring = "pn532_uart:" + server_.slavePath() + ":115200";
  device_ = nfc_open(context_, connstring.c_str());
  if (device_ == nullptr || nfc_initiator_init(device_) < 0) {
    std::fprintf(stderr, "bench: libnfc could not open %s\n", connstring.c_str());
    closeLibnfc();
    return false;
  }
  return true;
#else
  std::printf("bench: built without libnfc (libnfc-dev not found)\n");
  return false;
#endif
}

void Bench::closeLibnfc() {
#ifdef PELVANE_BENCH_LIBNFC
  if (device_ != nullptr) nfc_close(device_);
  if (context_ != nullptr) nfc_exit(context_);
  device_ = nullptr;
  context_ = nullptr;
#endif
}

void Bench::runAll() {
  const int n = iterations_;
  Run none;
#ifdef PELVANE_BENCH_LIBNFC
  nfc_target target;
  std::uint8_t rx[300];
  auto transceive = [&](const Bytes& tx, std::size_t expected) {
    const int got = nfc_initiator_transceive_bytes(device_, tx.data(), tx.size(), rx, sizeof rx, 1000);
    return got == static_cast<int>(expected);
  };
  auto withLibnfc = [&](Run fn) { return device_ != nullptr ? fn : Run(); };
#else
  auto withLibnfc = [](Run) { return Run(); };
#endif

  // FeliCa: mode selection, polling, Read Without Encryption of 4 blocks of 090F.
  measure(op("select_felica", "0x10 mode 0x10: GetFirmwareVersion + 2 RFConfiguration"), n, 2,
          [&] { return selectMode(0x10); });
  Run libnfcPollFelica;
  Run libnfcReadFelica;
  Bytes felicaRead = {0x00, 0x30};
  felicaRead.insert(felicaRead.end(), kIdm.begin(), kIdm.end());
  felicaRead.insert(felicaRead.end(), {0x01, 0x09, 0x0F, 0x04, 0x80, 0x00, 0x80, 0x01, 0x80, 0x02, 0x80, 0x03});
  felicaRead[0] = static_cast<std::uint8_t>(felicaRead.size());
#ifdef PELVANE_BENCH_LIBNFC
  const nfc_modulation felica = {NMT_FELICA, NBR_212};
  libnfcPollFelica = [&] {
    return nfc_initiator_select_passive_target(device_, felica, nullptr, 0, &target) > 0;
  };
  // The same card command, service codes low byte first.
  Bytes felicaFrame = {0x00, 0x06};
  felicaFrame.insert(felicaFrame.end(), kIdm.begin(), kIdm.end());
  felicaFrame.insert(felicaFrame.end(), {0x01, 0x0F, 0x09, 0x04, 0x80, 0x00, 0x80, 0x01, 0x80, 0x02, 0x80, 0x03});
  felicaFrame[0] = static_cast<std::uint8_t>(felicaFrame.size());
  libnfcReadFelica = [&, felicaFrame] { return transceive(felicaFrame, 13 + 64); };
#endif
  measure(op("poll_felica", "0x20 in mode 1 / select_passive_target FeliCa 212k"), n, 2,
          [&] { return commandOk({0x05, 0x20, 0xFF, 0xFF, 0x00}, 11); }, withLibnfc(libnfcPollFelica));
  measure(op("read_felica_4", "0x30 in mode 1 / transceive_bytes: Read w/o Encryption, 4 blocks"), n, 2,
          [&] { return commandOk(felicaRead, 3 + 64); }, withLibnfc(libnfcReadFelica));

  // MIFARE Classic 1K: polling, authentication + 4 READs of sector 1, one READ.
  selectMode(0x30);
  Run libnfcPollA;
  Run libnfcReadMifare;
  Run libnfcReadOne;
#ifdef PELVANE_BENCH_LIBNFC
  const nfc_modulation typeA = {NMT_ISO14443A, NBR_106};
  libnfcPollA = [&] { return nfc_initiator_select_passive_target(device_, typeA, nullptr, 0, &target) > 0; };
  Bytes auth = {0x60, 0x04};
  auth.insert(auth.end(), kKey.begin(), kKey.end());
  auth.insert(auth.end(), kUid.begin(), kUid.end());
  libnfcReadMifare = [&, auth] {
    bool good = transceive(auth, 0);
    for (std::uint8_t block = 4; block < 8; ++block) good = transceive({0x30, block}, 16) && good;
    return good;
  };
  libnfcReadOne = [&] { return transceive({0x30, 0x04}, 16); };
#endif
  measure(op("poll_typea", "0x20 in mode 3 / select_passive_target ISO14443A 106k"), n, 2,
          [&] { return commandOk({0x02, 0x20}, 7); }, withLibnfc(libnfcPollA));
  Bytes mifareRead = {0x0F, 0x30};
  mifareRead.insert(mifareRead.end(), kUid.begin(), kUid.end());
  mifareRead.insert(mifareRead.end(), kKey.begin(), kKey.end());
  mifareRead.insert(mifareRead.end(), {0x01, 0x00, 0x04});  // sector 1, blocks 4 to 7
  measure(op("read_mifare_4", "0x30 in mode 3 / transceive_bytes: auth key A + 4 READs"), n, 2,
          [&] { return commandOk(mifareRead, 3 + 64); }, withLibnfc(libnfcReadMifare));
  // The sector stays open after the authentication: one READ on its own.
  measure(op("mifare_read_1", "0x86 30 04 / transceive_bytes 30 04: one READ of 16 bytes"), n, 2,
          [&] { return commandOk({0x04, 0x86, 0x30, 0x04}, 3 + 16); }, withLibnfc(libnfcReadOne));

  // Peer in mode 7: mode selection, a 250-byte exchange, a segmented read.
  measure(op("select_peer", "0x10 mode 0x50: FeliCa poll, 20 ms pause, reset sequence", 20.0), n, 2,
          [&] { return selectMode(0x50); });
  commandOk({0x03, 0x50, 0x02}, 3);  // InJumpForDEP, active, 424k
  Bytes exchange = {252, 0x86};
  for (int i = 0; i < 250; ++i) exchange.push_back(static_cast<std::uint8_t>(i % 0xA0));
  Run libnfcExchange;
#ifdef PELVANE_BENCH_LIBNFC
  Bytes payload(exchange.begin() + 2, exchange.end());
  if (device_ != nullptr &&
      nfc_initiator_select_dep_target(device_, NDM_ACTIVE, NBR_424, nullptr, &target, 1000) > 0) {
    libnfcExchange = [&, payload] { return transceive(payload, 250) && std::memcmp(rx, payload.data(), 250) == 0; };
  } else if (device_ != nullptr) {
    std::fprintf(stderr, "bench: libnfc found no DEP target\n");
  }
#endif
  measure(op("exchange_250", "0x86 / transceive_bytes: 250 bytes, echoed by the peer"), std::max(5, n / 2), 1,
          [&] {
            return commandOk(exchange, 253) &&
                   std::memcmp(response_.data() + 3, exchange.data() + 2, 250) == 0;
          },
          withLibnfc(libnfcExchange));
  measure(op("segmented_10", "0x70: 10 segments of 243 bytes, 47 ms after each", 10 * 47.0),
          std::max(3, n / 10), 1, [&] {
            const std::uint16_t r = command({0x06, 0x70, 0x00, 0x00, 0x00, 0x0A});
            return r == PELVANE_RESULT_DONE && response_[0] == 10 && response_[2] == 0x00;
          });

  // Type B mode selection: the raw InSelect, 10 ms, the reset sequence.
  Operation& typeB = op("select_typeb", "0x10 mode 0x60: raw InSelect, 10 ms pause, reset sequence", 10.0);
  typeB.overlapsPause = 0x54;
  measure(typeB, n, 2, [&] { return selectMode(0x60); });
  (void)none;
}

// Replays every command the controller received on an unpaced model with the
// same cards and counts, per command, the bytes both ways: the host frame, and
// the ACK and answer frames (or whatever else) the model sends back.
void Bench::countWire() {
  std::vector<Bytes> commands;
  std::vector<std::uint64_t> rfUs;
  server_.withController([&](pelvsim::Controller& c) {
    commands = c.commands();
    rfUs = c.rfTimesUs();
  });
  pelvsim::Controller shadow;
  pelvsim::addCards(kCards, shadow.field());
  std::vector<std::uint64_t> bytes(commands.size());
  std::uint64_t t = 1000000;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    const Bytes f = hostFrame(commands[i]);
    shadow.hostWrote(f.data(), f.size(), t, 115200);
    std::uint64_t out = 0;
    while (shadow.pop(t) >= 0) ++out;
    bytes[i] = hostFrameSize(commands[i].size()) + out;
    t += 1000000;  // a second apart: no frame runs into the next
  }
  // Mean bytes per run of the commands with code `only` (all when 0), as time.
  auto wireOf = [&](const Sample& s, std::uint8_t only) {
    std::uint64_t total = 0;
    for (const auto& [first, last] : s.commands) {
      for (std::size_t i = first; i < last && i < bytes.size(); ++i) {
        if (only == 0 || (!commands[i].empty() && commands[i][0] == only)) total += bytes[i];
      }
    }
    return s.runs() > 0 ? wireMs(total, baud_) / s.runs() : 0.0;
  };
  // The same for the air time the controller recorded; `beyondAck`: only what
  // is left of it once the ACK has crossed (the ACK goes out while the RF side
  // works, so an answer waits for the longer of the two).
  const double ackMs = wireMs(6, baud_);
  auto rfOf = [&](const Sample& s, std::uint8_t only, bool beyondAck) {
    double ms = 0.0;
    for (const auto& [first, last] : s.commands) {
      for (std::size_t i = first; i < last && i < rfUs.size(); ++i) {
        if (only != 0 && (commands[i].empty() || commands[i][0] != only)) continue;
        const double rf = static_cast<double>(rfUs[i]) / 1000.0;
        ms += beyondAck ? std::max(0.0, rf - ackMs) : rf;
      }
    }
    return s.runs() > 0 ? ms / s.runs() : 0.0;
  };
  for (Operation& o : ops_) {
    o.pelvane.wireMs = wireOf(o.pelvane, 0);
    o.libnfc.wireMs = wireOf(o.libnfc, 0);
    o.pelvane.rfMs = rfOf(o.pelvane, 0, false);
    o.libnfc.rfMs = rfOf(o.libnfc, 0, false);
    o.pelvane.rfPastAckMs = rfOf(o.pelvane, 0, true);
    o.libnfc.rfPastAckMs = rfOf(o.libnfc, 0, true);
    // A command that crosses during a pause takes its air time there too.
    const double overlap =
        o.overlapsPause != 0 ? wireOf(o.pelvane, o.overlapsPause) + rfOf(o.pelvane, o.overlapsPause, true) : 0.0;
    o.floorMs = o.pelvane.wireMs + o.pelvane.rfPastAckMs - overlap + std::max(o.pausesMs, overlap);
  }
}

// At 115200 a frame's line time dwarfs what the host adds; on a faster line the
// same fixed cost per exchange (two wake-ups, the status calls) weighs more, so the
// target there is 1.3 x.
double Bench::target() const { return baud_ == 115200 ? 1.10 : 1.30; }

void Bench::report() {
  std::printf("\nPaced line: %u baud, 10 bits a byte, both directions. Times in ms: mean (median, min);\n"
              "med x = median / floor.\n", static_cast<unsigned>(baud_));
  std::printf("floor = wire time + the library's own pauses (less the bytes that cross during them)%s;\n"
              "target: pelvane mean <= %.2f x floor.\n",
              rfTiming_ ? " + rf, the air time the simulated controller modelled,\nless the ACK that crosses meanwhile" : "",
              target());
  std::printf("libnfc runs by turns with the library on the same line; its wire time is its own bytes.\n\n");
  std::printf("%-14s %4s %24s %8s %8s %8s %7s %5s %6s | %24s %8s %7s %7s\n", "operation", "runs",
              "pelvane mean (med, min)", "wire", "rf", "floor", "x floor", "", "med x", "libnfc mean (med, min)",
              rfTiming_ ? "wire+rf" : "its wire", "x wire", "pv/nfc");
  for (const Operation& o : ops_) {
    const Sample& p = o.pelvane;
    const double floor = o.floorMs;
    const double ratio = p.mean() / floor;
    std::printf("%-14s %4d %8.2f (%6.2f, %6.2f) %8.2f %8.2f %8.2f %7.3f %5s %6.3f |", o.name.c_str(), p.runs(),
                p.mean(), p.median(), p.min(), p.wireMs, p.rfMs, floor, ratio, ratio <= target() ? "ok" : "SLOW",
                p.median() / floor);
    const Sample& l = o.libnfc;
    if (l.runs() > 0) {
      const double its = l.wireMs + l.rfPastAckMs;
      std::printf(" %8.2f (%6.2f, %6.2f) %8.2f %7.3f %7.3f", l.mean(), l.median(), l.min(), its, l.mean() / its,
                  p.mean() / l.mean());
    }
    if (p.failures > 0 || l.failures > 0) {
      std::printf("  (failed runs: pelvane %d, libnfc %d)", p.failures, l.failures);
    }
    std::printf("\n");
  }
  std::printf("\n");
  for (const Operation& o : ops_) std::printf("  %-14s %s\n", o.name.c_str(), o.what.c_str());
  std::printf("\n");
  for (const Operation& o : ops_) {
    std::printf("bench %s baud=%u pelvane_ms=%.3f wire_ms=%.3f", o.name.c_str(),
                static_cast<unsigned>(baud_), o.pelvane.mean(), o.pelvane.wireMs);
    if (rfTiming_) std::printf(" rf_ms=%.3f", o.pelvane.rfMs);
    if (o.pausesMs > 0.0) std::printf(" floor_ms=%.3f", o.floorMs);
    if (o.libnfc.runs() > 0) std::printf(" libnfc_ms=%.3f", o.libnfc.mean());
    std::printf("\n");
  }
  if (baud_ == 115200 && !rfTiming_) reportEarlier();
}

// The figures of the 115200 baud line before the faster line and the waits that
// end when the bytes arrive came in: the default line must be no slower now.
void Bench::reportEarlier() const {
  struct Earlier {
    const char* name;
    double pelvaneMs;
    double wireMs;
  };
  static constexpr Earlier kEarlier[] = {{"poll_felica", 4.56, 4.43}, {"read_felica_4", 10.98, 10.85}};
  std::printf("\n");
  for (const Earlier& e : kEarlier) {
    for (const Operation& o : ops_) {
      if (o.name != e.name) continue;
      std::printf("bench %s baud=115200 pelvane_ms=%.3f median_ms=%.3f earlier_ms=%.2f (wire %.2f) %s\n", e.name,
                  o.pelvane.mean(), o.pelvane.median(), e.pelvaneMs, e.wireMs,
                  o.pelvane.mean() <= e.pelvaneMs ? "not slower" : "SLOWER");
    }
  }
}

int Bench::run(bool withLibnfc) {
  std::string error;
  bool cardsOk = true;
  server_.withController([&](pelvsim::Controller& c) {
    cardsOk = pelvsim::addCards(kCards, c.field(), &error);
    c.setPacing(true);
    c.setRfTiming(rfTiming_);
  });
  if (!cardsOk || !server_.open(&error) || !server_.start()) {
    std::fprintf(stderr, "bench: cannot start the simulated controller: %s\n", error.c_str());
    return 2;
  }
  PV_SetPortDevice(kPort, server_.slavePath().c_str());
  const bool fast = baud_ != 115200;
  if (fast && PV_SetLineSpeed(kPort, static_cast<std::int32_t>(baud_)) != PELVANE_EXT_DONE) {
    std::fprintf(stderr, "bench: PV_SetLineSpeed refused %u baud\n", static_cast<unsigned>(baud_));
    return 2;
  }
  std::int32_t opened = 0;
  if (RF_OPEN(kPort, &opened) != PELVANE_RESULT_DONE) {
    std::fprintf(stderr, "bench: RF_OPEN failed on %s\n", server_.slavePath().c_str());
    return 2;
  }
  std::uint32_t reached = 0;
  server_.withController([&](pelvsim::Controller& c) { reached = c.baud(); });
  if (reached != baud_) {
    std::fprintf(stderr, "bench: the controller is at %u baud, not %u\n", static_cast<unsigned>(reached),
                 static_cast<unsigned>(baud_));
    RF_CLOSE(kPort);
    PV_SetLineSpeed(kPort, 0);
    server_.stop();
    return 2;
  }
  // Both clients keep the line open; only one talks at a time. libnfc runs at its
  // default speed only, on the 115200 line.
  if (withLibnfc && !fast) openLibnfc();
  double load = 0.0;
  if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = 0.0;
    std::fclose(f);
  }
  int policy = sched_getscheduler(0);
  std::printf("bench: %s, %d runs per operation, load average %.2f, %s scheduling%s\n",
              server_.slavePath().c_str(), iterations_, load, policy == SCHED_FIFO ? "real-time" : "normal",
              rfTiming_ ? ", RF timing modelled" : "");
  runAll();
  closeLibnfc();
  RF_CLOSE(kPort);
  PV_SetLineSpeed(kPort, 0);
  server_.stop();
  countWire();
  report();
  int failures = 0;
  for (const Operation& o : ops_) failures += o.pelvane.failures + o.libnfc.failures;
  if (failures > 0) std::printf("bench: %d runs did not give the expected answer\n", failures);
  return failures == 0 ? 0 : 1;
}

// Round trips of one controller command (ReadGPIO, host packet 02 F5) over an
// unpaced pseudo-terminal: what the serial code and the scheduler add to an
// exchange when the line itself costs nothing.
int unpacedRoundTrips(int rounds) {
  constexpr int kUnpacedPort = 10;
  pelvsim::PtyServer server;
  std::string error;
  std::int32_t opened = 0;
  const bool up = server.open(&error) && server.start() &&
                  PV_SetPortDevice(kUnpacedPort, server.slavePath().c_str()) == PELVANE_EXT_DONE &&
                  RF_OPEN(kUnpacedPort, &opened) == PELVANE_RESULT_DONE;
  if (!up) {
    std::fprintf(stderr, "bench: no unpaced reader on a pseudo-terminal %s\n", error.c_str());
    server.stop();
    return 2;
  }
  const std::uint8_t readGpio[] = {0x02, 0xF5};
  std::uint8_t response[PELVANE_RESPONSE_MAX];
  double total = 0.0;
  double worst = 0.0;
  int failures = 0;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = SteadyClock::now();
    if (RF_COMMAND(kUnpacedPort, readGpio, response) != PELVANE_RESULT_DONE) ++failures;
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
    total += ms;
    worst = std::max(worst, ms);
  }
  RF_CLOSE(kUnpacedPort);
  server.stop();
  std::printf("bench roundtrip_unpaced pelvane_ms=%.3f worst_ms=%.3f rounds=%d failures=%d\n",
              total / rounds, worst, rounds, failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace

// Keeps the processors out of their deeper idle states while the benchmark runs,
// by asking the kernel for a wake-up latency of 0 us for as long as the file stays
// open (the PM QoS interface that latency tests such as cyclictest use). On an
// idle machine a core that dozes off between two bytes wakes tens of
// microseconds late, on either side of the line, and each exchange would pay that
// on top of what the library costs. Needs root; without it the run says so.
int holdWakeUpLatency() {
  const int fd = open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
  const std::int32_t zero = 0;
  if (fd >= 0 && write(fd, &zero, sizeof zero) == static_cast<ssize_t>(sizeof zero)) {
    std::printf("bench: processor wake-up latency held at 0 us (/dev/cpu_dma_latency)\n");
    return fd;
  }
  std::printf("bench: processor wake-up latency not held (/dev/cpu_dma_latency: %s); an idle machine adds "
              "its wake-up time to each exchange\n",
              std::strerror(errno));
  if (fd >= 0) close(fd);
  return -1;
}

int main(int argc, char** argv) {
  int iterations = 50;
  bool holdLatency = true;
  bool withLibnfc = true;
  std::uint32_t fastBaud = 921600;
  bool rfTiming = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--iterations" && i + 1 < argc) {
      iterations = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--fast-baud" && i + 1 < argc) {
      fastBaud = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--rf-timing") {
      rfTiming = true;
    } else if (a == "--idle-states") {
      holdLatency = false;
    } else if (a == "--no-libnfc") {
      withLibnfc = false;
    } else if (a == "--realtime") {
      sched_param param{};
      param.sched_priority = 20;
      if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
        std::fprintf(stderr, "bench: real-time scheduling refused; running normally\n");
      }
    } else {
      std::fprintf(stderr, "usage: pelvane_bench [--iterations N] [--no-libnfc] [--realtime] [--fast-baud B] "
                           "[--rf-timing] [--idle-states]\n");
      return 2;
    }
  }
  const int latencyHold = holdLatency ? holdWakeUpLatency() : -1;
  int rc = Bench(iterations, 115200, rfTiming).run(withLibnfc);
  if (fastBaud != 115200) {
    std::printf("\n");
    const int fastRc = Bench(iterations, fastBaud, rfTiming).run(false);
    if (rc == 0) rc = fastRc;
  }
  const int roundTrips = unpacedRoundTrips(4 * iterations);
  if (latencyHold >= 0) close(latencyHold);
  return rc != 0 ? rc : roundTrips;
}
