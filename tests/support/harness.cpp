#include "support/harness.h"

#include <cctype>
#include <cstdio>
#include <iterator>

namespace pelvtest {

namespace ps = pelvane::simport;

Bytes hex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      ADD_FAILURE() << "not a hex digit in \"" << text << "\"";
      return out;
    }
    const int v = std::isdigit(static_cast<unsigned char>(c))
                      ? c - '0'
                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) ADD_FAILURE() << "odd number of hex digits in \"" << text << "\"";
  return out;
}

std::string toHex(const Bytes& bytes) {
  std::string s;
  char b[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", bytes[i]);
    s += b;
  }
  return s;
}

namespace {

// 00 00 FF, the length field and LCS, TFI, body, DCS, 00.
Bytes wrap(std::uint8_t tfi, const Bytes& body, bool extended) {
  const std::size_t len = body.size() + 1;
  Bytes f = {0x00, 0x00, 0xFF};
  if (extended) {
    const auto m = static_cast<std::uint8_t>(len >> 8);
    const auto l = static_cast<std::uint8_t>(len);
    // One byte at a time: GCC 12 at -O2 misreads an initializer-list insert here
    // as a write past the vector (-Warray-bounds).
    for (std::uint8_t b : {std::uint8_t{0xFF}, std::uint8_t{0xFF}, m, l,
                           static_cast<std::uint8_t>(-(m + l))}) {
      f.push_back(b);
    }
  } else {
    f.push_back(static_cast<std::uint8_t>(len));
    f.push_back(static_cast<std::uint8_t>(-static_cast<int>(len)));
  }
  int sum = tfi;
  f.push_back(tfi);
  for (std::uint8_t b : body) {
    f.push_back(b);
    sum += b;
  }
  f.push_back(static_cast<std::uint8_t>(-sum));
  f.push_back(0x00);
  return f;
}

}  // namespace

Bytes frame(const Bytes& payload) { return wrap(0xD4, payload, payload.size() > 246); }
Bytes answer(const Bytes& answerBytes) { return wrap(0xD5, answerBytes, answerBytes.size() > 254); }
Bytes answerExtended(const Bytes& answerBytes) { return wrap(0xD5, answerBytes, true); }
Bytes ACK() { return {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00}; }
Bytes NACK() { return {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00}; }

// ---- ScriptedFarSide ----

void ScriptedFarSide::reply(const Bytes& bytes, std::uint64_t delayUs) {
  script_.push_back(Scripted{bytes, delayUs});
}

void ScriptedFarSide::replyToEvery(Responder responder) { responder_ = std::move(responder); }

void ScriptedFarSide::arriveAt(const Bytes& bytes, std::uint64_t atUs) { place(bytes, atUs); }

std::size_t ScriptedFarSide::pending() const { return line_.size(); }

void ScriptedFarSide::place(const Bytes& bytes, std::uint64_t startUs) {
  std::uint64_t t = startUs;
  for (std::uint8_t b : bytes) {
    // Keep the line ordered by arrival; equal times keep their order.
    auto at = line_.end();
    while (at != line_.begin() && std::prev(at)->atUs > t) --at;
    line_.insert(at, Timed{t, b});
    t += perByteUs;
  }
}

void ScriptedFarSide::hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                                std::uint32_t hostBaud) {
  Bytes written(data, data + n);
  if (!script_.empty()) {
    const Scripted next = script_.front();
    script_.pop_front();
    place(next.bytes, nowUs + next.delayUs);
  } else if (responder_) {
    place(responder_(written), nowUs);
  }
  if (keepRecord) received.push_back(Write{std::move(written), nowUs, hostBaud});
}

std::size_t ScriptedFarSide::available(std::uint64_t nowUs) {
  std::size_t n = 0;
  for (const Timed& t : line_) {
    if (t.atUs > nowUs) break;
    ++n;
  }
  return n;
}

int ScriptedFarSide::pop(std::uint64_t nowUs) {
  if (line_.empty() || line_.front().atUs > nowUs) return -1;
  const int b = line_.front().byte;
  line_.pop_front();
  return b;
}

void ScriptedFarSide::dropArrived(std::uint64_t nowUs) {
  while (!line_.empty() && line_.front().atUs <= nowUs) line_.pop_front();
}

// ---- ControllerFarSide ----

void ControllerFarSide::hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                                  std::uint32_t hostBaud) {
  controller_.advanceTo(nowUs);
  controller_.hostWrote(data, n, nowUs, hostBaud);
}

std::size_t ControllerFarSide::available(std::uint64_t nowUs) {
  controller_.advanceTo(nowUs);
  return controller_.available(nowUs);
}

int ControllerFarSide::pop(std::uint64_t nowUs) {
  controller_.advanceTo(nowUs);
  return controller_.pop(nowUs);
}

void ControllerFarSide::dropArrived(std::uint64_t nowUs) {
  controller_.advanceTo(nowUs);
  controller_.dropArrived(nowUs);
}

// ---- fixtures ----

void PortFixture::SetUp() {
  ps::reset(kStartMs);
  pelvane::setUpPortTable();
  ps::addDevice(kPath, farSide());
  const pelvane::PortHandle h = pelvane::openDevice(kPath, pelvane::kOpenAttributesNone);
  ASSERT_NE(h, pelvane::kInvalidHandle);
  pelvane::LineSettings line;
  ASSERT_TRUE(pelvane::getLineSettings(h, &line));
  line.baudRate = lineBaud();
  ASSERT_TRUE(pelvane::setLineSettings(h, &line));
  pelvane::PortSlot& s = pelvane::slot(kPort);
  s.handle = h;
  s.portNumber = kPort;
  s.readerMode = pelvane::kModeMifare;
  s.timeoutTenths = 10.0;
  s.deadline = 0;
  s.lineSettings = line;
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

std::vector<std::uint32_t> PortFixture::sleeps() const {
  std::vector<std::uint32_t> out;
  for (const ps::Event& e : ps::events()) {
    if (e.kind == ps::Event::Sleep) out.push_back(e.value);
  }
  return out;
}

}  // namespace pelvtest
