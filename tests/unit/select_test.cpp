// Port selection: a named port, or a scan of the discovered bridge ports.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/harness.h"
#include "platform/simulated.h"
#include "port/port_table.h"
#include "port/ports.h"

namespace pelvane {
namespace {

using namespace pelvtest;
namespace ps = simport;

// Paths opened (CreateFileA calls), in order.
std::vector<std::string> opens() {
  std::vector<std::string> out;
  for (const ps::Event& e : ps::events()) {
    if (e.kind == ps::Event::Open) out.push_back(e.path);
  }
  return out;
}

class SelectPort : public pelvtest::SimReaders {
 protected:
  void TearDown() override {
    EXPECT_EQ(ps::liveBuffers(), 0);
    SimReaders::TearDown();
  }
};

TEST_F(SelectPort, ScanOpensDiscoveredReadersInAscendingOrder) {
  ps::setDeviceNames({prolificName(7), "HID Keyboard Device", cp210xName(3)});
  addReader(3);
  addReader(7);

  EXPECT_EQ(selectPort(-1, &opened_), 0);
  EXPECT_EQ(opened_, 3);
  EXPECT_EQ(selectPort(-1, &opened_), 0);
  EXPECT_EQ(opened_, 7);
  opened_ = kUnwritten;
  EXPECT_EQ(selectPort(-1, &opened_), -1);
  EXPECT_EQ(static_cast<std::uint16_t>(selectPort(-1, &opened_)), 0xFFFF);
  EXPECT_EQ(opened_, kUnwritten);
  EXPECT_TRUE(slotOpen(3));
  EXPECT_TRUE(slotOpen(7));
}

TEST_F(SelectPort, ScanSkipsPortsAlreadyOpen) {
  ps::setDeviceNames({cp210xName(3), cp210xName(7)});
  addReader(3);
  addReader(7);
  ASSERT_EQ(openPort(3, &opened_), 0);
  ps::clearEvents();

  EXPECT_EQ(selectPort(-1, &opened_), 0);
  EXPECT_EQ(opened_, 7);
  EXPECT_EQ(opens(), std::vector<std::string>{pathOf(7)}) << "port 3 was not tried again";
}

TEST_F(SelectPort, ScanGoesOnPastAPortWithoutAReader) {
  ps::setDeviceNames({cp210xName(3), cp210xName(7)});
  ps::addDevice(pathOf(3), nullptr);  // a bridge with nothing behind it
  addReader(7);

  EXPECT_EQ(selectPort(-1, &opened_), 0);
  EXPECT_EQ(opened_, 7);
  EXPECT_FALSE(slotOpen(3));
  EXPECT_EQ(ps::openHandles(), 1);
}

TEST_F(SelectPort, ScanReportsOneWhenEveryDiscoveredPortFails) {
  ps::setDeviceNames({cp210xName(3), prolificName(12)});
  ps::addDevice(pathOf(3), nullptr);

  EXPECT_EQ(selectPort(-1, &opened_), 1);
  EXPECT_EQ(opens(), (std::vector<std::string>{pathOf(3), pathOf(12)}));
  EXPECT_EQ(ps::openHandles(), 0);
}

TEST_F(SelectPort, ScanWithoutBridgesTriesNothing) {
  ps::setDeviceNames({"USB Serial Port (COM4)"});
  addReader(4);
  EXPECT_EQ(selectPort(-1, &opened_), -1);
  EXPECT_TRUE(opens().empty());
  EXPECT_EQ(opened_, kUnwritten);
}

TEST_F(SelectPort, NamedPortIsOpenedWhetherDiscoveredOrNot) {
  addReader(5);
  EXPECT_EQ(selectPort(5, &opened_), 0);
  EXPECT_EQ(opened_, 5);
  EXPECT_EQ(selectPort(5, &opened_), 1) << "already open";
}

TEST_F(SelectPort, NamedPortWithoutADeviceFails) {
  ps::setDeviceNames({cp210xName(6)});
  EXPECT_EQ(selectPort(6, &opened_), 1);
  EXPECT_EQ(opened_, kUnwritten);
}

TEST_F(SelectPort, PortOutsideOneTo256IsRefusedAfterDiscovery) {
  ps::setDeviceNames({cp210xName(3)});
  addReader(3);
  for (std::int16_t port : {std::int16_t{0}, std::int16_t{257}, std::int16_t{-2},
                            std::int16_t{-32768}, std::int16_t{32767}}) {
    // The device list fails once: discovery consumed that failure if it ran.
    ps::failCall(ps::Call::OpenDeviceList);
    EXPECT_EQ(selectPort(port, &opened_), 2) << port;
    std::int32_t presence[kPresenceSize] = {};
    discoverPorts(presence);
    EXPECT_EQ(presence[3], 1) << "discovery ran for port " << port;
  }
  EXPECT_TRUE(opens().empty());
  EXPECT_EQ(opened_, kUnwritten);
}

TEST_F(SelectPort, Port256HasASlotOfItsOwn) {
  addReader(256);
  for (int p = 1; p < kPortCount; ++p) slot(p).cardStatus = p;

  EXPECT_EQ(selectPort(256, &opened_), 0);
  EXPECT_EQ(opened_, 256);
  EXPECT_EQ(slot(256).portNumber, 256);
  EXPECT_EQ(closePort(256), 0);

  for (int p = 1; p < kPortCount; ++p) {
    const PortSlot& s = slot(p);
    ASSERT_EQ(s.handle, kInvalidHandle) << p;
    ASSERT_EQ(s.portNumber, -1) << p;
    ASSERT_EQ(s.readerMode, kModeNone) << p;
    ASSERT_EQ(s.timeoutTenths, 10.0) << p;
    ASSERT_EQ(s.deadline, 0) << p;
    ASSERT_EQ(s.cardStatus, p) << p;
    ASSERT_EQ(savedTimeouts(p).readTotalTimeoutConstant, 0u) << p;
    ASSERT_EQ(workingTimeouts(p).readTotalTimeoutConstant, 0u) << p;
  }
}

}  // namespace
}  // namespace pelvane
