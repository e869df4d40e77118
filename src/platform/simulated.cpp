// The platform over an in-process line and a virtual clock, for unit tests.
// Nothing here waits for real: sleeps and pauses advance the virtual clock, and
// the far side is asked what has arrived by the current virtual time.
#include "platform/simulated.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace pelvane {

namespace {

using simport::Call;
using simport::Event;
using simport::FarSide;

constexpr std::uint32_t kErrorInvalidData = 13;   // a device without a readable name
constexpr std::uint32_t kErrorAccessDenied = 5;   // CreateFileA on a port already open
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorGenFailure = 31;
constexpr std::uint32_t kCeFrame = 0x0008;        // the line error injectLineError reports
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
// A ReadFile whose time-outs say "wait for ever" gives up after this much virtual
// time, so that a test can never hang.
constexpr std::uint32_t kLongestReadMs = 60000;
constexpr PortHandle kFirstHandle = 0x100;
constexpr DeviceList kTheDeviceList = 0x5E7;

struct Device {
  std::string path;
  FarSide* far = nullptr;
  bool present = true;
  std::vector<std::uint32_t> acceptedSpeeds;
  LineSettings line;
  CommTimeouts timeouts;
};

struct OpenHandle {
  PortHandle handle;
  std::size_t device;
  bool dead;  // its device was removed: every call fails until it is closed
};

struct FailPlan {
  int after = 0;
  int times = 0;  // -1: for ever
};

struct State {
  std::int32_t startMs = 100000;
  std::uint64_t elapsedUs = 0;
  std::vector<Device> devices;
  std::vector<OpenHandle> handles;
  PortHandle nextHandle = kFirstHandle;
  FailPlan fails[static_cast<int>(Call::Count)];
  int lineErrors = 0;
  std::vector<std::string> names;
  bool listOpen = false;
  std::vector<Event> events;
  bool recording = true;
  int liveBuffers = 0;
  std::uint32_t lastError = 0;
  std::uint64_t sleepQuantumUs = 0;
};

State& st() {
  static State state;
  return state;
}

// Path overrides of setPortDevice, by port number.
char overrides[257][kDevicePathSize];

LineSettings defaultLine() {
  LineSettings s;
  s.baudRate = 9600;
  s.byteSize = 8;
  return s;
}

// True when the injected plan makes this call fail now.
bool injectedFailure(Call call) {
  FailPlan& p = st().fails[static_cast<int>(call)];
  if (p.after > 0) {
    --p.after;
    return false;
  }
  if (p.times == 0) return false;
  if (p.times > 0) --p.times;
  st().lastError = kErrorGenFailure;
  return true;
}

Device* deviceAt(const std::string& path) {
  for (Device& d : st().devices) {
    if (d.path == path) return &d;
  }
  return nullptr;
}

// The device of an open handle, or null when the handle is unknown, closed or
// its device has gone.
Device* deviceOf(PortHandle handle) {
  State& s = st();
  for (const OpenHandle& h : s.handles) {
    if (h.handle == handle) return h.dead ? nullptr : &s.devices[h.device];
  }
  return nullptr;
}

std::int32_t virtualMs() {
  const State& s = st();
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(s.startMs) +
                                   static_cast<std::uint32_t>(s.elapsedUs / 1000));
}

// Appends an event; the returned pointer (null when not recording) is valid
// until the next event and lets the caller mark a failed call.
Event* record(Event::Kind kind, const std::string& path, std::uint32_t value) {
  State& s = st();
  if (!s.recording) return nullptr;
  Event e;
  e.kind = kind;
  e.timeMs = virtualMs();
  e.path = path;
  e.value = value;
  s.events.push_back(std::move(e));
  return &s.events.back();
}

// Passes a call's result through, marking its event when it failed.
bool outcome(Event* e, bool ok) {
  if (e != nullptr) e->ok = ok;
  return ok;
}

bool speedAccepted(const Device& d, std::uint32_t baud) {
  if (d.acceptedSpeeds.empty()) return baud != 0;
  for (std::uint32_t s : d.acceptedSpeeds) {
    if (s == baud) return true;
  }
  return false;
}

}  // namespace

// ---- the platform operations ----

PortHandle openDevice(const char* path, std::uint32_t flagsAndAttributes) {
  State& s = st();
  const std::string p = path != nullptr ? path : "";
  Event* e = record(Event::Open, p, flagsAndAttributes);
  if (injectedFailure(Call::OpenDevice)) {
    s.lastError = kErrorGenFailure;
    outcome(e, false);
    return kInvalidHandle;
  }
  for (std::size_t i = 0; i < s.devices.size(); ++i) {
    Device& d = s.devices[i];
    if (d.path != p || !d.present) continue;
    // No sharing: a second open of a port fails as CreateFileA does.
    for (const OpenHandle& h : s.handles) {
      if (h.device == i && !h.dead) {
        s.lastError = kErrorAccessDenied;
        outcome(e, false);
        return kInvalidHandle;
      }
    }
    const PortHandle handle = s.nextHandle++;
    s.handles.push_back(OpenHandle{handle, i, false});
    return handle;
  }
  s.lastError = kErrorFileNotFound;
  outcome(e, false);
  return kInvalidHandle;
}

void closeDevice(PortHandle handle) {
  State& s = st();
  for (std::size_t i = 0; i < s.handles.size(); ++i) {
    if (s.handles[i].handle == handle) {
      record(Event::Close, s.devices[s.handles[i].device].path, 0);
      s.handles.erase(s.handles.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
  record(Event::Close, "", 0);
}

bool getLineSettings(PortHandle handle, LineSettings* settings) {
  Device* d = deviceOf(handle);
  if (d == nullptr || settings == nullptr || injectedFailure(Call::GetLineSettings)) return false;
  *settings = d->line;
  return true;
}

bool setLineSettings(PortHandle handle, const LineSettings* settings) {
  Device* d = deviceOf(handle);
  if (d == nullptr || settings == nullptr) return false;
  Event* e = record(Event::SetLine, d->path, settings->baudRate);
  if (e != nullptr) e->line = *settings;
  if (injectedFailure(Call::SetLineSettings) || !speedAccepted(*d, settings->baudRate) ||
      settings->byteSize < 5 || settings->byteSize > 8 || settings->parity > 4 ||
      settings->stopBits > 2) {
    return outcome(e, false);
  }
  d->line = *settings;
  return true;
}

bool getTimeouts(PortHandle handle, CommTimeouts* timeouts) {
  Device* d = deviceOf(handle);
  if (d == nullptr || timeouts == nullptr || injectedFailure(Call::GetTimeouts)) return false;
  *timeouts = d->timeouts;
  return true;
}

bool setTimeouts(PortHandle handle, const CommTimeouts* timeouts) {
  Device* d = deviceOf(handle);
  if (d == nullptr || timeouts == nullptr) return false;
  Event* e = record(Event::SetTimeouts, d->path, 0);
  if (e != nullptr) e->timeouts = *timeouts;
  if (injectedFailure(Call::SetTimeouts)) return outcome(e, false);
  d->timeouts = *timeouts;
  return true;
}

bool purgeBuffers(PortHandle handle) {
  Device* d = deviceOf(handle);
  if (d == nullptr) return false;
  Event* e = record(Event::Purge, d->path, 0);
  if (injectedFailure(Call::Purge)) return outcome(e, false);
  if (d->far != nullptr) d->far->dropArrived(st().elapsedUs);
  return true;
}

bool clearErrors(PortHandle handle, std::uint32_t* errors, std::uint32_t* waiting) {
  Device* d = deviceOf(handle);
  if (d == nullptr || errors == nullptr || waiting == nullptr ||
      injectedFailure(Call::ClearErrors)) {
    return false;
  }
  State& s = st();
  *errors = 0;
  if (s.lineErrors > 0) {
    --s.lineErrors;
    *errors = kCeFrame;
  }
  const std::size_t n = d->far != nullptr ? d->far->available(s.elapsedUs) : 0;
  *waiting = n > kMaxDword ? kMaxDword : static_cast<std::uint32_t>(n);
  return true;
}

bool readOneByte(PortHandle handle, std::uint8_t* out, std::uint32_t* delivered) {
  Device* d = deviceOf(handle);
  if (d == nullptr || out == nullptr || delivered == nullptr || injectedFailure(Call::Read)) {
    return false;
  }
  State& s = st();
  *delivered = 0;
  // ReadFile waits up to its total time-out for the byte (COMMTIMEOUTS rules:
  // interval MAXDWORD with zero totals returns at once).
  const CommTimeouts& t = d->timeouts;
  std::uint64_t waitMs = static_cast<std::uint64_t>(t.readTotalTimeoutMultiplier) +
                         t.readTotalTimeoutConstant;
  if (waitMs == 0 && t.readIntervalTimeout != kMaxDword) waitMs = kLongestReadMs;
  if (waitMs > kLongestReadMs) waitMs = kLongestReadMs;
  for (std::uint64_t waited = 0;; ++waited) {
    const int b = d->far != nullptr ? d->far->pop(s.elapsedUs) : -1;
    if (b >= 0) {
      *out = static_cast<std::uint8_t>(b);
      *delivered = 1;
      return true;
    }
    if (waited >= waitMs) return true;
    s.elapsedUs += 1000;
  }
}

bool writeBytes(PortHandle handle, const std::uint8_t* data, std::uint32_t length) {
  Device* d = deviceOf(handle);
  if (d == nullptr || (data == nullptr && length > 0)) return false;
  State& s = st();
  Event* e = record(Event::Write, d->path, length);
  if (e != nullptr && length > 0) e->bytes.assign(data, data + length);
  if (injectedFailure(Call::Write)) return outcome(e, false);
  if (d->far != nullptr) d->far->hostWrote(data, length, s.elapsedUs, d->line.baudRate);
  return true;
}

// With a quantum, a pause wakes at the first tick (multiple of the quantum on
// the virtual clock) at or after the time asked for, as a timer that expires
// only on the system's clock interrupt does.
void sleepMs(std::uint32_t ms) {
  record(Event::Sleep, "", ms);
  State& s = st();
  std::uint64_t end = s.elapsedUs + static_cast<std::uint64_t>(ms) * 1000;
  const std::uint64_t q = s.sleepQuantumUs;
  if (q > 0) end = (end + q - 1) / q * q;
  s.elapsedUs = end;
}

// Recorded as a Sleep: the port's timer is part of the pause.
void pauseOnPort(PortHandle handle, std::uint32_t ms) {
  (void)handle;
  sleepMs(ms);
}

// Recorded as a Sleep: on Windows the byte reader's pause is Sleep(1).
void pauseForInput(PortHandle handle, std::uint32_t ms) {
  (void)handle;
  sleepMs(ms);
}

std::int32_t clockMs() { return virtualMs(); }

DeviceList openDeviceList() {
  if (injectedFailure(Call::OpenDeviceList)) return kInvalidDeviceList;
  st().listOpen = true;
  return kTheDeviceList;
}

bool enumDevice(DeviceList list, std::uint32_t index, DeviceInfo* info) {
  State& s = st();
  if (list != kTheDeviceList || !s.listOpen || info == nullptr || index >= s.names.size()) {
    s.lastError = 259;  // ERROR_NO_MORE_ITEMS
    return false;
  }
  info->index = index;
  return true;
}

bool getFriendlyName(DeviceList list, DeviceInfo* info, char* buffer, std::uint32_t size,
                     std::uint32_t* required) {
  State& s = st();
  if (list != kTheDeviceList || !s.listOpen || info == nullptr || info->index >= s.names.size()) {
    s.lastError = kErrorInvalidData;
    return false;
  }
  const std::string& name = s.names[info->index];
  if (!name.empty() && name[0] == '!') {
    s.lastError = kErrorInvalidData;
    return false;
  }
  const auto need = static_cast<std::uint32_t>(name.size() + 1);
  if (required != nullptr) *required = need;
  if (buffer == nullptr || size < need) {
    s.lastError = kErrorInsufficientBuffer;
    return false;
  }
  std::memcpy(buffer, name.c_str(), need);
  return true;
}

void closeDeviceList(DeviceList list) {
  if (list == kTheDeviceList) st().listOpen = false;
}

std::uint32_t lastError() { return st().lastError; }

void* allocZeroed(std::uint32_t size) {
  void* p = std::calloc(size == 0 ? 1 : size, 1);
  if (p != nullptr) ++st().liveBuffers;
  return p;
}

void freeBuffer(void* buffer) {
  if (buffer == nullptr) return;
  --st().liveBuffers;
  std::free(buffer);
}

// Default path "\\.\COM<n>", the Windows form; tests add devices under that name.
void formatDevicePath(int port, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return;
  if (port >= 1 && port <= 256 && overrides[port][0] != '\0') {
    std::snprintf(out, size, "%s", overrides[port]);
    return;
  }
  std::snprintf(out, size, "\\\\.\\COM%d", port);
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

// ---- the control side ----

namespace simport {

void reset(std::int32_t startMs) {
  State& s = st();
  s = State{};
  s.startMs = startMs;
  for (auto& o : overrides) o[0] = '\0';
}

void addDevice(const std::string& path, FarSide* far) {
  Device* existing = deviceAt(path);
  if (existing != nullptr) {
    existing->far = far;
    existing->present = true;
    return;
  }
  Device d;
  d.path = path;
  d.far = far;
  d.line = defaultLine();
  st().devices.push_back(std::move(d));
}

void removeDevice(const std::string& path) {
  Device* d = deviceAt(path);
  if (d == nullptr) return;
  d->present = false;
  const auto index = static_cast<std::size_t>(d - st().devices.data());
  for (OpenHandle& h : st().handles) {
    if (h.device == index) h.dead = true;
  }
}

void setAcceptedSpeeds(const std::string& path, std::vector<std::uint32_t> speeds) {
  Device* d = deviceAt(path);
  if (d != nullptr) d->acceptedSpeeds = std::move(speeds);
}

void setInitialTimeouts(const std::string& path, const CommTimeouts& timeouts) {
  Device* d = deviceAt(path);
  if (d != nullptr) d->timeouts = timeouts;
}

void failCall(Call call, int after, int times) {
  if (call == Call::Count) return;
  FailPlan& p = st().fails[static_cast<int>(call)];
  p.after = after < 0 ? 0 : after;
  p.times = times;
}

void injectLineError(int times) { st().lineErrors = times < 0 ? 0 : times; }

void setDeviceNames(std::vector<std::string> names) { st().names = std::move(names); }

std::uint64_t nowUs() { return st().elapsedUs; }
std::int32_t nowMs() { return virtualMs(); }
void advanceUs(std::uint64_t us) { st().elapsedUs += us; }
void setSleepQuantumUs(std::uint64_t us) { st().sleepQuantumUs = us; }

const std::vector<Event>& events() { return st().events; }
void clearEvents() { st().events.clear(); }
void setRecording(bool on) { st().recording = on; }

std::vector<std::uint8_t> bytesWritten(const std::string& path) {
  std::vector<std::uint8_t> all;
  for (const Event& e : st().events) {
    if (e.kind == Event::Write && e.path == path) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  }
  return all;
}

std::vector<std::vector<std::uint8_t>> writes() {
  std::vector<std::vector<std::uint8_t>> all;
  for (const Event& e : st().events) {
    if (e.kind == Event::Write) all.push_back(e.bytes);
  }
  return all;
}

bool lineSettingsOf(const std::string& path, LineSettings* out) {
  const Device* d = deviceAt(path);
  if (d == nullptr || out == nullptr) return false;
  *out = d->line;
  return true;
}

bool timeoutsOf(const std::string& path, CommTimeouts* out) {
  const Device* d = deviceAt(path);
  if (d == nullptr || out == nullptr) return false;
  *out = d->timeouts;
  return true;
}

int openHandles() { return static_cast<int>(st().handles.size()); }
int liveBuffers() { return st().liveBuffers; }

}  // namespace simport

}  // namespace pelvane
