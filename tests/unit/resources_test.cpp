// Resources over many calls: open/close cycles leave no handle and no name
// buffer behind, and commands allocate nothing. This file replaces the global
// operator new and delete of the unit-test binary with counting versions (they
// only count while a window is open); under a sanitizer build every malloc and
// free is counted as well, through the sanitizer's allocation hooks.
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "cards.h"
#include "command/dispatcher.h"
#include "controller.h"
#include "faults.h"
#include "field.h"
#include "pelvane.h"
#include "support/harness.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELVTEST_SANITIZER_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELVTEST_SANITIZER_HOOKS 1
#endif
#endif
#if defined(PELVTEST_SANITIZER_HOOKS)
// The sanitizer runtimes export this; GCC ships no header for it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*mallocHook)(const volatile void*, std::size_t), void (*freeHook)(const volatile void*));
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void count() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

#if defined(PELVTEST_SANITIZER_HOOKS)
// Every heap allocation, C and C++, under ASan.
void mallocHook(const volatile void*, std::size_t) { count(); }
void freeHook(const volatile void*) {}
const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(mallocHook, freeHook);
#endif

}  // namespace

// With the sanitizer hooks, malloc below is counted by them; without, here.
void* operator new(std::size_t n) {
#if !defined(PELVTEST_SANITIZER_HOOKS)
  count();
#endif
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
// Out of line, so that GCC does not pair an inlined new with this free
// (-Wmismatched-new-delete): they do match, both being malloc and free.
__attribute__((noinline)) void releaseBlock(void* p) noexcept { std::free(p); }
void operator delete(void* p) noexcept { releaseBlock(p); }
void operator delete[](void* p) noexcept { releaseBlock(p); }
void operator delete(void* p, std::size_t) noexcept { releaseBlock(p); }
void operator delete[](void* p, std::size_t) noexcept { releaseBlock(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { releaseBlock(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { releaseBlock(p); }

namespace {

namespace ps = pelvane::simport;
using pelvtest::Bytes;
using pelvtest::hex;

// The simulated controller, with counting paused while it runs: its own
// records and queues are not the library's allocations.
class UncountedFarSide : public pelvane::simport::FarSide {
 public:
  explicit UncountedFarSide(pelvsim::Controller& c) : inner_(c) {}
  void hostWrote(const std::uint8_t* d, std::size_t n, std::uint64_t t, std::uint32_t b) override {
    Pause p;
    inner_.hostWrote(d, n, t, b);
  }
  std::size_t available(std::uint64_t t) override {
    Pause p;
    return inner_.available(t);
  }
  int pop(std::uint64_t t) override {
    Pause p;
    return inner_.pop(t);
  }
  void dropArrived(std::uint64_t t) override {
    Pause p;
    inner_.dropArrived(t);
  }

 private:
  struct Pause {
    bool was = counting.exchange(false);
    ~Pause() { counting.store(was); }
  };
  pelvtest::ControllerFarSide inner_;
};

// Allocations made by fn while counting.
long allocationsDuring(const std::function<void()>& fn) {
  allocations.store(0);
  counting.store(true);
  fn();
  counting.store(false);
  return allocations.load();
}

TEST(AllocationCounter, SeesTheAllocationsItShouldCount) {
  // The counter itself works: a vector's buffer and a malloc are seen.
  EXPECT_GE(allocationsDuring([] {
              std::vector<int> v(100);
              v[3] = 1;
              EXPECT_EQ(v[3], 1);
            }),
            1);
#if defined(PELVTEST_SANITIZER_HOOKS)
  ASSERT_NE(hooksInstalled, 0);
  EXPECT_EQ(allocationsDuring([] {
              void* volatile p = std::malloc(40);
              std::free(p);
            }),
            1);
#endif
}

// ---- open/close cycles ----

class OpenCloseCycles : public ::testing::Test {
 protected:
  void SetUp() override {
    ps::reset(pelvtest::kStartMs);
    ps::setRecording(false);
    pelvane::setUpPortTable();
    ps::addDevice(pelvtest::kPath, &far);
    // Discovery reads every name on every open: buffers come and go each time.
    ps::setDeviceNames({"Standard Serial over Bluetooth link (COM9)", pelvtest::cp210xName(3),
                        "Prolific USB-to-Serial Comm Port (COM11)", "!broken"});
    pelvsim::addCards("typeB", controller.field());
  }
  void TearDown() override {
    ps::reset(pelvtest::kStartMs);
    pelvane::setUpPortTable();
  }
  void expectNothingLeft(const std::string& when) {
    EXPECT_EQ(ps::openHandles(), 0) << when;
    EXPECT_EQ(ps::liveBuffers(), 0) << when;
    EXPECT_FALSE(pelvane::slotOpen(pelvtest::kPort)) << when;
  }

  pelvsim::Controller controller;
  UncountedFarSide far{controller};
};

struct Cycle {
  const char* name;
  std::function<bool()> open;   // true when the port opened
  std::function<void()> close;
  bool opens;
};

TEST_F(OpenCloseCycles, TenThousandCyclesOfEachKindLeaveNoHandleAndNoBuffer) {
  const std::vector<Cycle> cycles = {
      {"RF_OPEN port 3",
       [] {
         std::int32_t opened = 0;
         return RF_OPEN(3, &opened) == 0 && opened == 3;
       },
       [] { EXPECT_EQ(RF_CLOSE(3), 0); }, true},
      {"RF_OPEN scan",
       [] {
         std::int32_t opened = 0;
         return RF_OPEN(-1, &opened) == 0 && opened == 3;
       },
       [] { EXPECT_EQ(RF_CLOSE(3), 0); }, true},
      {"RW_Open", [] { return RW_Open(3) == PELVANE_RW_OK; },
       [] { EXPECT_EQ(RW_Close(3), PELVANE_RW_OK); }, true},
      // A port with no device behind it: the open fails, nothing may stay.
      {"RF_OPEN of a missing port",
       [] {
         std::int32_t opened = 0;
         return RF_OPEN(11, &opened) == 0;
       },
       [] { EXPECT_EQ(RF_CLOSE(11), 1); }, false},
  };
  for (const Cycle& c : cycles) {
    int failures = 0;
    for (int i = 0; i < 10000; ++i) {
      if (c.open() != c.opens) ++failures;
      c.close();
      controller.clearCommands();
      if (ps::openHandles() != 0 || ps::liveBuffers() != 0) {
        ADD_FAILURE() << c.name << ": cycle " << i << " left " << ps::openHandles()
                      << " handles and " << ps::liveBuffers() << " buffers";
        break;
      }
    }
    EXPECT_EQ(failures, 0) << c.name;
    expectNothingLeft(c.name);
  }
}

TEST_F(OpenCloseCycles, DevicePathsOfAnyAcceptedLengthOpen) {
  // setPortDevice takes paths of up to kDevicePathSize - 1 characters, and
  // refuses longer ones; opening must use them whole.
  const std::size_t longest = pelvane::kDevicePathSize - 1;
  for (std::size_t length : std::vector<std::size_t>{20, 63, 64, 100, 255, longest}) {
    std::string path = "/dev/serial/by-id/";
    path += std::string(length - path.size(), 'x');
    ps::addDevice(path, &far);
    ASSERT_TRUE(pelvane::setPortDevice(3, path.c_str())) << length;
    std::int32_t opened = 0;
    EXPECT_EQ(RF_OPEN(3, &opened), 0) << length;
    EXPECT_EQ(RF_CLOSE(3), 0) << length;
    ps::removeDevice(path);
  }
  EXPECT_FALSE(pelvane::setPortDevice(3, std::string(longest + 1, 'x').c_str()));
  pelvane::setPortDevice(3, nullptr);
  expectNothingLeft("long paths");
}

TEST_F(OpenCloseCycles, FailedBringUpsLeaveNoHandle) {
  // A reader that answers nothing, garbles every answer, or stops mid-way: the
  // open fails each time and closes what it opened.
  struct Case {
    const char* name;
    std::function<void(pelvsim::Controller&)> spoil;
  };
  const std::vector<Case> cases = {
      {"silent line", [](pelvsim::Controller& c) { c.faults().lineGone = true; }},
      {"bad checksums", [](pelvsim::Controller& c) { c.faults().script(pelvsim::Fault::BadDcs, 1000000); }},
      {"random faults", [](pelvsim::Controller& c) { c.faults().randomize(7, 0.5); }},
      {"reader at 9600", [](pelvsim::Controller& c) { c.setBaud(9600); }},
  };
  for (const Case& k : cases) {
    controller.faults().clear();
    controller.setBaud(115200);
    k.spoil(controller);
    for (int i = 0; i < 200; ++i) {
      std::int32_t opened = 0;
      const std::uint16_t r = RF_OPEN(3, &opened);
      if (r == 0) {
        EXPECT_EQ(RF_CLOSE(3), 0) << k.name;
      }
      if (ps::openHandles() != 0 || ps::liveBuffers() != 0) {
        ADD_FAILURE() << k.name << ": attempt " << i << " left " << ps::openHandles()
                      << " handles and " << ps::liveBuffers() << " buffers";
        break;
      }
    }
    expectNothingLeft(k.name);
  }
}

// ---- no allocation per command ----

struct CommandCase {
  const char* name;
  const char* cards;
  std::uint8_t mode;
  std::vector<Bytes> before;  // run once first (listing the card, activating the peer)
  Bytes packet;
  std::uint16_t result;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

std::vector<CommandCase> commandCases() {
  const Bytes block16 = hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
  const std::string idm = "01 2E 4C 10 00 00 00 01";
  const std::string liteIdm = "01 2E 5C 10 00 00 00 01";
  const std::string pageUid = "04 01 5A 6B 7C 8D 9E";
  const std::string data16 = "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF";
  return {
      {"0x01 set parameters", "mifare1k", 3, {}, hex("03 01 14"), 0},
      {"0x10 mode selection", "mifare1k", 3, {}, hex("07 10 30 0A 00 00 00"), 0},
      {"0x20 FeliCa poll", "felica", 1, {}, hex("05 20 FF FF 00"), 0},
      {"0x20 Type A poll", "mifare1k", 3, {}, hex("02 20"), 0},
      {"0x20 Type B poll", "typeB", 9, {}, hex("03 20 00"), 0},
      {"0x21 detection", "mifare1k", 3, {}, hex("06 21 00 30 00 00"), 0},
      {"0x25 wake-up", "typeB", 9, {}, hex("03 25 00"), 0},
      {"0x30 FeliCa read", "felica", 1, {hex("05 20 FF FF 00")},
       hex("10 30 " + idm + " 01 00 09 01 80 00"), 0},
      {"0x30 FeliCa Lite read", "lite", 2, {hex("05 20 88 B4 00")},
       hex("10 30 " + liteIdm + " 01 00 0B 01 80 00"), 0},
      {"0x30 MIFARE read", "mifare1k", 3, {hex("02 20")},
       hex("0F 30 0A 01 3C 4D FF FF FF FF FF FF 01 00 03"), 0},
      {"0x30 page read", "page", 4, {hex("02 20")}, hex("0B 30 " + pageUid + " 04 0C"), 0},
      {"0x30 peer exchange", "peer", 7, {hex("03 50 00")}, hex("05 30 01 02 03"), 0},
      {"0x31 FeliCa write", "felica", 1, {hex("05 20 FF FF 00")},
       hex("20 31 " + idm + " 01 00 09 01 80 00 " + data16), 0},
      {"0x31 MIFARE write", "mifare1k", 3, {hex("02 20")},
       hex("1F 31 0A 01 3C 4D FF FF FF FF FF FF 01 00 01 " + data16), 0},
      {"0x31 page write", "page", 4, {hex("02 20")}, hex("1B 31 " + pageUid + " 04 04 " + data16), 0},
      {"0x31 target send", "initiator", 8, {hex("02 50")}, hex("04 31 01 02"), 0},
      {"0x32 page write", "page", 4, {hex("02 20")}, hex("0F 32 " + pageUid + " 05 01 01 02 03 04"), 0},
      {"0x33 key change", "mifare1k", 3, {hex("02 20")},
       hex("13 33 0A 01 3C 4D FF FF FF FF FF FF 02 FF FF FF FF FF FF"), 0},
      {"0x33 page 3", "page", 4, {hex("02 20")}, hex("0E 33 " + pageUid + " 00 00 00 01 00"), 0},
      {"0x50 peer activation", "peer", 7, {}, hex("03 50 00"), 0},
      {"0x51 peer end", "peer", 7, {hex("03 50 00")}, hex("02 51"), 0},
      {"0x60 target receive", "initiator", 8, {hex("02 50"), hex("02 60")}, hex("02 60"), 1},
      {"0x70 segmented read", "peer", 7, {hex("03 50 00")}, hex("06 70 00 01 00 03"), 0},
      {"0x71 segmented read", "peer", 7, {hex("03 50 00")}, hex("06 71 00 00 02 02"), 0},
      {"0x86 pass-through", "typeB", 9, {hex("03 20 00")}, hex("07 86 00 A4 04 00 00"), 0},
      {"0xF0 line speed", "mifare1k", 3, {}, hex("03 F0 00"), 0},
      {"0xF1 read registers", "mifare1k", 3, {}, hex("04 F1 63 05"), 0},
      {"0xF2 write registers", "mifare1k", 3, {}, hex("05 F2 63 06 50"), 0},
      {"0xF3 RF configuration", "mifare1k", 3, {}, hex("04 F3 01 01"), 0},
      {"0xF4 regulation test", "mifare1k", 3, {}, hex("03 F4 00"), 0},
      {"0xF5 read GPIO", "mifare1k", 3, {}, hex("02 F5"), 0},
      {"0xF6 write GPIO", "mifare1k", 3, {}, hex("04 F6 9F 00"), 0},
      {"unlisted command", "mifare1k", 3, {}, hex("03 7F 00"), 2},
  };
}

class NoAllocationTest : public pelvtest::PortFixture,
                         public ::testing::WithParamInterface<CommandCase> {
 protected:
  pelvane::simport::FarSide* farSide() override { return &uncounted; }
  std::uint32_t lineBaud() override { return controller.baud(); }
  void SetUp() override {
    PortFixture::SetUp();
    ps::setRecording(false);
    ASSERT_TRUE(pelvsim::addCards(GetParam().cards, controller.field()));
    portSlot().readerMode = static_cast<pelvane::ReaderMode>(GetParam().mode);
    response.assign(PELVANE_RESPONSE_MAX, 0);
  }
  std::uint16_t send(const Bytes& p) {
    return pelvane::commandProc(pelvtest::kPort, p.data(), response.data());
  }

  pelvsim::Controller controller;
  UncountedFarSide uncounted{controller};
  std::vector<std::uint8_t> response;
};

constexpr int kCallsPerCommand = 50;

TEST_P(NoAllocationTest, CommandsAllocateNothing) {
  const CommandCase& c = GetParam();
  ASSERT_EQ(c.packet[0], c.packet.size()) << c.name;
  for (const Bytes& p : c.before) {
    ASSERT_EQ(p[0], p.size());
    ASSERT_EQ(send(p), 0) << pelvtest::toHex(p);
  }
  const Bytes activate = hex("03 50 00");
  std::vector<std::uint16_t> results;
  results.reserve(2 * kCallsPerCommand);
  const long n = allocationsDuring([&] {
    for (int i = 0; i < kCallsPerCommand; ++i) {
      portSlot().readerMode = static_cast<pelvane::ReaderMode>(c.mode);
      results.push_back(send(c.packet));
      // Through the export as well: its lookup and trace line.
      results.push_back(RF_COMMAND(pelvtest::kPort, c.packet.data(), response.data()));
      // A segmented read ends the peer's patience after a while: keep it activated.
      if (c.mode == 7) send(activate);
    }
  });
  EXPECT_EQ(n, 0) << c.name;
  // The command ran as it should, so the count covers the real work.
  EXPECT_EQ(results.front(), c.result) << c.name;
  EXPECT_EQ(results.back(), c.result) << c.name;
}

INSTANTIATE_TEST_SUITE_P(EveryKind, NoAllocationTest, ::testing::ValuesIn(commandCases()),
                         [](const ::testing::TestParamInfo<CommandCase>& c) {
                           std::string name;
                           for (const char* p = c.param.name; *p != '\0'; ++p) {
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           }
                           return name;
                         });

class RwNoAllocationTest : public OpenCloseCycles {};

TEST_F(RwNoAllocationTest, TypeBSessionCallsAllocateNothing) {
  ASSERT_EQ(RW_Open(3), PELVANE_RW_OK);
  const Bytes apdu = hex("00 B0 00 00 10");
  std::vector<std::uint8_t> answer(PELVANE_APDU_RESPONSE_MAX);
  int failures = 0;
  const long n = allocationsDuring([&] {
    for (int i = 0; i < kCallsPerCommand; ++i) {
      std::int32_t length = 0;
      std::int32_t status = 0;
      if (RW_Activate(3, 1, 0, 0, 0) != PELVANE_RW_OK) ++failures;
      if (RW_Transmit(3, 0, 0, static_cast<std::int32_t>(apdu.size()), apdu.data(), &length,
                      answer.data()) != PELVANE_RW_OK || length != 18) {
        ++failures;
      }
      RW_Sense(3, 0, &status, 0);
      if (RW_Deactivate(3, 0, 0) != 0) ++failures;
      if (RW_Insert(3, 0) != PELVANE_RW_OK) ++failures;
      if (RW_Eject(3, 1) != 0) ++failures;
    }
  });
  EXPECT_EQ(n, 0);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(RW_Close(3), PELVANE_RW_OK);
}

}  // namespace
