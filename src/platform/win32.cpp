// The platform over the Windows API: serial ports through the communications
// functions, the device list through the SetupDi calls, the clock from the C
// run-time. Each function is the one Windows call platform.h names.
#include <windows.h>

#include <setupapi.h>

#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace pelvane {

namespace {

static_assert(sizeof(DCB) <= sizeof(LineSettings::native), "DCB does not fit LineSettings");
static_assert(sizeof(HANDLE) <= sizeof(PortHandle), "HANDLE does not fit PortHandle");

constexpr DWORD kPurgeBoth = PURGE_TXCLEAR | PURGE_RXCLEAR;  // 0x0C

// Device paths set with setPortDevice, by port number; empty: "\\.\COMn".
constexpr std::size_t kPathRoom = MAX_PATH;
char overrides[257][kPathRoom];

HANDLE toHandle(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }
HDEVINFO toList(DeviceList list) { return reinterpret_cast<HDEVINFO>(list); }

// The device record of the last enumerated index, so that reading its name
// needs no second walk of the list.
struct EnumeratedDevice {
  DeviceList list = kInvalidDeviceList;
  std::uint32_t index = 0;
  SP_DEVINFO_DATA data{};
};
EnumeratedDevice lastDevice;

bool deviceData(DeviceList list, std::uint32_t index, SP_DEVINFO_DATA* data) {
  if (lastDevice.list == list && lastDevice.index == index) {
    *data = lastDevice.data;
    return true;
  }
  SP_DEVINFO_DATA d{};
  d.cbSize = sizeof(SP_DEVINFO_DATA);
  if (!SetupDiEnumDeviceInfo(toList(list), index, &d)) return false;
  lastDevice.list = list;
  lastDevice.index = index;
  lastDevice.data = d;
  *data = d;
  return true;
}

}  // namespace

PortHandle openDevice(const char* path, std::uint32_t flagsAndAttributes) {
  if (path == nullptr) return kInvalidHandle;
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         flagsAndAttributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
  return reinterpret_cast<PortHandle>(h);
}

void closeDevice(PortHandle handle) { CloseHandle(toHandle(handle)); }

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

void sleepMs(std::uint32_t ms) { Sleep(ms); }

void pauseForInput(PortHandle handle, std::uint32_t ms) {
  (void)handle;
  Sleep(ms);
}

// The C run-time clock; its unit is 1 ms (CLOCKS_PER_SEC is 1000 here).
std::int32_t clockMs() {
  static_assert(CLOCKS_PER_SEC == 1000, "clock() must count milliseconds");
  return static_cast<std::int32_t>(clock());
}

DeviceList openDeviceList() {
  HDEVINFO list = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  lastDevice = EnumeratedDevice{};
  if (list == INVALID_HANDLE_VALUE) return kInvalidDeviceList;
  return reinterpret_cast<DeviceList>(list);
}

bool enumDevice(DeviceList list, std::uint32_t index, DeviceInfo* info) {
  if (info == nullptr || list == kInvalidDeviceList) return false;
  SP_DEVINFO_DATA data;
  if (!deviceData(list, index, &data)) return false;
  info->index = index;
  return true;
}

bool getFriendlyName(DeviceList list, DeviceInfo* info, char* buffer, std::uint32_t size,
                     std::uint32_t* required) {
  if (info == nullptr || list == kInvalidDeviceList) return false;
  SP_DEVINFO_DATA data;
  if (!deviceData(list, info->index, &data)) return false;
  DWORD need = 0;
  const BOOL ok = SetupDiGetDeviceRegistryPropertyA(toList(list), &data, SPDRP_FRIENDLYNAME,
                                                    nullptr, reinterpret_cast<PBYTE>(buffer),
                                                    size, &need);
  if (required != nullptr) *required = need;
  return ok != 0;
}

void closeDeviceList(DeviceList list) {
  lastDevice = EnumeratedDevice{};
  SetupDiDestroyDeviceInfoList(toList(list));
}

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
  if (n >= kPathRoom) return false;
  std::memcpy(overrides[port], path, n + 1);
  return true;
}

}  // namespace pelvane
