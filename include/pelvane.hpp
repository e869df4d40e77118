/*
 * Pelvane for C++17: header-only classes over the C exports of pelvane.h.
 *
 *   pelvane::Reader       a port opened with RF_OPEN and closed by its destructor;
 *                         command() sends any packet, typed helpers build the
 *                         documented ones (docs/command-reference.md)
 *   pelvane::TypeBReader  a port opened with RW_Open, closed by its destructor
 *   pelvane::TypeBCard    a card activated through RW_Activate or RW_Insert,
 *                         released (RW_Deactivate) by its destructor
 *
 * Errors are std::error_code values, never exceptions: a reader reports "no card"
 * or a time-out as part of its ordinary work, so every call returns the outcome
 * and the caller decides. Operations that produce a value return
 * pelvane::Result<T> (the value or an error); the others return std::error_code.
 * The codes keep the library's own numbers in four categories (statusCategory,
 * resultCategory, openCategory, rwCategory) and compare equal to the portable
 * std::errc conditions: ec == std::errc::timed_out holds for the STATUS byte FE,
 * the controller status 01 and the RW_ link time-out -2.
 *
 * Calls for one port must not overlap (as for the C functions). Nothing here
 * throws, except std::bad_alloc when memory runs out.
 */
#ifndef PELVANE_HPP
#define PELVANE_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "pelvane.h"

namespace pelvane {

using Bytes = std::vector<std::uint8_t>;
using Idm = std::array<std::uint8_t, 8>;   // FeliCa card identifier
using Uid4 = std::array<std::uint8_t, 4>;  // MIFARE Classic UID
using Uid7 = std::array<std::uint8_t, 7>;  // page card UID
using Key = std::array<std::uint8_t, 6>;   // MIFARE Classic key A

/* ------------------------------------------------------------------ errors */

namespace detail {

// The portable condition each library code stands for.
inline std::error_condition condition(std::errc e) { return std::make_error_condition(e); }

class StatusCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "pelvane.status"; }
  std::string message(int status) const override {
    switch (status) {
      case 0xFF: return "link failure: the port is not open, the serial link failed, or the mode has no such operation";
      case 0xFE: return "time-out: no card, peer or answer within the time limit";
      case 0xFD: return "wrong length: LEN does not fit the command's layout";
      case 0xFC: return "not listed or out of range: an unlisted command byte or a parameter outside its range";
      case 0xF9: return "FeliCa status error: the card set its status flag 1";
      default: break;
    }
    switch (status & 0x3F) {  // the controller's code; bits 6 and 7 are flags
      case 0x01: return "controller: the target did not answer";
      case 0x02: return "controller: CRC error";
      case 0x03: return "controller: parity error";
      case 0x04: return "controller: wrong bit count during anti-collision or select";
      case 0x05: return "controller: framing error during a MIFARE operation";
      case 0x06: return "controller: abnormal bit collision";
      case 0x07: return "controller: communication buffer too small";
      case 0x09: return "controller: RF buffer overflow";
      case 0x0A: return "controller: the counterpart did not switch its field on in time";
      case 0x0B: return "controller: RF protocol error";
      case 0x0D: return "controller: overheating, the antenna drivers were switched off";
      case 0x0E: return "controller: internal buffer overflow";
      case 0x10: return "controller: invalid parameter";
      case 0x12: return "controller: the target does not support the command";
      case 0x13: return "controller: data format does not match the protocol";
      case 0x14: return "controller: MIFARE authentication error";
      case 0x23: return "controller: wrong UID check byte";
      case 0x25: return "controller: the state does not allow the operation";
      case 0x26: return "controller: operation not allowed in this configuration";
      case 0x27: return "controller: command not acceptable in the current context";
      case 0x29: return "controller: released by the initiator";
      case 0x2A: return "controller: the Type B card was exchanged for another";
      case 0x2B: return "controller: the Type B card activated before has gone";
      case 0x2C: return "controller: NFCID3 mismatch";
      case 0x2D: return "controller: over-current";
      case 0x2E: return "controller: NAD missing";
      default: return "controller status " + std::to_string(status);
    }
  }
  std::error_condition default_error_condition(int status) const noexcept override {
    switch (status) {
      case 0xFF: return condition(std::errc::io_error);
      case 0xFE: case 0x01: return condition(std::errc::timed_out);
      case 0xFD: case 0xFC: return condition(std::errc::invalid_argument);
      case 0x14: return condition(std::errc::permission_denied);
      default: return condition(std::errc::protocol_error);
    }
  }
};

class ResultCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "pelvane.result"; }
  std::string message(int result) const override {
    switch (result) {
      case 1: return "the command failed";
      case 2: return "refused before anything was sent to the reader (no mode selected, or a wrong packet)";
      case 0xFFFF: return "link failure";
      case 0xFFFE: return "link time-out";
      default: return "result " + std::to_string(result);
    }
  }
  std::error_condition default_error_condition(int result) const noexcept override {
    switch (result) {
      case 2: return condition(std::errc::operation_not_permitted);
      case 0xFFFE: return condition(std::errc::timed_out);
      default: return condition(std::errc::io_error);
    }
  }
};

class OpenCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "pelvane.open"; }
  std::string message(int result) const override {
    switch (result) {
      case 1: return "the port is already open, or it could not be opened, configured or brought up";
      case 2: return "the port number is outside 1 to 256";
      case 0xFFFF: return "a scan found no free port with a reader";
      default: return "open result " + std::to_string(result);
    }
  }
  std::error_condition default_error_condition(int result) const noexcept override {
    switch (result) {
      case 2: return condition(std::errc::invalid_argument);
      case 0xFFFF: return condition(std::errc::no_such_device);
      default: return condition(std::errc::io_error);
    }
  }
};

class RwCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "pelvane.rw"; }
  std::string message(int code) const override {
    switch (code) {
      case PELVANE_RW_OPEN_FAILED: return "the port could not be opened";
      case PELVANE_RW_NO_CARD: return "no Type B card answered (at opening: the reader refused the set-up)";
      case PELVANE_RW_BAD_KIND: return "kind is neither 1 nor 2";
      case PELVANE_RW_BAD_FLAGS: return "flags not 00, 80, 01, 02 or 03";
      case PELVANE_RW_FLAGS_UNSUPPORTED: return "flags 01, 02 and 03 are not supported";
      case PELVANE_RW_OPTION_UNSUPPORTED: return "option 10 is not supported";
      case PELVANE_RW_BAD_OPTION: return "option not 0, 1 or 2";
      case PELVANE_RW_ALREADY_OPEN: return "the port is already open";
      case PELVANE_RW_TRANSMIT_FAILED: return "the APDU exchange failed";
      case PELVANE_LINK_FAILED: return "link failure";
      case PELVANE_LINK_TIMEOUT: return "time-out, or the port buffers could not be cleared";
      default: return "RW_ result " + std::to_string(code);
    }
  }
  std::error_condition default_error_condition(int code) const noexcept override {
    switch (code) {
      case PELVANE_RW_NO_CARD: return condition(std::errc::no_such_device);
      case PELVANE_RW_BAD_KIND: case PELVANE_RW_BAD_FLAGS: case PELVANE_RW_BAD_OPTION:
        return condition(std::errc::invalid_argument);
      case PELVANE_RW_FLAGS_UNSUPPORTED: case PELVANE_RW_OPTION_UNSUPPORTED:
        return condition(std::errc::not_supported);
      case PELVANE_RW_ALREADY_OPEN: return condition(std::errc::device_or_resource_busy);
      case PELVANE_LINK_TIMEOUT: return condition(std::errc::timed_out);
      default: return condition(std::errc::io_error);
    }
  }
};

}  // namespace detail

// STATUS bytes of response packets: FF, FE, FD, FC, F9 and the controller's codes.
inline const std::error_category& statusCategory() noexcept {
  static const detail::StatusCategory category;
  return category;
}
// Results of RF_COMMAND where no STATUS byte tells more (1, 2, FFFF, FFFE).
inline const std::error_category& resultCategory() noexcept {
  static const detail::ResultCategory category;
  return category;
}
// Results of RF_OPEN (1, 2, FFFF).
inline const std::error_category& openCategory() noexcept {
  static const detail::OpenCategory category;
  return category;
}
// Results of the RW_ functions (A002 ... AE02, and the link codes -1 and -2).
inline const std::error_category& rwCategory() noexcept {
  static const detail::RwCategory category;
  return category;
}

// A value, or the error that stopped it. Test it with `if (result)`; value(),
// * and -> give a value-initialised T when there is an error (never undefined).
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(std::error_code error) : error_(error) {}

  explicit operator bool() const noexcept { return !error_; }
  const std::error_code& error() const noexcept { return error_; }
  T& value() & noexcept { return value_; }
  const T& value() const& noexcept { return value_; }
  T&& value() && noexcept { return std::move(value_); }
  T& operator*() & noexcept { return value_; }
  const T& operator*() const& noexcept { return value_; }
  T* operator->() noexcept { return &value_; }
  const T* operator->() const noexcept { return &value_; }

 private:
  T value_{};
  std::error_code error_;
};

/* ------------------------------------------------------------------ types */

// Mode codes of mode selection (command 10) and the first byte of a detection.
enum class Mode : std::uint8_t {
  felica = PELVANE_MODE_CODE_FELICA,                 // FeliCa, 212 kbit/s
  felicaLite = PELVANE_MODE_CODE_FELICA_LITE,        // FeliCa Lite
  mifare = PELVANE_MODE_CODE_MIFARE,                 // Type A, 4-byte UID
  pageCard = PELVANE_MODE_CODE_PAGE_CARD,            // Type A, 7-byte UID
  peerInitiator = PELVANE_MODE_CODE_PEER_INITIATOR,  // NFC peer-to-peer initiator
  target = PELVANE_MODE_CODE_TARGET,                 // the reader as a target
  typeB = PELVANE_MODE_CODE_TYPE_B,                  // ISO/IEC 14443 Type B
};

// Mode selection's answer: the controller's IC code (32 for a PN532) and firmware version.
struct Firmware {
  std::uint8_t ic = 0;
  std::uint8_t version = 0;
};

// A Type B card's answer to polling: the 12-byte ATQB (50, PUPI, application
// data, protocol info) and the ATTRIB_RES.
struct TypeBAnswer {
  std::array<std::uint8_t, 12> atqb{};
  Bytes attribRes;
};

// One technology of a detection (command 21) with its parameters.
struct Technology {
  std::uint8_t code = 0;
  Bytes parameters;

  static Technology felica(std::uint16_t systemCode = 0xFFFF, std::uint8_t timeSlot = 0) {
    return {PELVANE_MODE_CODE_FELICA,
            {static_cast<std::uint8_t>(systemCode >> 8), static_cast<std::uint8_t>(systemCode & 0xFF), timeSlot}};
  }
  static Technology typeA() { return {PELVANE_MODE_CODE_MIFARE, {}}; }
  // extra: up to 46 more bytes of the polling command.
  static Technology typeB(std::uint8_t afi = 0, const Bytes& extra = {}) {
    Technology t{PELVANE_MODE_CODE_TYPE_B, {afi, static_cast<std::uint8_t>(extra.size())}};
    t.parameters.insert(t.parameters.end(), extra.begin(), extra.end());
    return t;
  }
};

// The card a detection found. mode: the mode now selected (felica, mifare,
// pageCard or typeB). id: the IDm, the UID (4 or 7 bytes) or, for Type B, the
// PUPI; typeB: the Type B card's whole answer.
struct DetectedCard {
  Mode mode = Mode::felica;
  Bytes id;
  TypeBAnswer typeB;
};

// One element of a FeliCa block list: the index of a service in the command's
// service list, and the block number within it.
struct FelicaBlock {
  std::uint8_t service = 0;
  std::uint8_t block = 0;
};

// Everything RF_COMMAND gave back.
struct Response {
  bool sent = false;     // false: the packet had fewer than 2 or more than 255 bytes and was not sent
  std::uint16_t result = PELVANE_RESULT_REFUSED;  // RF_COMMAND's 16-bit result
  bool written = false;  // a response packet was written (some failures write none)
  std::uint8_t status = 0;  // its STATUS byte
  // The bytes after STATUS, from the short or the long form. Segmented reads:
  // command 70 gives A7 and then the segments, 71 the segments (243 bytes each).
  Bytes data;

  // None when the result is 0 and STATUS 00; otherwise STATUS when it is not 00
  // (statusCategory), else the result (resultCategory). A result of 0 without a
  // response is never given by the library; it counts as std::errc::bad_message.
  std::error_code error() const {
    if (!sent) return std::make_error_code(std::errc::invalid_argument);
    if (written && status != PELVANE_STATUS_OK) return {status, statusCategory()};
    if (result != PELVANE_RESULT_DONE) return {result, resultCategory()};
    if (!written) return std::make_error_code(std::errc::bad_message);
    return {};
  }
};

// Points a port number (1..256) at a device path for the next open ("" restores
// the default: \\.\COMn on Windows, /dev/ttyUSB(n-1) on Linux).
inline std::error_code setPortDevice(int port, const std::string& path) {
  if (PV_SetPortDevice(port, path.c_str()) != PELVANE_EXT_DONE) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  return {};
}

// Asks for a faster serial line at the next open of port (1..256), or of every
// port (0): 230400, 460800 or 921600 baud; 115200 asks for none, 0 clears.
inline std::error_code setLineSpeed(int port, int baud) {
  if (PV_SetLineSpeed(port, baud) != PELVANE_EXT_DONE) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  return {};
}

namespace detail {

constexpr std::size_t kCommandMax = PELVANE_COMMAND_MAX;
constexpr std::size_t kResponseMax = PELVANE_RESPONSE_MAX;

inline std::error_code shortAnswer() { return std::make_error_code(std::errc::bad_message); }

template <std::size_t N>
void append(Bytes& out, const std::array<std::uint8_t, N>& bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}
inline void append(Bytes& out, const Bytes& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// FeliCa read and write parameters: IDm, n, services (high byte first), m, block list.
inline Bytes felicaParameters(const Idm& idm, const std::vector<std::uint16_t>& services,
                              const std::vector<FelicaBlock>& blocks) {
  Bytes p(idm.begin(), idm.end());
  p.push_back(static_cast<std::uint8_t>(services.size()));
  for (std::uint16_t code : services) {
    p.push_back(static_cast<std::uint8_t>(code >> 8));
    p.push_back(static_cast<std::uint8_t>(code & 0xFF));
  }
  p.push_back(static_cast<std::uint8_t>(blocks.size()));
  for (const FelicaBlock& b : blocks) {
    p.push_back(static_cast<std::uint8_t>(0x80 + b.service));
    p.push_back(b.block);
  }
  return p;
}

}  // namespace detail

/* ------------------------------------------------------------------ RF_ */

class Reader {
 public:
  // Opens COM port `port` (1..256), or scans the bridge ports for the first free
  // one with a reader (PELVANE_PORT_SCAN). The port then is in mode 3 (MIFARE).
  static Result<Reader> open(int port = PELVANE_PORT_SCAN) {
    if (port != PELVANE_PORT_SCAN && (port < 1 || port > 256)) {
      return std::error_code(PELVANE_RESULT_REFUSED, openCategory());
    }
    std::int32_t opened = 0;
    const std::uint16_t result = RF_OPEN(port, &opened);
    if (result != PELVANE_RESULT_DONE) return std::error_code(result, openCategory());
    return Reader(opened);
  }

  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  Reader(Reader&& other) noexcept
      : port_(std::exchange(other.port_, 0)), response_(std::move(other.response_)) {}
  Reader& operator=(Reader&& other) noexcept {
    if (this != &other) {
      close();
      port_ = std::exchange(other.port_, 0);
      response_ = std::move(other.response_);
    }
    return *this;
  }
  ~Reader() { close(); }

  // The COM port number, or 0 when not open.
  int port() const noexcept { return port_; }
  bool isOpen() const noexcept { return port_ != 0; }

  // RF_CLOSE: switches the field off where the mode left it on and closes the
  // port. True when an open port was closed; false when there was none (never
  // opened, closed already, or closed by the library after a failed segmented read).
  bool close() noexcept {
    if (port_ == 0) return false;
    const bool closed = RF_CLOSE(std::exchange(port_, 0)) == PELVANE_CLOSE_DONE;
    return closed;
  }

  // Sends one command packet, LEN first, as it stands (a wrong LEN gets the
  // library's own answer). The packet is copied into a zeroed 255-byte buffer
  // first, so the library never reads past what was given.
  Response command(const std::uint8_t* packet, std::size_t size) {
    Response r;
    if (packet == nullptr || size < 2 || size > detail::kCommandMax) return r;
    std::array<std::uint8_t, detail::kCommandMax + 1> request{};
    std::memcpy(request.data(), packet, size);
    const std::uint8_t cmd = request[1];
    if (response_.size() != detail::kResponseMax) response_.assign(detail::kResponseMax, 0);
    // Some failures write nothing: a CMD byte that is not the command's tells.
    response_[0] = 0;
    response_[1] = static_cast<std::uint8_t>(~cmd);
    response_[3] = static_cast<std::uint8_t>(~cmd);
    r.sent = true;
    r.result = RF_COMMAND(port_, request.data(), response_.data());
    parse(cmd, r);
    return r;
  }
  Response command(const Bytes& packet) { return command(packet.data(), packet.size()); }
  Response command(std::initializer_list<std::uint8_t> packet) {
    return command(packet.begin(), packet.size());
  }
  // Command byte and parameters; LEN is counted here.
  Response send(std::uint8_t cmd, const Bytes& parameters) {
    if (parameters.size() > detail::kCommandMax - 2) return Response();
    Bytes packet{static_cast<std::uint8_t>(parameters.size() + 2), cmd};
    detail::append(packet, parameters);
    return command(packet);
  }

  /* ---- typed helpers: each sends the packet of docs/command-reference.md ---- */

  // 10: selects the card technology or role and the time limit of the following
  // commands in tenths of a second (1..255). Resets the controller: poll or
  // detect again before the next card command.
  Result<Firmware> selectMode(Mode mode, std::uint8_t timeoutTenths = 10) {
    const Response r = send(PELVANE_CMD_SELECT_MODE, {static_cast<std::uint8_t>(mode), timeoutTenths, 0, 0, 0});
    if (r.error()) return r.error();
    if (r.data.size() < 2) return detail::shortAnswer();
    return Firmware{r.data[0], r.data[1]};
  }

  // 20 in mode felica or felicaLite: waits for a card of the system code (FFFF: any).
  Result<Idm> pollFelica(std::uint16_t systemCode = 0xFFFF, std::uint8_t timeSlot = 0) {
    const Response r = send(PELVANE_CMD_POLL, Technology::felica(systemCode, timeSlot).parameters);
    if (r.error()) return r.error();
    if (r.data.size() < 8) return detail::shortAnswer();
    Idm idm{};
    std::memcpy(idm.data(), r.data.data(), idm.size());
    return idm;
  }
  // 20 in mode mifare or pageCard: the UID.
  Result<Bytes> pollTypeA() {
    const Response r = send(PELVANE_CMD_POLL, {});
    if (r.error()) return r.error();
    return r.data;
  }
  // 20 in mode typeB.
  Result<TypeBAnswer> pollTypeB(std::uint8_t afi = 0) {
    const Response r = send(PELVANE_CMD_POLL, {afi});
    if (r.error()) return r.error();
    return parseTypeB(r.data.data(), r.data.size());
  }

  // 21: tries up to three technologies in turn for up to 5 s and selects the
  // mode of the card found. The first technology's code also becomes the time
  // limit of the following commands (felica 1.6 s, typeA 4.8 s, typeB 9.6 s):
  // call selectMode for another.
  Result<DetectedCard> detect(const std::vector<Technology>& technologies) {
    if (technologies.size() > 3) return std::make_error_code(std::errc::invalid_argument);
    Bytes p{0x00, 0x00, 0x00, 0x00};
    for (std::size_t i = 0; i < technologies.size(); ++i) {
      p[1 + i] = technologies[i].code;
      detail::append(p, technologies[i].parameters);
    }
    const Response r = send(PELVANE_CMD_DETECT, p);
    if (r.error()) return r.error();
    if (r.data.empty()) return detail::shortAnswer();
    DetectedCard card;
    card.mode = static_cast<Mode>(r.data[0]);
    if (card.mode == Mode::typeB) {
      Result<TypeBAnswer> b = parseTypeB(r.data.data() + 1, r.data.size() - 1);
      if (!b) return b.error();
      card.typeB = std::move(*b);
      card.id.assign(card.typeB.atqb.begin() + 1, card.typeB.atqb.begin() + 5);
    } else {
      card.id.assign(r.data.begin() + 1, r.data.end());
    }
    return card;
  }
  Result<DetectedCard> detect(std::initializer_list<Technology> technologies) {
    return detect(std::vector<Technology>(technologies));
  }

  // 30 in mode felica or felicaLite: Read Without Encryption, 16 bytes per block.
  Result<Bytes> readFelica(const Idm& idm, const std::vector<std::uint16_t>& services,
                           const std::vector<FelicaBlock>& blocks) {
    return data(send(PELVANE_CMD_READ, detail::felicaParameters(idm, services, blocks)));
  }
  // 31 in mode felica or felicaLite: Write Without Encryption; data holds 16
  // bytes per block of the list.
  std::error_code writeFelica(const Idm& idm, const std::vector<std::uint16_t>& services,
                              const std::vector<FelicaBlock>& blocks, const Bytes& data) {
    if (data.size() != 16 * blocks.size()) return std::make_error_code(std::errc::invalid_argument);
    Bytes p = detail::felicaParameters(idm, services, blocks);
    detail::append(p, data);
    return send(PELVANE_CMD_WRITE, p).error();
  }

  // 30 in mode mifare: authenticates block `first` of the sector with key A and
  // reads count blocks (16 bytes each).
  Result<Bytes> readMifare(const Uid4& uid, const Key& keyA, std::uint8_t sector, std::uint8_t first,
                           std::uint8_t count) {
    Bytes p(uid.begin(), uid.end());
    detail::append(p, keyA);
    p.insert(p.end(), {sector, first, count});
    return data(send(PELVANE_CMD_READ, p));
  }
  // 31 in mode mifare: writes data (16 bytes per block) from block `first` of the
  // sector on; the sector trailer is never written this way.
  std::error_code writeMifare(const Uid4& uid, const Key& keyA, std::uint8_t sector, std::uint8_t first,
                              const Bytes& data) {
    if (data.empty() || data.size() % 16 != 0) return std::make_error_code(std::errc::invalid_argument);
    Bytes p(uid.begin(), uid.end());
    detail::append(p, keyA);
    p.insert(p.end(), {sector, first, static_cast<std::uint8_t>(data.size() / 16)});
    detail::append(p, data);
    return send(PELVANE_CMD_WRITE, p).error();
  }
  // 33 in mode mifare: replaces key A of the sector; access bits and key B stay.
  std::error_code changeMifareKey(const Uid4& uid, const Key& keyA, std::uint8_t sector, const Key& newKeyA) {
    Bytes p(uid.begin(), uid.end());
    detail::append(p, keyA);
    p.push_back(sector);
    detail::append(p, newKeyA);
    return send(PELVANE_CMD_WRITE_KEY_OR_PAGE3, p).error();
  }

  // 30 in mode pageCard: count pages from `start`, read four at a time (count / 4
  // reads of 16 bytes, wrapping after page 15).
  Result<Bytes> readPages(const Uid7& uid, std::uint8_t start, std::uint8_t count) {
    Bytes p(uid.begin(), uid.end());
    p.insert(p.end(), {start, count});
    return data(send(PELVANE_CMD_READ, p));
  }
  // 32 in mode pageCard: writes data (4 bytes per page) from page `first` (4..15) on.
  std::error_code writePages(const Uid7& uid, std::uint8_t first, const Bytes& data) {
    if (data.empty() || data.size() % 4 != 0) return std::make_error_code(std::errc::invalid_argument);
    Bytes p(uid.begin(), uid.end());
    p.insert(p.end(), {first, static_cast<std::uint8_t>(data.size() / 4)});
    detail::append(p, data);
    return send(PELVANE_CMD_WRITE_MIFARE, p).error();
  }
  // 33 in mode pageCard: writes page 3 (one-time programmable on most cards).
  std::error_code writePage3(const Uid7& uid, const std::array<std::uint8_t, 4>& page3) {
    Bytes p(uid.begin(), uid.end());
    detail::append(p, page3);
    p.push_back(0x00);
    return send(PELVANE_CMD_WRITE_KEY_OR_PAGE3, p).error();
  }

  // 86: passes data unchanged to the activated target and returns its answer.
  Result<Bytes> passThrough(const Bytes& bytes) { return data(send(PELVANE_CMD_PASS_THROUGH, bytes)); }

 private:
  explicit Reader(int port) : port_(port) {}

  static Result<Bytes> data(const Response& r) {
    if (r.error()) return r.error();
    return r.data;
  }

  static Result<TypeBAnswer> parseTypeB(const std::uint8_t* bytes, std::size_t size) {
    TypeBAnswer answer;
    if (size < answer.atqb.size() + 1) return detail::shortAnswer();
    std::memcpy(answer.atqb.data(), bytes, answer.atqb.size());
    const std::size_t n = bytes[answer.atqb.size()];
    const std::size_t from = answer.atqb.size() + 1;
    if (size - from < n) return detail::shortAnswer();
    answer.attribRes.assign(bytes + from, bytes + from + n);
    return answer;
  }

  // Reads the response packet the library wrote, if any, into r.
  void parse(std::uint8_t cmd, Response& r) const {
    const std::uint8_t* p = response_.data();
    const std::size_t room = response_.size();
    std::size_t from = 0;
    std::size_t end = 0;
    if (cmd == PELVANE_CMD_PASS_THROUGH && p[0] == PELVANE_LONG_FORM_MARKER && p[3] == cmd) {
      // Long form: FF, total length (high, low), CMD, STATUS, data.
      r.status = p[4];
      from = 5;
      end = (static_cast<std::size_t>(p[1]) << 8) | p[2];
    } else if (p[1] == cmd) {
      r.status = p[2];
      from = 3;
      if (cmd == PELVANE_CMD_SEGMENTED_READ || cmd == PELVANE_CMD_SEGMENTED_READ_BLOCK0) {
        // The first byte counts 243-byte segments; 70 puts A7 before them.
        end = 3 + 243u * p[0] + (cmd == PELVANE_CMD_SEGMENTED_READ ? 1u : 0u);
      } else {
        end = p[0];
      }
    } else {
      return;
    }
    r.written = true;
    if (end > room) end = room;
    if (end > from) r.data.assign(p + from, p + end);
  }

  int port_ = 0;
  Bytes response_;
};

/* ------------------------------------------------------------------ RW_ */

class TypeBCard;

// A port opened for the Type B card interface (RW_Open: Type B mode, 3.2 s
// time limit), closed (RW_Close) by the destructor. A card it activates must
// be released before it closes.
class TypeBReader {
 public:
  // The card status word of RW_Sense.
  enum class CardStatus : std::int32_t {
    none = PELVANE_CARD_NONE,
    deactivating = PELVANE_CARD_DEACTIVATING,
    inserted = PELVANE_CARD_INSERTED,
    activated = PELVANE_CARD_ACTIVATED,
  };

  // port: 1..255. A reader that refused the set-up is closed again here.
  static Result<TypeBReader> open(int port) {
    if (port < 1 || port > 255) return std::make_error_code(std::errc::invalid_argument);
    const std::int32_t result = RW_Open(port);
    if (result == PELVANE_RW_NO_CARD) RW_Close(port);
    if (result != PELVANE_RW_OK) return std::error_code(result, rwCategory());
    return TypeBReader(port);
  }

  TypeBReader() = default;
  TypeBReader(const TypeBReader&) = delete;
  TypeBReader& operator=(const TypeBReader&) = delete;
  TypeBReader(TypeBReader&& other) noexcept : port_(std::exchange(other.port_, 0)) {}
  TypeBReader& operator=(TypeBReader&& other) noexcept {
    if (this != &other) {
      close();
      port_ = std::exchange(other.port_, 0);
    }
    return *this;
  }
  ~TypeBReader() { close(); }

  int port() const noexcept { return port_; }
  bool isOpen() const noexcept { return port_ != 0; }
  void close() noexcept {
    if (port_ != 0) RW_Close(std::exchange(port_, 0));
  }

  // RW_Activate: field off and on, then polls for a card within the port's time
  // limit. kind 1 or 2, option 0 to 2, flags 0 or 80 (their meaning lies with
  // the reader hardware).
  inline Result<TypeBCard> activate(int kind = 1, int option = 0, int flags = 0);
  // RW_Insert: the same poll without argument checks.
  inline Result<TypeBCard> insert();

  // RW_Sense: the card status word.
  CardStatus sense() const {
    std::int32_t status = 0;
    RW_Sense(port_, 0, &status, 0);
    return static_cast<CardStatus>(status);
  }

 private:
  explicit TypeBReader(int port) : port_(port) {}
  int port_ = 0;
};

// An activated Type B card; the destructor releases it (RW_Deactivate: field off).
class TypeBCard {
 public:
  TypeBCard() = default;
  TypeBCard(const TypeBCard&) = delete;
  TypeBCard& operator=(const TypeBCard&) = delete;
  TypeBCard(TypeBCard&& other) noexcept : port_(std::exchange(other.port_, 0)) {}
  TypeBCard& operator=(TypeBCard&& other) noexcept {
    if (this != &other) {
      release();
      port_ = std::exchange(other.port_, 0);
    }
    return *this;
  }
  ~TypeBCard() { release(); }

  int port() const noexcept { return port_; }
  bool isActive() const noexcept { return port_ != 0; }

  // RW_Transmit: one APDU (1..253 bytes); the card's answer ends in SW1 SW2.
  Result<Bytes> transmit(const Bytes& apdu) {
    if (apdu.size() > static_cast<std::size_t>(PELVANE_APDU_MAX)) return std::error_code(PELVANE_RW_TRANSMIT_FAILED, rwCategory());
    Bytes answer(static_cast<std::size_t>(PELVANE_APDU_RESPONSE_MAX));
    std::int32_t length = 0;
    const std::int32_t result = RW_Transmit(port_, 0, 0, static_cast<std::int32_t>(apdu.size()), apdu.data(),
                                            &length, answer.data());
    if (result != PELVANE_RW_OK) return std::error_code(result, rwCategory());
    if (length < 0 || length > PELVANE_APDU_RESPONSE_MAX) return detail::shortAnswer();
    answer.resize(static_cast<std::size_t>(length));
    return answer;
  }

  // RW_Deactivate: field off. The card is let go whatever the result (-1 link
  // failure, -2 time-out).
  std::error_code release() noexcept {
    if (port_ == 0) return {};
    const std::int32_t result = RW_Deactivate(std::exchange(port_, 0), 0, 0);
    return result == PELVANE_RW_OK ? std::error_code() : std::error_code(result, rwCategory());
  }
  // RW_Eject: as release, after checking kind (1 or 2). A refused kind keeps the card.
  std::error_code eject(int kind = 1) noexcept {
    if (port_ == 0) return {};
    const std::int32_t result = RW_Eject(port_, kind);
    if (result == PELVANE_RW_BAD_KIND) return std::error_code(result, rwCategory());
    port_ = 0;
    return result == PELVANE_RW_OK ? std::error_code() : std::error_code(result, rwCategory());
  }

 private:
  friend class TypeBReader;
  explicit TypeBCard(int port) : port_(port) {}
  int port_ = 0;
};

inline Result<TypeBCard> TypeBReader::activate(int kind, int option, int flags) {
  const std::int32_t result = RW_Activate(port_, kind, 0, option, flags);
  if (result != PELVANE_RW_OK) return std::error_code(result, rwCategory());
  return TypeBCard(port_);
}

inline Result<TypeBCard> TypeBReader::insert() {
  const std::int32_t result = RW_Insert(port_, 0);
  if (result != PELVANE_RW_OK) return std::error_code(result, rwCategory());
  return TypeBCard(port_);
}

}  // namespace pelvane

#endif /* PELVANE_HPP */
