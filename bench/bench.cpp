// Benchmarks over a pseudo-terminal: the shipped library (libpelvane) against the
// simulated controller pacing every byte at 115200 baud, 10 bits a byte, in both
// directions, and the same operations through libnfc's pn532_uart driver on the
// same paced line in the same run.
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
//   pelvane_bench [--iterations N] [--no-libnfc]
// Prints a table and one line per operation for scripts:
//   bench <operation> pelvane_ms=<mean> wire_ms=<..> [floor_ms=<..>] [libnfc_ms=<mean>]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <deque>
#include <string>
#include <thread>
#include <vector>

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
constexpr double kBaud = 115200.0;
constexpr double kBitsPerByte = 10.0;
constexpr const char* kCards = "felica,mifare1k,typeB,peer";

// The cards (sim/field.h).
const Bytes kIdm = {0x01, 0x2E, 0x4C, 0x10, 0x00, 0x00, 0x00, 0x01};
const Bytes kUid = {0x0A, 0x01, 0x3C, 0x4D};
const Bytes kKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

double wireMs(std::uint64_t bytes) { return static_cast<double>(bytes) * kBitsPerByte / kBaud * 1000.0; }

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
  double meanMs = 0.0;
  double minMs = 0.0;
  double maxMs = 0.0;
  int iterations = 0;
  std::size_t firstCommand = 0;  // controller command indexes covered by the timed runs
  std::size_t endCommand = 0;
  int failures = 0;
  double wireMs = 0.0;  // filled in after the replay, per operation
};

struct Operation {
  std::string name;
  std::string what;
  double pausesMs = 0.0;  // the library's own pauses in one operation
  Sample pelvane;
  Sample libnfc;
  bool hasLibnfc = false;
};

class Bench {
 public:
  explicit Bench(int iterations) : iterations_(iterations) {}
  int run(bool withLibnfc);

 private:
  std::size_t commandCount() {
    std::size_t n = 0;
    server_.withController([&](pelvsim::Controller& c) { n = c.commands().size(); });
    return n;
  }
  // Times fn over `iterations` runs after `warmup` untimed ones; fn returns
  // false for a run that did not give the expected answer.
  Sample measure(int iterations, int warmup, const std::function<bool()>& fn);
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
    for (Operation& o : ops_) {
      if (o.name == name) return o;
    }
    ops_.push_back(Operation{name, what, pausesMs, {}, {}, false});
    return ops_.back();
  }
  void runPelvane();
#ifdef PELVANE_BENCH_LIBNFC
  bool runLibnfc();
#endif
  void countWire();
  void report(bool withLibnfc);

  int iterations_;
  pelvsim::PtyServer server_;
  std::vector<std::uint8_t> response_ = std::vector<std::uint8_t>(PELVANE_RESPONSE_MAX);
  std::deque<Operation> ops_;
};

Sample Bench::measure(int iterations, int warmup, const std::function<bool()>& fn) {
  for (int i = 0; i < warmup; ++i) fn();
  Sample s;
  s.iterations = iterations;
  s.firstCommand = commandCount();
  double total = 0.0;
  s.minMs = 1e12;
  for (int i = 0; i < iterations; ++i) {
    const auto t0 = SteadyClock::now();
    const bool ok = fn();
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
    total += ms;
    s.minMs = std::min(s.minMs, ms);
    s.maxMs = std::max(s.maxMs, ms);
    if (!ok) ++s.failures;
  }
  s.endCommand = commandCount();
  s.meanMs = total / iterations;
  return s;
}

void Bench::runPelvane() {
  const int n = iterations_;
  // FeliCa: mode selection, polling, Read Without Encryption of 4 blocks of 090F.
  op("select_felica", "0x10 mode 0x10: GetFirmwareVersion + 2 RFConfiguration").pelvane =
      measure(n, 2, [&] { return selectMode(0x10); });
  op("poll_felica", "0x20 in mode 1 (FeliCa 212k)").pelvane =
      measure(n, 2, [&] { return commandOk({0x05, 0x20, 0xFF, 0xFF, 0x00}, 11); });
  Bytes felicaRead = {0x00, 0x30};
  felicaRead.insert(felicaRead.end(), kIdm.begin(), kIdm.end());
  felicaRead.insert(felicaRead.end(), {0x01, 0x09, 0x0F, 0x04, 0x80, 0x00, 0x80, 0x01, 0x80, 0x02, 0x80, 0x03});
  felicaRead[0] = static_cast<std::uint8_t>(felicaRead.size());
  op("read_felica_4", "0x30 in mode 1: 4 blocks").pelvane =
      measure(n, 2, [&] { return commandOk(felicaRead, 3 + 64); });

  // MIFARE Classic: mode selection, polling, authentication + 4 READs, one READ.
  selectMode(0x30);
  op("poll_typea", "0x20 in mode 3 (Type A 106k)").pelvane =
      measure(n, 2, [&] { return commandOk({0x02, 0x20}, 7); });
  Bytes mifareRead = {0x0F, 0x30};
  mifareRead.insert(mifareRead.end(), kUid.begin(), kUid.end());
  mifareRead.insert(mifareRead.end(), kKey.begin(), kKey.end());
  mifareRead.insert(mifareRead.end(), {0x01, 0x00, 0x04});  // sector 1, blocks 4 to 7
  op("read_mifare_4", "0x30 in mode 3: auth + 4 READs").pelvane =
      measure(n, 2, [&] { return commandOk(mifareRead, 3 + 64); });
  // The sector stays open: one READ through the pass-through.
  op("mifare_read_1", "0x86 30 04: one MIFARE READ (16 bytes)").pelvane =
      measure(n, 2, [&] { return commandOk({0x04, 0x86, 0x30, 0x04}, 3 + 16); });

  // Peer in mode 7: a 250-byte exchange and a segmented read of 10 segments.
  op("select_peer", "0x10 mode 0x50: FeliCa poll, 20 ms, reset sequence", 20.0).pelvane =
      measure(n, 2, [&] { return selectMode(0x50); });
  commandOk({0x03, 0x50, 0x02}, 3);  // InJumpForDEP at 424k
  Bytes exchange = {252, 0x86};
  for (int i = 0; i < 250; ++i) exchange.push_back(static_cast<std::uint8_t>(i % 0xA0));
  op("exchange_250", "0x86 of 250 bytes, echoed by the peer").pelvane =
      measure(std::max(5, n / 2), 1, [&] {
        return commandOk(exchange, 253) && std::memcmp(response_.data() + 3, exchange.data() + 2, 250) == 0;
      });
  op("segmented_10", "0x70: 10 segments of 243 bytes", 10 * 47.0).pelvane =
      measure(std::max(3, n / 10), 1, [&] {
        const std::uint16_t r = command({0x06, 0x70, 0x00, 0x00, 0x00, 0x0A});
        return r == PELVANE_RESULT_DONE && response_[0] == 10 && response_[2] == 0x00;
      });

  // Type B mode selection: the raw InSelect, 10 ms, the reset sequence.
  op("select_typeb", "0x10 mode 0x60: raw InSelect, 10 ms, reset sequence", 10.0).pelvane =
      measure(n, 2, [&] { return selectMode(0x60); });
}

#ifdef PELVANE_BENCH_LIBNFC
bool Bench::runLibnfc() {
  nfc_context* context = nullptr;
  nfc_init(&context);
  if (context == nullptr) {
    std::fprintf(stderr, "bench: nfc_init failed\n");
    return false;
  }
  const std::string connstring = "pn532_uart:" + server_.slavePath() + ":115200";
  nfc_device* device = nfc_open(context, connstring.c_str());
  if (device == nullptr) {
    std::fprintf(stderr, "bench: libnfc could not open %s\n", connstring.c_str());
    nfc_exit(context);
    return false;
  }
  bool ok = nfc_initiator_init(device) >= 0;
  const int n = iterations_;
  nfc_target target;
  std::uint8_t rx[300];
  auto transceive = [&](const Bytes& tx, std::size_t expected) {
    const int got = nfc_initiator_transceive_bytes(device, tx.data(), tx.size(), rx, sizeof rx, 1000);
    return got == static_cast<int>(expected);
  };
  const nfc_modulation felica = {NMT_FELICA, NBR_212};
  const nfc_modulation typeA = {NMT_ISO14443A, NBR_106};

  if (ok) {
    Operation& o = op("poll_felica", "");
    o.libnfc = measure(n, 2, [&] {
      return nfc_initiator_select_passive_target(device, felica, nullptr, 0, &target) > 0;
    });
    o.hasLibnfc = true;

    Bytes read = {0x00, 0x06};
    read.insert(read.end(), kIdm.begin(), kIdm.end());
    read.insert(read.end(), {0x01, 0x0F, 0x09, 0x04, 0x80, 0x00, 0x80, 0x01, 0x80, 0x02, 0x80, 0x03});
    read[0] = static_cast<std::uint8_t>(read.size());
    Operation& r = op("read_felica_4", "");
    r.libnfc = measure(n, 2, [&] { return transceive(read, 13 + 64); });
    r.hasLibnfc = true;

    Operation& a = op("poll_typea", "");
    a.libnfc = measure(n, 2, [&] {
      return nfc_initiator_select_passive_target(device, typeA, nullptr, 0, &target) > 0;
    });
    a.hasLibnfc = true;

    Bytes auth = {0x60, 0x04};
    auth.insert(auth.end(), kKey.begin(), kKey.end());
    auth.insert(auth.end(), kUid.begin(), kUid.end());
    Operation& m = op("read_mifare_4", "");
    m.libnfc = measure(n, 2, [&] {
      bool good = transceive(auth, 0);
      for (std::uint8_t block = 4; block < 8; ++block) good = transceive({0x30, block}, 16) && good;
      return good;
    });
    m.hasLibnfc = true;
    Operation& one = op("mifare_read_1", "");
    one.libnfc = measure(n, 2, [&] { return transceive({0x30, 0x04}, 16); });
    one.hasLibnfc = true;

    if (nfc_initiator_select_dep_target(device, NDM_ACTIVE, NBR_424, nullptr, &target, 1000) > 0) {
      Bytes payload;
      for (int i = 0; i < 250; ++i) payload.push_back(static_cast<std::uint8_t>(i % 0xA0));
      Operation& x = op("exchange_250", "");
      x.libnfc = measure(std::max(5, n / 2), 1, [&] {
        return transceive(payload, 250) && std::memcmp(rx, payload.data(), 250) == 0;
      });
      x.hasLibnfc = true;
    } else {
      std::fprintf(stderr, "bench: libnfc found no DEP target\n");
      ok = false;
    }
  }
  nfc_close(device);
  nfc_exit(context);
  return ok;
}
#endif

// Replays every command the controller received on an unpaced model with the
// same cards and counts, per command, the bytes both ways: the host frame, and
// the ACK and answer frames (or whatever else) the model sends back.
void Bench::countWire() {
  std::vector<Bytes> commands;
  server_.withController([&](pelvsim::Controller& c) { commands = c.commands(); });
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
  auto wireOf = [&](const Sample& s) {
    std::uint64_t total = 0;
    for (std::size_t i = s.firstCommand; i < s.endCommand && i < bytes.size(); ++i) total += bytes[i];
    return s.iterations > 0 ? wireMs(total) / s.iterations : 0.0;
  };
  for (Operation& o : ops_) {
    o.pelvane.wireMs = wireOf(o.pelvane);
    if (o.hasLibnfc) o.libnfc.wireMs = wireOf(o.libnfc);
  }
}

void Bench::report(bool withLibnfc) {
  std::printf("\nPaced line: 115200 baud, 10 bits a byte, both directions; mean of the runs.\n");
  std::printf("floor = wire time + the library's own pauses; target pelvane <= 1.10 x floor.\n\n");
  std::printf("%-14s %5s %10s %9s %9s %7s %6s", "operation", "runs", "pelvane", "wire", "floor",
              "x floor", "");
  if (withLibnfc) std::printf(" %10s %9s %8s %9s", "libnfc", "its wire", "x wire", "pv/nfc");
  std::printf("\n");
  for (const Operation& o : ops_) {
    const double floor = o.pelvane.wireMs + o.pausesMs;
    const double ratio = o.pelvane.meanMs / floor;
    std::printf("%-14s %5d %7.2f ms %6.2f ms %6.2f ms %7.3f %6s", o.name.c_str(), o.pelvane.iterations,
                o.pelvane.meanMs, o.pelvane.wireMs, floor, ratio, ratio <= 1.10 ? "ok" : "SLOW");
    if (withLibnfc && o.hasLibnfc) {
      std::printf(" %7.2f ms %6.2f ms %8.3f %9.3f", o.libnfc.meanMs, o.libnfc.wireMs,
                  o.libnfc.meanMs / o.libnfc.wireMs, o.pelvane.meanMs / o.libnfc.meanMs);
    }
    if (o.pelvane.failures > 0 || o.libnfc.failures > 0) {
      std::printf("  (failed runs: pelvane %d, libnfc %d)", o.pelvane.failures, o.libnfc.failures);
    }
    std::printf("\n");
  }
  std::printf("\n");
  for (const Operation& o : ops_) {
    std::printf("   %-14s %s\n", o.name.c_str(), o.what.c_str());
  }
  std::printf("\n");
  for (const Operation& o : ops_) {
    std::printf("bench %s pelvane_ms=%.3f wire_ms=%.3f", o.name.c_str(), o.pelvane.meanMs, o.pelvane.wireMs);
    if (o.pausesMs > 0.0) std::printf(" floor_ms=%.3f", o.pelvane.wireMs + o.pausesMs);
    if (o.hasLibnfc) std::printf(" libnfc_ms=%.3f", o.libnfc.meanMs);
    std::printf("\n");
  }
}

int Bench::run(bool withLibnfc) {
  std::string error;
  bool cardsOk = true;
  server_.withController([&](pelvsim::Controller& c) {
    cardsOk = pelvsim::addCards(kCards, c.field(), &error);
    c.setPacing(true);
  });
  if (!cardsOk || !server_.open(&error) || !server_.start()) {
    std::fprintf(stderr, "bench: cannot start the simulated controller: %s\n", error.c_str());
    return 2;
  }
  PV_SetPortDevice(kPort, server_.slavePath().c_str());
  std::int32_t opened = 0;
  if (RF_OPEN(kPort, &opened) != PELVANE_RESULT_DONE) {
    std::fprintf(stderr, "bench: RF_OPEN failed on %s\n", server_.slavePath().c_str());
    return 2;
  }
  std::printf("bench: %s, %d runs per operation\n", server_.slavePath().c_str(), iterations_);
  runPelvane();
  RF_CLOSE(kPort);

  bool libnfcOk = false;
#ifdef PELVANE_BENCH_LIBNFC
  if (withLibnfc) libnfcOk = runLibnfc();
#else
  if (withLibnfc) std::printf("bench: built without libnfc (libnfc-dev not found)\n");
#endif
  server_.stop();
  countWire();
  report(libnfcOk);
  int failures = 0;
  for (const Operation& o : ops_) failures += o.pelvane.failures + o.libnfc.failures;
  if (failures > 0) std::printf("bench: %d runs did not give the expected answer\n", failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = 50;
  bool withLibnfc = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--iterations" && i + 1 < argc) {
      iterations = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--no-libnfc") {
      withLibnfc = false;
    } else {
      std::fprintf(stderr, "usage: pelvane_bench [--iterations N] [--no-libnfc]\n");
      return 2;
    }
  }
  Bench bench(iterations);
  return bench.run(withLibnfc);
}
