// The platform over POSIX terminals (Linux): a serial port is a tty descriptor
// in raw mode, exclusive like a Windows COM port; devices are found in sysfs.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/platform.h"
#include "platform/posix.h"

namespace pelvane {

namespace {

constexpr std::uint32_t kErrorInvalidData = 13;
constexpr std::uint32_t kErrorNoMoreItems = 259;
// A write whose time-outs are both 0 (no limit on Windows) still gives up after this.
constexpr std::int64_t kLongestWriteMs = 5000;
// One record per open descriptor: a port per COM number, and a spare.
constexpr int kMaxOpen = 257;
// Room for the folder device enumeration lists.
constexpr std::size_t kPathRoom = 256;
constexpr int kMaxListed = 256;
// Marks LineSettings.native as filled by getLineSettings.
constexpr std::uint32_t kNativeTag = 0x50534958;  // "PSIX"

// Calls for different ports run on different threads: a record is claimed and
// freed atomically, each device list belongs to the call that opened it, as a
// SetupDi list does, and the last error is per thread, as GetLastError is.
// Bytes taken from the descriptor in one read() and handed to the byte reader
// one at a time, as a COM port's driver queue holds them: a frame that is
// already in costs one status call and one read, not four system calls a byte.
constexpr std::uint32_t kReadAhead = 64;

struct OpenPort {
  std::atomic<int> fd{-1};
  CommTimeouts timeouts;
  // Received and not yet handed on: ahead[aheadAt .. aheadEnd). Only the thread
  // that reads the port touches it, as with the descriptor itself.
  std::uint8_t ahead[kReadAhead] = {};
  std::uint32_t aheadAt = 0;
  std::uint32_t aheadEnd = 0;
};

OpenPort openPorts[kMaxOpen];
constexpr const char* kTtyClassFolder = "/sys/class/tty";
char ttyClassFolder[kPathRoom] = "/sys/class/tty";
char overrides[257][kDevicePathSize];
thread_local std::uint32_t lastErrorCode = 0;

// A device list: the bridge kind of each listed ttyUSB number, in ascending order.
enum BridgeKind { kOtherDriver, kCp210x, kPl2303 };
struct ListedDevice {
  int usbIndex;
  BridgeKind kind;
};
struct DeviceListRecord {
  ListedDevice listed[kMaxListed];
  int count = 0;
};
static_assert(sizeof(ListedDevice) <= sizeof(DeviceInfo::native),
              "ListedDevice does not fit DeviceInfo");

DeviceListRecord* recordOf(DeviceList list) {
  return list == kInvalidDeviceList ? nullptr : reinterpret_cast<DeviceListRecord*>(list);
}

OpenPort* portOf(PortHandle handle) {
  if (handle < 0) return nullptr;
  for (OpenPort& p : openPorts) {
    if (p.fd >= 0 && p.fd == handle) return &p;
  }
  return nullptr;
}

std::int64_t monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct SpeedCode {
  std::uint32_t baud;
  speed_t code;
};
const SpeedCode kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool speedCodeOf(std::uint32_t baud, speed_t* code) {
  for (const SpeedCode& s : kSpeeds) {
    if (s.baud == baud) {
      *code = s.code;
      return true;
    }
  }
  return false;
}

std::uint32_t baudOf(speed_t code) {
  for (const SpeedCode& s : kSpeeds) {
    if (s.code == code) return s.baud;
  }
  return 0;
}

// Raw bytes both ways, receiver on, modem lines ignored, reads never block.
void makeRaw(termios* t) {
  cfmakeraw(t);
  t->c_cflag |= CLOCAL | CREAD;
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
}

// Waits until fd is ready for `events` or `deadlineMs` passes. Returns the
// revents, 0 on time-out, -1 on failure.
int waitFor(int fd, short events, std::int64_t deadlineMs) {
  for (;;) {
    const std::int64_t left = deadlineMs - monotonicMs();
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (r > 0) return p.revents;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

BridgeKind driverKind(int usbIndex) {
  char link[kPathRoom + 64];
  std::snprintf(link, sizeof link, "%s/ttyUSB%d/device/driver", ttyClassFolder, usbIndex);
  char target[256];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return kOtherDriver;
  target[n] = '\0';
  const char* slash = std::strrchr(target, '/');
  const char* name = slash != nullptr ? slash + 1 : target;
  if (std::strcmp(name, "cp210x") == 0) return kCp210x;
  if (std::strcmp(name, "pl2303") == 0) return kPl2303;
  return kOtherDriver;
}

// "ttyUSB<digits>" gives its number, anything else -1.
int usbIndexOf(const char* name) {
  if (std::strncmp(name, "ttyUSB", 6) != 0 || name[6] == '\0') return -1;
  int n = 0;
  for (const char* c = name + 6; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || n > 100000) return -1;
    n = n * 10 + (*c - '0');
  }
  return n;
}

}  // namespace

PortHandle openDevice(const char* path, std::uint32_t flagsAndAttributes) {
  (void)flagsAndAttributes;  // no POSIX meaning
  if (path == nullptr) return kInvalidHandle;
  const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    lastErrorCode = static_cast<std::uint32_t>(errno);
    return kInvalidHandle;
  }
  // Exclusive like a COM port opened without sharing: TIOCEXCL stops other
  // opens of the tty (root is exempt from it), flock stops other users of this
  // library and other careful programs, root included.
  termios t{};
  if (!isatty(fd) || ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      tcgetattr(fd, &t) != 0) {
    lastErrorCode = static_cast<std::uint32_t>(errno);
    close(fd);
    return kInvalidHandle;
  }
  // Raw at the current speed right away: a tty left echoing would send every
  // frame straight back to the reader.
  makeRaw(&t);
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    lastErrorCode = static_cast<std::uint32_t>(errno);
    close(fd);
    return kInvalidHandle;
  }
  for (OpenPort& p : openPorts) {
    int vacant = -1;
    if (p.fd.compare_exchange_strong(vacant, fd)) {
      p.timeouts = CommTimeouts{};
      p.aheadAt = p.aheadEnd = 0;
      return fd;
    }
  }
  close(fd);
  return kInvalidHandle;
}

void closeDevice(PortHandle handle) {
  OpenPort* p = portOf(handle);
  if (p == nullptr) return;
  // The record is free before another open can be given the same descriptor.
  close(p->fd.exchange(-1));  // releases the flock and, on the last close, TIOCEXCL
}

bool getLineSettings(PortHandle handle, LineSettings* settings) {
  const OpenPort* p = portOf(handle);
  termios t{};
  if (p == nullptr || settings == nullptr) return false;
  if (tcgetattr(p->fd, &t) != 0) {
    lastErrorCode = static_cast<std::uint32_t>(errno);
    return false;
  }
  LineSettings s;
  s.baudRate = baudOf(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: s.byteSize = 5; break;
    case CS6: s.byteSize = 6; break;
    case CS7: s.byteSize = 7; break;
    default: s.byteSize = 8; break;
  }
  s.parity = (t.c_cflag & PARENB) == 0 ? 0 : ((t.c_cflag & PARODD) != 0 ? 1 : 2);
  s.stopBits = (t.c_cflag & CSTOPB) != 0 ? 2 : 0;
  s.fNull = false;
  // Kept so that a get/set pair leaves hardware flow control as it was.
  const std::uint32_t tag = kNativeTag;
  const auto cflag = static_cast<std::uint32_t>(t.c_cflag);
  std::memcpy(s.native, &tag, sizeof tag);
  std::memcpy(s.native + 4, &cflag, sizeof cflag);
  *settings = s;
  return true;
}

bool setLineSettings(PortHandle handle, const LineSettings* settings) {
  const OpenPort* p = portOf(handle);
  if (p == nullptr || settings == nullptr) return false;
  speed_t speed = 0;
  // A tty cannot drop received 0x00 bytes, nor send 1.5 stop bits, mark or space parity.
  if (!speedCodeOf(settings->baudRate, &speed) || settings->fNull || settings->stopBits == 1 ||
      settings->stopBits > 2 || settings->parity > 2 || settings->byteSize < 5 ||
      settings->byteSize > 8) {
    lastErrorCode = EINVAL;
    return false;
  }
  termios t{};
  if (tcgetattr(p->fd, &t) != 0) return false;
  makeRaw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[settings->byteSize - 5];
  if (settings->parity != 0) t.c_cflag |= PARENB | (settings->parity == 1 ? PARODD : 0);
  if (settings->stopBits == 2) t.c_cflag |= CSTOPB;
  std::uint32_t tag = 0;
  std::uint32_t cflag = 0;
  std::memcpy(&tag, settings->native, sizeof tag);
  std::memcpy(&cflag, settings->native + 4, sizeof cflag);
  if (tag == kNativeTag && (cflag & CRTSCTS) != 0) t.c_cflag |= CRTSCTS;
  // TCSADRAIN: bytes already written still go out at the old speed, as a UART
  // sends what it holds before the line changes (the speed switch at bring-up
  // writes the ACK at 9600 and then moves to the new speed).
  if (cfsetspeed(&t, speed) != 0 || tcsetattr(p->fd, TCSADRAIN, &t) != 0) {
    lastErrorCode = static_cast<std::uint32_t>(errno);
    return false;
  }
  // tcsetattr succeeds when any part was applied: read back to see the speed took.
  termios back{};
  if (tcgetattr(p->fd, &back) != 0) return false;
  return cfgetospeed(&back) == speed && cfgetispeed(&back) == speed &&
         (back.c_cflag & CSIZE) == (t.c_cflag & CSIZE);
}

// COMMTIMEOUTS have no tty equivalent; they are kept per handle and bound the
// single-byte read and the write.
bool getTimeouts(PortHandle handle, CommTimeouts* timeouts) {
  const OpenPort* p = portOf(handle);
  if (p == nullptr || timeouts == nullptr) return false;
  *timeouts = p->timeouts;
  return true;
}

bool setTimeouts(PortHandle handle, const CommTimeouts* timeouts) {
  OpenPort* p = portOf(handle);
  if (p == nullptr || timeouts == nullptr) return false;
  p->timeouts = *timeouts;
  return true;
}

bool purgeBuffers(PortHandle handle) {
  OpenPort* p = portOf(handle);
  if (p == nullptr) return false;
  p->aheadAt = p->aheadEnd = 0;  // what was read ahead was still in the input queue
  return tcflush(p->fd, TCIOFLUSH) == 0;
}

// Takes whatever the descriptor holds (up to the read-ahead room) without
// waiting. False when the device has gone (end of file or a read error).
bool fillAhead(OpenPort* p) {
  for (;;) {
    const ssize_t n = read(p->fd, p->ahead, kReadAhead);
    if (n > 0) {
      p->aheadAt = 0;
      p->aheadEnd = static_cast<std::uint32_t>(n);
      return true;
    }
    if (n == 0) return false;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    if (errno != EINTR) return false;
  }
}

// A tty reports no line errors; a hung-up or failed descriptor fails the call.
// The count waiting is what was read ahead and what the descriptor still holds.
// Bytes already read ahead are handed on before a failure of the device is
// reported, as a driver's queue would still deliver them.
bool clearErrors(PortHandle handle, std::uint32_t* errors, std::uint32_t* waiting) {
  OpenPort* p = portOf(handle);
  if (p == nullptr || errors == nullptr || waiting == nullptr) return false;
  int queued = 0;
  if (p->aheadAt == p->aheadEnd) {
    pollfd q{p->fd, POLLIN, 0};
    if (poll(&q, 1, 0) < 0) {
      if (errno != EINTR) return false;
      q.revents = 0;
    }
    if ((q.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
    if ((q.revents & POLLIN) != 0 && !fillAhead(p)) return false;
    // A read that left room took everything there was.
    if (p->aheadEnd - p->aheadAt == kReadAhead && ioctl(p->fd, FIONREAD, &queued) != 0) return false;
  } else if (ioctl(p->fd, FIONREAD, &queued) != 0) {
    return false;
  }
  if (queued < 0) return false;
  *errors = 0;
  *waiting = p->aheadEnd - p->aheadAt + static_cast<std::uint32_t>(queued);
  return true;
}

bool readOneByte(PortHandle handle, std::uint8_t* out, std::uint32_t* delivered) {
  OpenPort* p = portOf(handle);
  if (p == nullptr || out == nullptr || delivered == nullptr) return false;
  *delivered = 0;
  if (p->aheadAt == p->aheadEnd) {
    // Waits up to the total read time-out for input. Zero totals do not wait at
    // all (on Windows they may mean "for ever"; here a read is never unbounded).
    const CommTimeouts& t = p->timeouts;
    std::int64_t waitMs = static_cast<std::int64_t>(t.readTotalTimeoutMultiplier) +
                          t.readTotalTimeoutConstant;
    const int revents = waitFor(p->fd, POLLIN, monotonicMs() + waitMs);
    if (revents < 0) return false;
    if (revents == 0) return true;
    if ((revents & POLLIN) == 0) return false;  // hang-up or error without data
    if (!fillAhead(p)) return false;
    if (p->aheadAt == p->aheadEnd) return true;
  }
  *out = p->ahead[p->aheadAt++];
  *delivered = 1;
  return true;
}

bool writeBytes(PortHandle handle, const std::uint8_t* data, std::uint32_t length) {
  const OpenPort* p = portOf(handle);
  if (p == nullptr || (data == nullptr && length > 0)) return false;
  std::int64_t limitMs = static_cast<std::int64_t>(p->timeouts.writeTotalTimeoutMultiplier) * length +
                         p->timeouts.writeTotalTimeoutConstant;
  if (limitMs == 0) limitMs = kLongestWriteMs;
  // One limit for the whole write, not one per wait.
  const std::int64_t deadline = monotonicMs() + limitMs;
  std::uint32_t done = 0;
  while (done < length) {
    const ssize_t n = write(p->fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const int revents = waitFor(p->fd, POLLOUT, deadline);
    if (revents <= 0 || (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
  }
  return true;
}

void sleepMs(std::uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// A descriptor needs no timer of its own: nanosleep is precise.
void pauseOnPort(PortHandle handle, std::uint32_t ms) {
  (void)handle;
  sleepMs(ms);
}

// Waits on the descriptor rather than sleeping, so a byte is taken as soon as it
// arrives; the byte reader still counts the pause as one empty poll, so its
// deadline tests come no later than they would with a full 1 ms sleep.
void pauseForInput(PortHandle handle, std::uint32_t ms) {
  const OpenPort* p = portOf(handle);
  if (p == nullptr) {
    sleepMs(ms);
    return;
  }
  const int revents = waitFor(p->fd, POLLIN, monotonicMs() + ms);
  // A hung-up descriptor polls ready at once; pace the loop until the next
  // status call reports the failure.
  if (revents > 0 && (revents & POLLIN) == 0) sleepMs(ms);
}

// Milliseconds since the library first read the clock, as the C run-time clock()
// counts from process start; monotonic, never the CPU-time clock().
std::int32_t clockMs() {
  static const std::int64_t origin = monotonicMs();
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(monotonicMs() - origin));
}

// ---- device enumeration over sysfs ----
// Each /dev/ttyUSB<n> bound to the cp210x or pl2303 driver gets the friendly name
// Windows would show for it, with COM<n+1>. enumDevice copies the listed device
// into the caller's DeviceInfo, which is all getFriendlyName reads.

DeviceList openDeviceList() {
  auto* record = new (std::nothrow) DeviceListRecord;
  if (record == nullptr) {
    lastErrorCode = ENOMEM;
    return kInvalidDeviceList;
  }
  DIR* dir = opendir(ttyClassFolder);
  if (dir != nullptr) {
    while (const dirent* e = readdir(dir)) {
      const int n = usbIndexOf(e->d_name);
      if (n < 0 || record->count == kMaxListed) continue;
      // Ascending order, so that discovery sees the ports the same way every time.
      int at = record->count++;
      while (at > 0 && record->listed[at - 1].usbIndex > n) {
        record->listed[at] = record->listed[at - 1];
        --at;
      }
      record->listed[at] = ListedDevice{n, driverKind(n)};
    }
    closedir(dir);
  }
  return reinterpret_cast<DeviceList>(record);
}

bool enumDevice(DeviceList list, std::uint32_t index, DeviceInfo* info) {
  const DeviceListRecord* record = recordOf(list);
  if (record == nullptr || info == nullptr || index >= static_cast<std::uint32_t>(record->count)) {
    lastErrorCode = kErrorNoMoreItems;
    return false;
  }
  info->index = index;
  std::memcpy(info->native, &record->listed[index], sizeof(ListedDevice));
  return true;
}

bool getFriendlyName(DeviceList list, DeviceInfo* info, char* buffer, std::uint32_t size,
                     std::uint32_t* required) {
  ListedDevice d{-1, kOtherDriver};
  if (recordOf(list) != nullptr && info != nullptr) std::memcpy(&d, info->native, sizeof d);
  if (d.kind != kCp210x && d.kind != kPl2303) {
    lastErrorCode = kErrorInvalidData;
    return false;
  }
  char name[96];
  const char* prefix = d.kind == kCp210x ? "CP210x USB to UART Bridge Controller"
                                         : "Prolific USB-to-Serial Comm Port";
  const int len = std::snprintf(name, sizeof name, "%s (COM%d)", prefix, d.usbIndex + 1);
  const auto need = static_cast<std::uint32_t>(len + 1);
  if (required != nullptr) *required = need;
  if (buffer == nullptr || size < need) {
    lastErrorCode = kErrorInsufficientBuffer;
    return false;
  }
  std::memcpy(buffer, name, need);
  return true;
}

void closeDeviceList(DeviceList list) { delete recordOf(list); }

std::uint32_t lastError() { return lastErrorCode; }

void* allocZeroed(std::uint32_t size) { return std::calloc(size == 0 ? 1 : size, 1); }
void freeBuffer(void* buffer) { std::free(buffer); }

void formatDevicePath(int port, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return;
  if (port < 1 || port > 256) {
    out[0] = '\0';
    return;
  }
  if (overrides[port][0] != '\0') {
    std::snprintf(out, size, "%s", overrides[port]);
    return;
  }
  std::snprintf(out, size, "/dev/ttyUSB%d", port - 1);
}

bool setPortDevice(int port, const char* path) {
  if (port < 1 || port > 256) return false;
  if (path == nullptr || path[0] == '\0') {
    overrides[port][0] = '\0';
    return true;
  }
  if (std::strlen(path) >= kDevicePathSize) return false;
  std::snprintf(overrides[port], kDevicePathSize, "%s", path);
  return true;
}

namespace posixport {

bool setTtyClassFolder(const char* path) {
  if (path == nullptr || path[0] == '\0') path = kTtyClassFolder;
  if (std::strlen(path) >= kPathRoom) return false;
  std::snprintf(ttyClassFolder, kPathRoom, "%s", path);
  return true;
}

}  // namespace posixport

}  // namespace pelvane
