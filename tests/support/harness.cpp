#include "support/harness.h"

namespace pelvtest {

namespace ps = pelvane::simport;

bool sameTimeouts(const pelvane::CommTimeouts& a, const pelvane::CommTimeouts& b) {
  return a.readIntervalTimeout == b.readIntervalTimeout &&
         a.readTotalTimeoutMultiplier == b.readTotalTimeoutMultiplier &&
         a.readTotalTimeoutConstant == b.readTotalTimeoutConstant &&
         a.writeTotalTimeoutMultiplier == b.writeTotalTimeoutMultiplier &&
         a.writeTotalTimeoutConstant == b.writeTotalTimeoutConstant;
}

std::vector<std::uint32_t> eventValues(ps::Event::Kind kind) {
  std::vector<std::uint32_t> out;
  for (const ps::Event& e : ps::events()) {
    if (e.kind == kind) out.push_back(e.value);
  }
  return out;
}

// ---- fixtures ----

void PortFixture::SetUp() {
  ps::reset(kStartMs);
  pelvane::setUpPortTable();
  ps::addDevice(kPath, farSide());
  ASSERT_TRUE(openIntoSlot(kPort, kPath, lineBaud(), 10.0));
  ps::clearEvents();
  startMs_ = ps::nowMs();
}

void PortFixture::TearDown() {
  // Detach the far side before the fixture's members go away.
  ps::reset(kStartMs);
  pelvane::setUpPortTable();
}

void PortFixture::arm(double tenths) {
  portSlot().timeoutTenths = tenths;
  pelvane::armDeadline(kPort);
}

std::vector<std::string> PortFixture::writtenHex() const {
  std::vector<std::string> out;
  for (const Bytes& w : written()) out.push_back(toHex(w));
  return out;
}

void SimReaders::SetUp() {
  ps::reset(kStartMs);
  pelvane::setUpPortTable();
}

void SimReaders::TearDown() {
  ps::reset(kStartMs);
  pelvane::setUpPortTable();
}

pelvsim::Controller& SimReaders::addReader(int port, const std::string& path) {
  readers_.push_back(std::make_unique<Reader>());
  ps::addDevice(path.empty() ? pathOf(port) : path, &readers_.back()->side);
  return readers_.back()->controller;
}

}  // namespace pelvtest
