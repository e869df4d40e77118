// The platform over the Windows API: serial ports through the communications
// functions, the device list through the SetupDi calls, the clock from the
// performance counter, pauses on a high-resolution waitable timer of each open
// port. Each function is the one Windows call platform.h names. Nothing here is
// shared by calls on different ports except the device-path table and the tables
// of open ports and open pipes, whose records are claimed and freed atomically.
//
// A named pipe (a path under \\.\pipe\, as served by pelvane-sim.exe) stands
// in for a COM port: the pipe functions below give it the same contract. A pipe
// has no DCB and no COMMTIMEOUTS, so the comm-state and time-out calls keep
// their values in the pipe's record instead; reads and writes run overlapped
// and end at the same time-outs a COM port applies; and each line-speed change
// goes to the simulator as a record in the byte stream, so its model sees the
// bytes that follow at that speed. COM ports take none of these paths.
#include <windows.h>

#include <mmsystem.h>
#include <setupapi.h>

#include <atomic>
#include <cctype>
#include <cstring>

#include "platform/platform.h"

namespace pelvane {

namespace {

static_assert(sizeof(DCB) <= sizeof(LineSettings::native), "DCB does not fit LineSettings");
static_assert(sizeof(SP_DEVINFO_DATA) <= sizeof(DeviceInfo::native),
              "SP_DEVINFO_DATA does not fit DeviceInfo");
static_assert(sizeof(HANDLE) <= sizeof(PortHandle), "HANDLE does not fit PortHandle");
static_assert(kDevicePathSize == MAX_PATH, "device paths are bounded by MAX_PATH");

constexpr DWORD kPurgeBoth = PURGE_TXCLEAR | PURGE_RXCLEAR;  // 0x0C

// CreateWaitableTimerExW is Windows Vista and later, and its high-resolution
// flag Windows 10 version 1803 and later (older systems refuse the flag with
// ERROR_INVALID_PARAMETER; the headers of older SDKs do not name it). The DLL
// looks the function up when a port opens, so it loads on systems without it.
constexpr DWORD kHighResolutionTimer = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
constexpr UINT kFallbackPeriodMs = 1;
using CreateTimerEx = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD);

// Device paths set with setPortDevice, by port number; empty: "\\.\COMn".
char overrides[257][kDevicePathSize];

// One record per open port handle, claimed by openDevice and freed by
// closeDevice: the port's pause timer, or, where the system has none, whether
// this port raised the timer resolution, so that closing undoes exactly that.
// Only the calls on that port read the fields after the claim.
struct OpenPort {
  std::atomic<HANDLE> file{nullptr};  // null: free; INVALID_HANDLE_VALUE: being set up
  HANDLE timer = nullptr;
  bool raisedResolution = false;
};
OpenPort openPorts[257];  // every port of the port table, and the one reopening

HANDLE toHandle(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }
HDEVINFO toList(DeviceList list) { return reinterpret_cast<HDEVINFO>(list); }

OpenPort* recordOf(PortHandle handle) {
  const HANDLE h = toHandle(handle);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  for (OpenPort& p : openPorts) {
    if (p.file.load(std::memory_order_acquire) == h) return &p;
  }
  return nullptr;
}

// A one-shot timer whose wait ends on time rather than at the next tick of
// the system timer (15.6 ms by default, and on Windows 10 2004 and later not
// raised for this process by another process's timeBeginPeriod). Null where
// the system does not have such timers.
HANDLE createPreciseTimer() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const FARPROC found = GetProcAddress(kernel, "CreateWaitableTimerExW");
  // Through the generic function type, which any function pointer converts to.
  const auto create = reinterpret_cast<CreateTimerEx>(reinterpret_cast<void (*)()>(found));
  if (create == nullptr) return nullptr;
  return create(nullptr, nullptr, kHighResolutionTimer, TIMER_MODIFY_STATE | SYNCHRONIZE);
}

// Without a high-resolution timer, Sleep(1) lasts until the next system tick
// unless the resolution is raised; the port holds it at 1 ms while it is open.
void raiseResolution(OpenPort* port) {
  if (port->raisedResolution) return;
  port->raisedResolution = timeBeginPeriod(kFallbackPeriodMs) == TIMERR_NOERROR;
}

void setUpPauses(OpenPort* port) {
  port->timer = createPreciseTimer();
  port->raisedResolution = false;
  if (port->timer == nullptr) raiseResolution(port);
}

// One pause on a one-shot timer; false when the timer cannot be set or waited on.
bool waitOnTimer(HANDLE timer, std::uint32_t ms) {
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;  // relative, in 100 ns units
  return SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != 0 &&
         WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
}

// The port's own timer, until it fails: from then on the port pauses with Sleep
// under a raised resolution, which closing gives back.
void pauseOpenPort(OpenPort* port, std::uint32_t ms) {
  if (port->timer != nullptr) {
    if (waitOnTimer(port->timer, ms)) return;
    CloseHandle(port->timer);
    port->timer = nullptr;
    raiseResolution(port);
  }
  Sleep(ms);
}

// A pause without an open port's record: a timer of the call's own, else Sleep.
void pauseWithoutPort(std::uint32_t ms) {
  const HANDLE timer = createPreciseTimer();
  const bool done = timer != nullptr && waitOnTimer(timer, ms);
  if (timer != nullptr) CloseHandle(timer);
  if (!done) Sleep(ms);
}

// The performance counter in milliseconds, 64 bits wide: split so that no
// product overflows however long the system has been up.
std::uint64_t counterMs() {
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  const auto c = static_cast<std::uint64_t>(count.QuadPart);
  const auto f = static_cast<std::uint64_t>(frequency.QuadPart);
  if (f == 0) return 0;
  return c / f * 1000 + c % f * 1000 / f;
}

// The SP_DEVINFO_DATA that enumDevice keeps in the caller's record.
SP_DEVINFO_DATA* deviceData(DeviceInfo* info) {
  return reinterpret_cast<SP_DEVINFO_DATA*>(info->native);
}


// ---- named pipes ----

// The records a host writes into the simulator's pipe (the simulator reads the
// same format): kRecordData, a count of 1..255, that many line bytes; or
// kRecordSpeed and the host's new line speed, 4 bytes little-endian. The
// simulator writes the controller's bytes back as they are.
constexpr std::uint8_t kRecordData = 0x00;
constexpr std::uint8_t kRecordSpeed = 0x01;
constexpr std::size_t kRecordDataMax = 255;
// How long an opening waits for a pipe whose every instance is busy.
constexpr DWORD kPipeBusyWaitMs = 2000;

// An open pipe: its handle, the event of its overlapped I/O, and what a COM
// port would hold in its driver.
struct PipeLine {
  std::atomic<HANDLE> handle{nullptr};
  HANDLE event = nullptr;
  COMMTIMEOUTS timeouts{};
  LineSettings settings;
};
// One record per port number that can be open at once, and some to spare for
// a reopening that overlaps a close.
PipeLine pipeLines[264];

bool isPipePath(const char* path) {
  static constexpr char kPipePrefix[] = "\\\\.\\pipe\\";
  for (std::size_t i = 0; kPipePrefix[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(path[i])) != kPipePrefix[i]) return false;
  }
  return true;
}

// The record of an open pipe; null for every other handle (a COM port).
PipeLine* pipeOf(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  for (PipeLine& p : pipeLines) {
    if (p.handle.load(std::memory_order_acquire) == h) return &p;
  }
  return nullptr;
}

// Opens the pipe for overlapped I/O and claims a record for it. A pipe whose
// instances are all busy (the simulator between two clients) is waited for.
HANDLE openPipe(const char* path, DWORD flagsAndAttributes) {
  const DWORD flags = flagsAndAttributes | FILE_FLAG_OVERLAPPED;
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY &&
      WaitNamedPipeA(path, kPipeBusyWaitMs)) {
    h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return h;
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event != nullptr) {
    for (PipeLine& p : pipeLines) {
      HANDLE expected = nullptr;
      if (!p.handle.compare_exchange_strong(expected, INVALID_HANDLE_VALUE)) continue;
      p.event = event;
      std::memset(&p.timeouts, 0, sizeof p.timeouts);
      // What GetCommState reports before the first change: 115200 baud, 8N1.
      p.settings = LineSettings{};
      p.settings.baudRate = 115200;
      p.settings.byteSize = 8;
      p.handle.store(h, std::memory_order_release);
      return h;
    }
    CloseHandle(event);
  }
  CloseHandle(h);
  SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  return INVALID_HANDLE_VALUE;
}

void releasePipe(PipeLine* p) {
  CloseHandle(p->event);
  p->event = nullptr;
  p->handle.store(nullptr, std::memory_order_release);
}

// One overlapped read or write that ends when it completes or after
// `timeoutMs` (INFINITE: no limit). A time-out cancels the transfer and counts
// as success with what was moved, as a COM port's time-out does.
bool pipeTransfer(PipeLine* p, HANDLE h, bool write, void* data, DWORD length, DWORD timeoutMs,
                  DWORD* moved) {
  *moved = 0;
  OVERLAPPED ov;
  std::memset(&ov, 0, sizeof ov);
  ov.hEvent = p->event;
  ResetEvent(p->event);
  const BOOL started = write ? WriteFile(h, data, length, nullptr, &ov)
                             : ReadFile(h, data, length, nullptr, &ov);
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  if (!started && WaitForSingleObject(p->event, timeoutMs) != WAIT_OBJECT_0) CancelIo(h);
  DWORD n = 0;
  const BOOL done = GetOverlappedResult(h, &ov, &n, TRUE);
  *moved = n;
  return done != 0 || GetLastError() == ERROR_OPERATION_ABORTED;
}

// A COM port's read time-out for a read of one byte.
DWORD pipeReadTimeout(const COMMTIMEOUTS& t) {
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0)
    return 0;  // return at once with what is there
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD)
    return t.ReadTotalTimeoutConstant;
  const unsigned long long total =
      static_cast<unsigned long long>(t.ReadTotalTimeoutMultiplier) + t.ReadTotalTimeoutConstant;
  if (total == 0) return INFINITE;
  return total >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(total);
}

DWORD pipeWriteTimeout(const COMMTIMEOUTS& t, DWORD length) {
  const unsigned long long total =
      static_cast<unsigned long long>(t.WriteTotalTimeoutMultiplier) * length +
      t.WriteTotalTimeoutConstant;
  if (total == 0) return INFINITE;
  return total >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(total);
}

// Writes records as one transfer: all of them, or failure.
bool pipeWriteRecords(PipeLine* p, HANDLE h, std::uint8_t* records, DWORD length, DWORD lineBytes) {
  DWORD moved = 0;
  if (!pipeTransfer(p, h, true, records, length, pipeWriteTimeout(p->timeouts, lineBytes), &moved))
    return false;
  return moved == length;
}

bool pipeSetSpeed(PipeLine* p, HANDLE h, const LineSettings* settings) {
  std::uint8_t record[5] = {kRecordSpeed};
  for (int i = 0; i < 4; ++i) record[1 + i] = static_cast<std::uint8_t>(settings->baudRate >> (8 * i));
  if (!pipeWriteRecords(p, h, record, sizeof record, 0)) return false;
  const LineSettings kept = p->settings;
  p->settings = *settings;
  std::memcpy(p->settings.native, kept.native, sizeof kept.native);
  return true;
}

bool pipeWrite(PipeLine* p, HANDLE h, const std::uint8_t* data, std::uint32_t length) {
  std::uint8_t records[512];
  std::uint32_t done = 0;
  while (done < length) {
    // Up to two data records per transfer.
    DWORD used = 0;
    DWORD lineBytes = 0;
    for (int r = 0; r < 2 && done < length; ++r) {
      const std::uint32_t n =
          length - done < kRecordDataMax ? length - done : static_cast<std::uint32_t>(kRecordDataMax);
      records[used++] = kRecordData;
      records[used++] = static_cast<std::uint8_t>(n);
      std::memcpy(records + used, data + done, n);
      used += n;
      lineBytes += n;
      done += n;
    }
    if (!pipeWriteRecords(p, h, records, used, lineBytes)) return false;
  }
  return true;
}

// Bytes waiting in the pipe; false once the simulator has gone.
bool pipeWaiting(HANDLE h, DWORD* waiting) {
  *waiting = 0;
  return PeekNamedPipe(h, nullptr, 0, nullptr, waiting, nullptr) != 0;
}

// Discards what the simulator has sent and the host has not read.
bool pipePurge(PipeLine* p, HANDLE h) {
  std::uint8_t sink[256];
  DWORD waiting = 0;
  while (pipeWaiting(h, &waiting) && waiting > 0) {
    DWORD moved = 0;
    const DWORD n = waiting < sizeof sink ? waiting : static_cast<DWORD>(sizeof sink);
    if (!pipeTransfer(p, h, false, sink, n, 0, &moved) || moved == 0) return false;
  }
  return true;
}

bool pipeReadOne(PipeLine* p, HANDLE h, std::uint8_t* out, std::uint32_t* delivered) {
  DWORD moved = 0;
  if (!pipeTransfer(p, h, false, out, 1, pipeReadTimeout(p->timeouts), &moved)) return false;
  *delivered = moved;
  return true;
}

}  // namespace

PortHandle openDevice(const char* path, std::uint32_t flagsAndAttributes) {
  if (path == nullptr) return kInvalidHandle;
  HANDLE h = isPipePath(path)
                 ? openPipe(path, flagsAndAttributes)
                 : CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               flagsAndAttributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
  for (OpenPort& p : openPorts) {
    HANDLE unclaimed = nullptr;
    if (!p.file.compare_exchange_strong(unclaimed, INVALID_HANDLE_VALUE)) continue;
    setUpPauses(&p);
    p.file.store(h, std::memory_order_release);
    break;
  }
  // Every record taken (more handles than ports): the port pauses as a call
  // without one does.
  return reinterpret_cast<PortHandle>(h);
}

void closeDevice(PortHandle handle) {
  PipeLine* pipe = pipeOf(toHandle(handle));
  if (pipe != nullptr) releasePipe(pipe);
  OpenPort* p = recordOf(handle);
  if (p != nullptr) {
    if (p->timer != nullptr) CloseHandle(p->timer);
    if (p->raisedResolution) timeEndPeriod(kFallbackPeriodMs);
    p->timer = nullptr;
    p->raisedResolution = false;
    p->file.store(nullptr, std::memory_order_release);
  }
  CloseHandle(toHandle(handle));
}

bool getLineSettings(PortHandle handle, LineSettings* settings) {
  if (settings == nullptr) return false;
  if (PipeLine* pipe = pipeOf(toHandle(handle))) {
    *settings = pipe->settings;
    return true;
  }
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(toHandle(handle), &dcb)) return false;
  settings->baudRate = dcb.BaudRate;
  settings->byteSize = dcb.ByteSize;
  settings->parity = dcb.Parity;
  settings->stopBits = dcb.StopBits;
  settings->fNull = dcb.fNull != 0;
  std::memcpy(settings->native, &dcb, sizeof dcb);
  return true;
}

bool setLineSettings(PortHandle handle, const LineSettings* settings) {
  if (settings == nullptr) return false;
  if (PipeLine* pipe = pipeOf(toHandle(handle))) return pipeSetSpeed(pipe, toHandle(handle), settings);
  // Every field the library does not manage goes back as GetCommState gave it.
  DCB dcb;
  std::memcpy(&dcb, settings->native, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = settings->baudRate;
  dcb.ByteSize = settings->byteSize;
  dcb.Parity = settings->parity;
  dcb.StopBits = settings->stopBits;
  dcb.fNull = settings->fNull ? 1 : 0;
  return SetCommState(toHandle(handle), &dcb) != 0;
}

bool getTimeouts(PortHandle handle, CommTimeouts* timeouts) {
  if (timeouts == nullptr) return false;
  COMMTIMEOUTS t{};
  if (PipeLine* pipe = pipeOf(toHandle(handle))) {
    t = pipe->timeouts;
  } else if (!GetCommTimeouts(toHandle(handle), &t)) {
    return false;
  }
  timeouts->readIntervalTimeout = t.ReadIntervalTimeout;
  timeouts->readTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  timeouts->readTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  timeouts->writeTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  timeouts->writeTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  return true;
}

bool setTimeouts(PortHandle handle, const CommTimeouts* timeouts) {
  if (timeouts == nullptr) return false;
  COMMTIMEOUTS t;
  t.ReadIntervalTimeout = timeouts->readIntervalTimeout;
  t.ReadTotalTimeoutMultiplier = timeouts->readTotalTimeoutMultiplier;
  t.ReadTotalTimeoutConstant = timeouts->readTotalTimeoutConstant;
  t.WriteTotalTimeoutMultiplier = timeouts->writeTotalTimeoutMultiplier;
  t.WriteTotalTimeoutConstant = timeouts->writeTotalTimeoutConstant;
  if (PipeLine* pipe = pipeOf(toHandle(handle))) {
    pipe->timeouts = t;
    return true;
  }
  return SetCommTimeouts(toHandle(handle), &t) != 0;
}

bool purgeBuffers(PortHandle handle) {
  if (PipeLine* pipe = pipeOf(toHandle(handle))) return pipePurge(pipe, toHandle(handle));
  return PurgeComm(toHandle(handle), kPurgeBoth) != 0;
}

bool clearErrors(PortHandle handle, std::uint32_t* errors, std::uint32_t* waiting) {
  if (errors == nullptr || waiting == nullptr) return false;
  if (pipeOf(toHandle(handle)) != nullptr) {
    DWORD waitingBytes = 0;
    if (!pipeWaiting(toHandle(handle), &waitingBytes)) return false;
    *errors = 0;  // a pipe has no line errors
    *waiting = waitingBytes;
    return true;
  }
  DWORD e = 0;
  COMSTAT stat{};
  if (!ClearCommError(toHandle(handle), &e, &stat)) return false;
  *errors = e;
  *waiting = stat.cbInQue;
  return true;
}

bool readOneByte(PortHandle handle, std::uint8_t* out, std::uint32_t* delivered) {
  if (out == nullptr || delivered == nullptr) return false;
  if (PipeLine* pipe = pipeOf(toHandle(handle))) return pipeReadOne(pipe, toHandle(handle), out, delivered);
  DWORD got = 0;
  if (!ReadFile(toHandle(handle), out, 1, &got, nullptr)) return false;
  *delivered = got;
  return true;
}

bool writeBytes(PortHandle handle, const std::uint8_t* data, std::uint32_t length) {
  if (data == nullptr && length > 0) return false;
  if (PipeLine* pipe = pipeOf(toHandle(handle))) return pipeWrite(pipe, toHandle(handle), data, length);
  DWORD written = 0;
  return WriteFile(toHandle(handle), data, length, &written, nullptr) != 0;
}

void sleepMs(std::uint32_t ms) { pauseWithoutPort(ms); }

void pauseOnPort(PortHandle handle, std::uint32_t ms) {
  OpenPort* p = recordOf(handle);
  if (p != nullptr) {
    pauseOpenPort(p, ms);
  } else {
    pauseWithoutPort(ms);
  }
}

void pauseForInput(PortHandle handle, std::uint32_t ms) { pauseOnPort(handle, ms); }

// Milliseconds of the performance counter, which runs at a fixed rate from boot
// whatever happens to the system time (clock() of the C run-time follows it,
// and steps 15.6 ms at a time). Deadlines compare differences of readings,
// which hold across the 32-bit wrap.
std::int32_t clockMs() { return static_cast<std::int32_t>(static_cast<std::uint32_t>(counterMs())); }

DeviceList openDeviceList() {
  HDEVINFO list = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (list == INVALID_HANDLE_VALUE) return kInvalidDeviceList;
  return reinterpret_cast<DeviceList>(list);
}

bool enumDevice(DeviceList list, std::uint32_t index, DeviceInfo* info) {
  if (info == nullptr || list == kInvalidDeviceList) return false;
  SP_DEVINFO_DATA* data = deviceData(info);
  std::memset(data, 0, sizeof *data);
  data->cbSize = sizeof(SP_DEVINFO_DATA);
  if (!SetupDiEnumDeviceInfo(toList(list), index, data)) return false;
  info->index = index;
  return true;
}

bool getFriendlyName(DeviceList list, DeviceInfo* info, char* buffer, std::uint32_t size,
                     std::uint32_t* required) {
  if (info == nullptr || list == kInvalidDeviceList) return false;
  SP_DEVINFO_DATA* data = deviceData(info);
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return false;  // not filled by enumDevice
  DWORD need = 0;
  const BOOL ok = SetupDiGetDeviceRegistryPropertyA(toList(list), data, SPDRP_FRIENDLYNAME,
                                                    nullptr, reinterpret_cast<PBYTE>(buffer),
                                                    size, &need);
  if (required != nullptr) *required = need;
  return ok != 0;
}

void closeDeviceList(DeviceList list) { SetupDiDestroyDeviceInfoList(toList(list)); }

std::uint32_t lastError() { return GetLastError(); }

void* allocZeroed(std::uint32_t size) { return LocalAlloc(LMEM_ZEROINIT, size); }

void freeBuffer(void* buffer) {
  if (buffer != nullptr) LocalFree(buffer);
}

void formatDevicePath(int port, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return;
  const char* text = nullptr;
  char standard[24];
  if (port >= 1 && port <= 256 && overrides[port][0] != '\0') {
    text = overrides[port];
  } else {
    // "\\.\COM%d": the device namespace prefix lets ports above COM9 open.
    static constexpr char kPrefix[] = "\\\\.\\COM";
    std::size_t at = 0;
    for (std::size_t i = 0; kPrefix[i] != '\0'; ++i) standard[at++] = kPrefix[i];
    char digits[12];
    std::size_t n = 0;
    long long value = port;
    const bool negative = value < 0;
    if (negative) value = -value;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 && n < sizeof digits);
    if (negative) standard[at++] = '-';
    while (n > 0) standard[at++] = digits[--n];
    standard[at] = '\0';
    text = standard;
  }
  std::size_t i = 0;
  for (; text[i] != '\0' && i + 1 < size; ++i) out[i] = text[i];
  out[i] = '\0';
}

bool setPortDevice(int port, const char* path) {
  if (port < 1 || port > 256) return false;
  if (path == nullptr || path[0] == '\0') {
    overrides[port][0] = '\0';
    return true;
  }
  const std::size_t n = std::strlen(path);
  if (n >= kDevicePathSize) return false;
  std::memcpy(overrides[port], path, n + 1);
  return true;
}

}  // namespace pelvane
