// The operating-system operations the library core needs, and nothing else.
// Each keeps the inputs and results of the Windows call it stands for, so the
// port, link, command and card code reads the same on every system. Exactly one
// implementation is linked: win32.cpp, posix.cpp or simulated.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelvane {

// An open serial port. -1 (INVALID_HANDLE_VALUE) means none.
using PortHandle = std::intptr_t;
constexpr PortHandle kInvalidHandle = -1;

// The room for a device path, terminator included: MAX_PATH, the longest path
// CreateFileA opens. setPortDevice refuses longer paths on every platform, and
// opening formats the path into a buffer of exactly this size.
constexpr std::size_t kDevicePathSize = 260;

// CreateFileA flags-and-attributes values used when opening a port.
constexpr std::uint32_t kOpenAttributesNone = 0x00;
constexpr std::uint32_t kOpenAttributesNormal = 0x80;  // FILE_ATTRIBUTE_NORMAL

// The DCB fields the library touches. `native` carries the platform's own record
// (the whole DCB on Windows) so that fields not listed survive a get/set pair.
struct LineSettings {
  std::uint32_t baudRate = 0;
  std::uint8_t byteSize = 0;
  std::uint8_t parity = 0;    // 0 = none
  std::uint8_t stopBits = 0;  // 0 = one stop bit
  bool fNull = false;         // true: received 0x00 bytes are discarded
  alignas(8) std::uint8_t native[32] = {};
};

// COMMTIMEOUTS, in milliseconds.
struct CommTimeouts {
  std::uint32_t readIntervalTimeout = 0;
  std::uint32_t readTotalTimeoutMultiplier = 0;
  std::uint32_t readTotalTimeoutConstant = 0;
  std::uint32_t writeTotalTimeoutMultiplier = 0;
  std::uint32_t writeTotalTimeoutConstant = 0;
};

// CreateFileA(path, GENERIC_READ | GENERIC_WRITE, no sharing, OPEN_EXISTING,
// flagsAndAttributes). Returns kInvalidHandle when the device cannot be opened.
PortHandle openDevice(const char* path, std::uint32_t flagsAndAttributes);
// CloseHandle; the result is of no interest to any caller.
void closeDevice(PortHandle handle);
// GetCommState / SetCommState.
bool getLineSettings(PortHandle handle, LineSettings* settings);
bool setLineSettings(PortHandle handle, const LineSettings* settings);
// GetCommTimeouts / SetCommTimeouts.
bool getTimeouts(PortHandle handle, CommTimeouts* timeouts);
bool setTimeouts(PortHandle handle, const CommTimeouts* timeouts);
// PurgeComm(PURGE_TXCLEAR | PURGE_RXCLEAR).
bool purgeBuffers(PortHandle handle);
// ClearCommError: the line-error word and cbInQue, the bytes waiting.
bool clearErrors(PortHandle handle, std::uint32_t* errors, std::uint32_t* waiting);
// ReadFile of one byte. `delivered` is 1 when a byte was stored, 0 when the
// read returned without one (the port's read time-out expired).
bool readOneByte(PortHandle handle, std::uint8_t* out, std::uint32_t* delivered);
// WriteFile of a whole buffer; success means every byte was taken.
bool writeBytes(PortHandle handle, const std::uint8_t* data, std::uint32_t length);

// A pause of `ms` milliseconds that lasts that long, not until the next tick of
// a coarse system timer.
void sleepMs(std::uint32_t ms);
// The same pause for a call on an open port: on Windows it waits on the timer
// the port got when it opened instead of making one; any other handle pauses
// as sleepMs does.
void pauseOnPort(PortHandle handle, std::uint32_t ms);
// The byte reader's 1 ms pause between polls of the input queue, which ends
// early when input arrives and otherwise lasts `ms`. POSIX waits on the
// descriptor. Windows cuts it on a COM port into slices on the port's
// high-resolution timer with a ClearCommError after each (a line error reported
// there comes with the next clearErrors), and on a pipe waits on a read of one
// byte, which the next readOneByte returns; a port without such a timer pauses as
// pauseOnPort does.
void pauseForInput(PortHandle handle, std::uint32_t ms);
// The deadline clock in milliseconds: monotonic, whatever the system time does,
// and wrapping through the whole 32-bit range (every ~49.7 days), so readings
// are compared only by their difference.
std::int32_t clockMs();

// Device enumeration, as the SetupDi calls behave (ANSI forms).
using DeviceList = std::intptr_t;
constexpr DeviceList kInvalidDeviceList = -1;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
// One enumerated device. enumDevice fills `native` with what getFriendlyName
// needs (the SP_DEVINFO_DATA on Windows), so the platform keeps nothing between
// the two calls and calls for different ports share no record.
struct DeviceInfo {
  std::uint32_t cbSize = 0;  // 28, the 32-bit SP_DEVINFO_DATA size
  std::uint32_t index = 0;
  alignas(8) std::uint8_t native[32] = {};
};
// SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES).
// Each call gets a list of its own, released by closeDeviceList.
DeviceList openDeviceList();
// SetupDiEnumDeviceInfo: false when there is no device at this index.
bool enumDevice(DeviceList list, std::uint32_t index, DeviceInfo* info);
// SetupDiGetDeviceRegistryPropertyA(SPDRP_FRIENDLYNAME). `required` receives the
// size the name needs, terminator included; failure sets lastError().
bool getFriendlyName(DeviceList list, DeviceInfo* info, char* buffer, std::uint32_t size,
                     std::uint32_t* required);
// SetupDiDestroyDeviceInfoList; accepts the invalid list too.
void closeDeviceList(DeviceList list);
// GetLastError.
std::uint32_t lastError();

// What the last failed call of this thread means, for the trace lines of a failed
// opening. Writes a few words for the code lastError() gives ("access denied"; on
// POSIX the strerror text) and tells what the failure usually means on a serial port.
enum class ErrorCause { Other, NotFound, InUse, Denied };
ErrorCause describeLastError(std::uint32_t* code, char* text, std::size_t size);
// The calls an opening reports by name, as this platform calls them.
enum class PortCall { Open, GetTimeouts, SetTimeouts, GetLineSettings, SetLineSettings };
const char* portCallName(PortCall call);
// LocalAlloc(LMEM_ZEROINIT, size) and LocalFree.
void* allocZeroed(std::uint32_t size);
void freeBuffer(void* buffer);

// The device path of a COM port number: "\\.\COM%d" on Windows; on POSIX the
// path set with setPortDevice, else /dev/ttyUSB(n-1). Writes at most `size` bytes;
// a buffer of kDevicePathSize holds every path.
void formatDevicePath(int port, char* out, std::size_t size);
// Points a port number at another device path (a pseudo-terminal, a symlink);
// an empty or null path restores the default. Returns false for a port outside 1..256
// or a path of kDevicePathSize characters or more.
bool setPortDevice(int port, const char* path);

}  // namespace pelvane
