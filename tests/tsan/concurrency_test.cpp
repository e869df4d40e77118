// Calls for different ports touch different slots: several threads, each with
// its own port and its own simulated controller on its own pseudo-terminal, run
// the real POSIX code through the exports in a loop (open, mode selection,
// polls, card reads, a Type B session, segmented peer reads, close). Built with
// -fsanitize=thread and run by tests/tsan/run.sh: ThreadSanitizer reports any
// data race; this program reports wrong answers and prints one PASS/FAIL line.
// Meanwhile another thread keeps replacing the trace sink. Then two threads race
// to open one port, by its number and by a scan.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cards.h"
#include "field.h"
#include "pelvane.h"
#include "platform/posix.h"
#include "port/port_table.h"
#include "pty_server.h"

namespace {

std::atomic<long> traceLines{0};
std::atomic<long> otherSinkLines{0};
std::atomic<long> commands{0};
std::atomic<int> failures{0};

void PELVANE_CALL countTrace(const char* line) {
  if (line != nullptr && line[0] != '\0') traceLines.fetch_add(1);
}

void PELVANE_CALL countOtherTrace(const char* line) {
  if (line != nullptr && line[0] != '\0') otherSinkLines.fetch_add(1);
}

void fail(int port, const char* what, long got) {
  if (failures.fetch_add(1) < 20) std::fprintf(stderr, "port %d: %s (got %ld)\n", port, what, got);
}

struct Packet {
  std::uint8_t bytes[64];
};

// RF_COMMAND with the expected result and the response's STATUS.
bool command(int port, const std::vector<std::uint8_t>& packet, std::uint16_t result,
             std::uint8_t* response, const char* what) {
  commands.fetch_add(1);
  const std::uint16_t r = RF_COMMAND(port, packet.data(), response);
  if (r != result) {
    fail(port, what, r);
    return false;
  }
  return true;
}

// One port's workload; every port runs the same loop at the same time.
void workload(int port, int cycles) {
  std::vector<std::uint8_t> response(PELVANE_RESPONSE_MAX);
  std::uint8_t* r = response.data();
  for (int i = 0; i < cycles; ++i) {
    std::int32_t opened = 0;
    const std::uint16_t o = RF_OPEN(port, &opened);
    if (o != 0 || opened != port) {
      fail(port, "RF_OPEN", o);
      continue;
    }
    // Type A: select, poll, read sector 1.
    command(port, {0x07, 0x10, 0x30, 0x05, 0x00, 0x00, 0x00}, 0, r, "select Type A");
    if (command(port, {0x02, 0x20}, 0, r, "poll Type A") && (r[0] != 7 || r[3] != 0x0A)) {
      fail(port, "Type A UID", r[3]);
    }
    if (command(port, {0x0F, 0x30, 0x0A, 0x01, 0x3C, 0x4D, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                       0x01, 0x00, 0x01},
                0, r, "MIFARE read") &&
        (r[0] != 19 || r[3] != 4)) {
      fail(port, "MIFARE block 4", r[3]);
    }
    // FeliCa: select, poll, read one block.
    command(port, {0x07, 0x10, 0x10, 0x05, 0x00, 0x00, 0x00}, 0, r, "select FeliCa");
    if (command(port, {0x05, 0x20, 0xFF, 0xFF, 0x00}, 0, r, "poll FeliCa") && r[0] != 11) {
      fail(port, "FeliCa IDm", r[0]);
    }
    command(port, {0x10, 0x30, 0x01, 0x2E, 0x4C, 0x10, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x09,
                   0x01, 0x80, 0x00},
            0, r, "FeliCa read");
    // Peer: activate and read two segments; the answer lands in the response.
    command(port, {0x07, 0x10, 0x50, 0x05, 0x00, 0x00, 0x00}, 0, r, "select peer");
    command(port, {0x03, 0x50, 0x00}, 0, r, "activate peer");
    if (command(port, {0x06, 0x70, 0x00, static_cast<std::uint8_t>(port & 0x07), 0x00, 0x02}, 0, r,
                "segmented read")) {
      // Segment (block, 0) byte j is block * 31 + j: each port reads its own block.
      const int block = port & 0x07;
      for (int j = 0; j < 243; ++j) {
        if (r[4 + j] != static_cast<std::uint8_t>(block * 31 + j)) {
          fail(port, "segment data of another port", r[4 + j]);
          break;
        }
      }
    }
    command(port, {0x02, 0x51}, 0, r, "end peer");
    if (RF_CLOSE(port) != 0) fail(port, "RF_CLOSE", 1);

    // A Type B session through the RW_ interface (ports 1 to 255).
    if (port <= 255) {
      if (RW_Open(port) != PELVANE_RW_OK) {
        fail(port, "RW_Open", 0);
        continue;
      }
      if (RW_Activate(port, 1, 0, 0, 0) != PELVANE_RW_OK) fail(port, "RW_Activate", 0);
      const std::uint8_t apdu[] = {0x00, 0xB0, 0x00, static_cast<std::uint8_t>(port), 0x08};
      std::uint8_t answer[PELVANE_APDU_RESPONSE_MAX];
      std::int32_t length = 0;
      const std::int32_t t = RW_Transmit(port, 0, 0, sizeof apdu, apdu, &length, answer);
      if (t != PELVANE_RW_OK || length != 10) {
        fail(port, "RW_Transmit", t);
      } else if (answer[0] != static_cast<std::uint8_t>(port * 7 + 3)) {
        fail(port, "APDU data of another port", answer[0]);
      }
      std::int32_t status = 0;
      RW_Sense(port, 0, &status, 0);
      if (status != PELVANE_CARD_ACTIVATED) fail(port, "RW_Sense", status);
      RW_Deactivate(port, 0, 0);
      RW_Close(port);
    }
  }
}

// Swaps the trace sink among two sinks and none until `done`.
void switchSinks(const std::atomic<bool>& done) {
  const PelvaneTraceSink sinks[] = {countTrace, countOtherTrace, nullptr};
  for (unsigned i = 0; !done.load(); ++i) {
    PV_SetTraceSink(sinks[i % 3]);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  PV_SetTraceSink(countTrace);
}

int openDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

// RF_OPEN(3) on one thread against RF_OPEN(-1) on another, which finds COM3 as
// a CP210x bridge: each round exactly one of them opens the port, the other
// fails without touching it, and the port then closes. No descriptor is left.
void raceForOnePort(const std::string& device, int rounds) {
  constexpr int kPort = 3;
  char pattern[] = "/tmp/pelvane-tsan-tty-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return fail(kPort, "temporary folder", 0);
  namespace fs = std::filesystem;
  const fs::path root = pattern;
  fs::create_directories(root / "drivers" / "cp210x");
  fs::create_directories(root / "ttyUSB2" / "device");  // COM3
  fs::create_directory_symlink(root / "drivers" / "cp210x", root / "ttyUSB2" / "device" / "driver");
  pelvane::posixport::setTtyClassFolder(root.c_str());
  PV_SetPortDevice(kPort, device.c_str());

  const int before = openDescriptors();
  for (int round = 0; round < rounds && failures.load() == 0; ++round) {
    std::atomic<int> ready{0};
    std::int32_t byNumber = -77;
    std::int32_t byScan = -77;
    std::uint16_t number = 0xEEEE;
    std::thread other([&] {
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
      number = RF_OPEN(kPort, &byNumber);
    });
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    const std::uint16_t scan = RF_OPEN(-1, &byScan);
    other.join();
    // The loser: a refused number open gives 1; a scan that found the slot taken
    // gives 0xFFFF (-1, no free port), or 1 when it lost the claim itself.
    const bool numberWon = number == 0 && byNumber == kPort && (scan == 0xFFFF || scan == 1);
    const bool scanWon = scan == 0 && byScan == kPort && number == 1;
    if (!numberWon && !scanWon) fail(kPort, "race: RF_OPEN(3) and RF_OPEN(-1) gave", number * 0x10000L + scan);
    if (RF_CLOSE(kPort) != PELVANE_CLOSE_DONE) fail(kPort, "race: RF_CLOSE of the open port", round);
    if (RF_CLOSE(kPort) != PELVANE_CLOSE_NOT_OPEN) fail(kPort, "race: port still open after RF_CLOSE", round);
  }
  const int after = openDescriptors();
  if (after != before) fail(kPort, "race: descriptors left open", after - before);

  PV_SetPortDevice(kPort, nullptr);
  pelvane::posixport::setTtyClassFolder(nullptr);
  fs::remove_all(root);
}

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? std::atoi(argv[1]) : 6;
  if (cycles < 1) {
    std::printf("tsan: FAIL (cycles must be at least 1)\n");
    return 2;
  }
  // Port 256 and port 1 side by side, and two more.
  const std::vector<int> ports = {1, 256, 2, 77};
  pelvane::setUpPortTable();
  PV_SetTraceSink(countTrace);

  std::vector<std::unique_ptr<pelvsim::PtyServer>> servers;
  for (int port : ports) {
    auto server = std::make_unique<pelvsim::PtyServer>();
    std::string error;
    if (!server->open(&error) || !server->start()) {
      std::printf("tsan: FAIL (pseudo-terminal: %s)\n", error.c_str());
      return 1;
    }
    server->withController([](pelvsim::Controller& c) {
      pelvsim::addCards("mifare1k,felica,typeB,peer", c.field());
    });
    if (PV_SetPortDevice(port, server->slavePath().c_str()) != 0) {
      std::printf("tsan: FAIL (PV_SetPortDevice %d)\n", port);
      return 1;
    }
    servers.push_back(std::move(server));
  }

  std::atomic<bool> done{false};
  std::thread switcher(switchSinks, std::cref(done));
  std::vector<std::thread> threads;
  for (int port : ports) threads.emplace_back(workload, port, cycles);
  for (std::thread& t : threads) t.join();
  done.store(true);
  switcher.join();

  const int raceRounds = argc > 2 ? std::atoi(argv[2]) : 1000;
  raceForOnePort(servers.front()->slavePath(), raceRounds);
  for (auto& s : servers) s->stop();
  if (traceLines.load() == 0 || otherSinkLines.load() == 0) fail(0, "a sink received no line", 0);

  // Every cycle of every thread sends at least one command.
  const long fewest = static_cast<long>(cycles) * static_cast<long>(ports.size());
  if (commands.load() < fewest) {
    std::printf("tsan: FAIL (%ld commands, fewer than %ld)\n", commands.load(), fewest);
    return 1;
  }
  const int f = failures.load();
  std::printf("tsan: %s: %zu threads, %d cycles each, %ld commands, %ld + %ld trace lines in two "
              "sinks, %d open races, %d wrong answers\n",
              f == 0 ? "PASS" : "FAIL", ports.size(), cycles, commands.load(), traceLines.load(),
              otherSinkLines.load(), raceRounds, f);
  return f == 0 ? 0 : 1;
}
