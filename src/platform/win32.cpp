// The platform over the Windows API: serial ports through the communications
// functions, the device list through the SetupDi calls, the clock from the C
// run-time, pauses on a high-resolution waitable timer. Each function is the one
// Windows call platform.h names. Nothing here is shared by calls on different
// ports except the device-path table and the count of ports that hold a raised
// timer resolution.
#include <windows.h>

#include <mmsystem.h>
#include <setupapi.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace pelvane {

namespace {

static_assert(sizeof(DCB) <= sizeof(LineSettings::native), "DCB does not fit LineSettings");
static_assert(sizeof(SP_DEVINFO_DATA) <= sizeof(DeviceInfo::native),
              "SP_DEVINFO_DATA does not fit DeviceInfo");
static_assert(sizeof(HANDLE) <= sizeof(PortHandle), "HANDLE does not fit PortHandle");
static_assert(kDevicePathSize == MAX_PATH, "device paths are bounded by MAX_PATH");

constexpr DWORD kPurgeBoth = PURGE_TXCLEAR | PURGE_RXCLEAR;  // 0x0C

// Windows 10 version 1803 and later; older systems refuse the flag with
// ERROR_INVALID_PARAMETER. The headers of older SDKs do not name it.
constexpr DWORD kHighResolutionTimer = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
constexpr UINT kFallbackPeriodMs = 1;

// Device paths set with setPortDevice, by port number; empty: "\\.\COMn".
char overrides[257][kDevicePathSize];

// Open ports that took timeBeginPeriod because this system has no
// high-resolution timer; each close gives one back.
std::atomic<int> periodHolders{0};

HANDLE toHandle(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }
HDEVINFO toList(DeviceList list) { return reinterpret_cast<HDEVINFO>(list); }

// A one-shot timer whose wait ends on time rather than at the next tick of
// the system timer (15.6 ms by default, and on Windows 10 2004 and later not
// raised for this process by another process's timeBeginPeriod). Null where
// the system does not have such timers.
HANDLE createPreciseTimer() {
  return CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer,
                                TIMER_MODIFY_STATE | SYNCHRONIZE);
}

bool preciseTimerAvailable() {
  const HANDLE timer = createPreciseTimer();
  if (timer == nullptr) return false;
  CloseHandle(timer);
  return true;
}

// Pauses on a timer of the call's own. Without one, Sleep: on systems that
// have no high-resolution timers the open ports' timeBeginPeriod keeps it near 1 ms.
void pause(std::uint32_t ms) {
  const HANDLE timer = createPreciseTimer();
  if (timer != nullptr) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;  // relative, in 100 ns units
    const bool set = SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != 0;
    if (set) WaitForSingleObject(timer, INFINITE);
    CloseHandle(timer);
    if (set) return;
  }
  Sleep(ms);
}

// The SP_DEVINFO_DATA that enumDevice keeps in the caller's record.
SP_DEVINFO_DATA* deviceData(DeviceInfo* info) {
  return reinterpret_cast<SP_DEVINFO_DATA*>(info->native);
}

}  // namespace

PortHandle openDevice(const char* path, std::uint32_t flagsAndAttributes) {
  if (path == nullptr) return kInvalidHandle;
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         flagsAndAttributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
  // Without a high-resolution timer, Sleep(1) lasts until the next system tick
  // unless the resolution is raised; hold it at 1 ms while the port is open.
  if (!preciseTimerAvailable()) {
    timeBeginPeriod(kFallbackPeriodMs);
    periodHolders.fetch_add(1);
  }
  return reinterpret_cast<PortHandle>(h);
}

void closeDevice(PortHandle handle) {
  if (!CloseHandle(toHandle(handle))) return;
  int holders = periodHolders.load();
  while (holders > 0 && !periodHolders.compare_exchange_weak(holders, holders - 1)) {
  }
  if (holders > 0) timeEndPeriod(kFallbackPeriodMs);
}

bool getLineSettings(PortHandle handle, LineSettings* settings) {
  if (settings == nullptr) return false;
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
  if (!GetCommTimeouts(toHandle(handle), &t)) return false;
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
  return SetCommTimeouts(toHandle(handle), &t) != 0;
}

bool purgeBuffers(PortHandle handle) { return PurgeComm(toHandle(handle), kPurgeBoth) != 0; }

bool clearErrors(PortHandle handle, std::uint32_t* errors, std::uint32_t* waiting) {
  if (errors == nullptr || waiting == nullptr) return false;
  DWORD e = 0;
  COMSTAT stat{};
  if (!ClearCommError(toHandle(handle), &e, &stat)) return false;
  *errors = e;
  *waiting = stat.cbInQue;
  return true;
}

bool readOneByte(PortHandle handle, std::uint8_t* out, std::uint32_t* delivered) {
  if (out == nullptr || delivered == nullptr) return false;
  DWORD got = 0;
  if (!ReadFile(toHandle(handle), out, 1, &got, nullptr)) return false;
  *delivered = got;
  return true;
}

bool writeBytes(PortHandle handle, const std::uint8_t* data, std::uint32_t length) {
  if (data == nullptr && length > 0) return false;
  DWORD written = 0;
  return WriteFile(toHandle(handle), data, length, &written, nullptr) != 0;
}

void sleepMs(std::uint32_t ms) { pause(ms); }

void pauseForInput(PortHandle handle, std::uint32_t ms) {
  (void)handle;
  pause(ms);
}

// The C run-time clock; its unit is 1 ms (CLOCKS_PER_SEC is 1000 here).
std::int32_t clockMs() {
  static_assert(CLOCKS_PER_SEC == 1000, "clock() must count milliseconds");
  return static_cast<std::int32_t>(clock());
}

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
