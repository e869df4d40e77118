// Discovery of bridge ports from device friendly names.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "platform/simulated.h"
#include "port/port_table.h"
#include "port/ports.h"

namespace pelvane {
namespace {

const std::string kCp210x = "CP210x USB to UART Bridge Controller (COM";
const std::string kProlific = "Prolific USB-to-Serial Comm Port (COM";

std::set<int> discovered() {
  std::int32_t presence[kPresenceSize];
  for (auto& p : presence) p = 0;
  EXPECT_EQ(discoverPorts(presence), 0);
  std::set<int> ports;
  for (int n = 0; n < kPresenceSize; ++n) {
    EXPECT_TRUE(presence[n] == 0 || presence[n] == 1) << "presence[" << n << "]";
    if (presence[n] == 1) ports.insert(n);
  }
  return ports;
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    simport::reset();
    setUpPortTable();
  }
  void TearDown() override { EXPECT_EQ(simport::liveBuffers(), 0) << "a name buffer leaked"; }
};

struct NameCase {
  const char* what;
  std::string name;
  std::set<int> ports;
};

class FriendlyName : public Discovery, public ::testing::WithParamInterface<NameCase> {};

TEST_P(FriendlyName, MarksThePortNamedAfterThePrefix) {
  simport::setDeviceNames({GetParam().name});
  EXPECT_EQ(discovered(), GetParam().ports) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, FriendlyName,
    ::testing::Values(
        NameCase{"cp210x", kCp210x + "3)", {3}},
        NameCase{"prolific", kProlific + "12)", {12}},
        NameCase{"text after the parenthesis", kCp210x + "4) #2", {4}},
        NameCase{"no closing parenthesis drops the last digit", kCp210x + "12", {1}},
        NameCase{"single digit without parenthesis", kCp210x + "7", {}},
        NameCase{"highest port", kCp210x + "256)", {256}},
        NameCase{"above 256", kCp210x + "300)", {}},
        NameCase{"zero", kProlific + "0)", {}},
        NameCase{"negative", kCp210x + "-5)", {}},
        NameCase{"leading blanks and sign", kCp210x + "  +9)", {9}},
        NameCase{"no digits", kCp210x + "x)", {}},
        NameCase{"prefix alone", kCp210x, {}},
        NameCase{"prefix anywhere in the name", "USB " + kProlific + "5)", {5}},
        NameCase{"case matters", "cp210x USB to UART Bridge Controller (COM3)", {}},
        NameCase{"other make", "USB Serial Port (COM5)", {}},
        NameCase{"other make", "Communications Port (COM1)", {}},
        NameCase{"empty name", "", {}},
        NameCase{"huge number", kCp210x + std::string(200, '9') + ")", {}}),
    [](const ::testing::TestParamInfo<NameCase>& param) {
      std::string s = std::to_string(param.index) + "_";
      for (const char* c = param.param.what; *c != '\0'; ++c) s += std::isalnum(*c) ? *c : '_';
      return s;
    });

// The two prefixes are searched independently: each finds its own number, ending
// at the name's last character.
TEST_F(Discovery, BothPrefixesInOneNameMarkWhatEachReads) {
  // The CP210x search copies "2) Prolific ... (COM8" and reads 2.
  simport::setDeviceNames({kCp210x + "2) " + kProlific + "8)"});
  EXPECT_EQ(discovered(), (std::set<int>{2, 8}));
}

// What follows the prefix is read through a 128-byte scratch buffer: 127
// characters reach the number, longer tails are cut there and never overrun it.
TEST_F(Discovery, LongTailIsCutAtTheScratchBuffer) {
  simport::setDeviceNames({kCp210x + std::string(126, ' ') + "9)",
                           kCp210x + std::string(127, ' ') + "8)",
                           kCp210x + std::string(126, ' ') + "6x)",
                           kProlific + "5" + std::string(400, 'x') + ")"});
  EXPECT_EQ(discovered(), (std::set<int>{9, 6, 5}));
}

TEST_F(Discovery, EveryDeviceIsRead) {
  simport::setDeviceNames({"Intel(R) USB 3.0 eXtensible Host Controller", kCp210x + "3)",
                           "HID Keyboard Device", kProlific + "7)", kCp210x + "12)"});
  EXPECT_EQ(discovered(), (std::set<int>{3, 7, 12}));
}

TEST_F(Discovery, DeviceWhoseNameCannotBeReadIsSkipped) {
  simport::setDeviceNames({kCp210x + "3)", "!" + kCp210x + "4)", kProlific + "5)"});
  EXPECT_EQ(discovered(), (std::set<int>{3, 5}));
}

TEST_F(Discovery, NoDevicesOrNoDeviceListFindsNothing) {
  EXPECT_EQ(discovered(), std::set<int>{});
  simport::setDeviceNames({kCp210x + "3)"});
  simport::failCall(simport::Call::OpenDeviceList);
  EXPECT_EQ(discovered(), std::set<int>{});
  EXPECT_EQ(discovered(), std::set<int>{3}) << "the list is asked for afresh each time";
}

}  // namespace
}  // namespace pelvane
