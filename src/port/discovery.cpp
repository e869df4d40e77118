// Finding the COM numbers of USB-to-serial bridges by device friendly name, and
// choosing the port an open goes to.
#include <cstring>

#include "command/dispatcher.h"
#include "platform/platform.h"
#include "port/port_table.h"
#include "port/ports.h"

namespace pelvane {
namespace {

constexpr std::uint32_t kDeviceInfoSize = 28;  // 32-bit SP_DEVINFO_DATA
constexpr std::size_t kScratchSize = 128;
// A name the platform keeps growing between queries would otherwise loop for ever.
constexpr int kMaxNameQueries = 8;

constexpr const char* kBridgePrefixes[] = {
    "CP210x USB to UART Bridge Controller (COM",
    "Prolific USB-to-Serial Comm Port (COM",
};

// Position of needle in the first length bytes of name, or -1.
long findPrefix(const char* name, std::size_t length, const char* needle) {
  const std::size_t needleLength = std::strlen(needle);
  if (needleLength > length) return -1;
  for (std::size_t i = 0; i + needleLength <= length; ++i) {
    if (std::memcmp(name + i, needle, needleLength) == 0) return static_cast<long>(i);
  }
  return -1;
}

// atoi: leading blanks, an optional sign, digits up to the first non-digit.
// Saturates far above 256 instead of overflowing.
long parseNumber(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  long value = 0;
  while (*p >= '0' && *p <= '9') {
    if (value < 100000) value = value * 10 + (*p - '0');
    ++p;
  }
  return negative ? -value : value;
}

// The characters after the prefix, up to but not including the name's last
// character, name the COM number: "...(COM12)" gives 12.
void markBridgePort(const char* name, std::size_t length, const char* prefix,
                    std::int32_t presence[kPresenceSize]) {
  const long at = findPrefix(name, length, prefix);
  if (at < 0) return;
  char scratch[kScratchSize];
  std::memset(scratch, 0, sizeof scratch);
  const std::size_t start = static_cast<std::size_t>(at) + std::strlen(prefix);
  const std::size_t end = length - 1;  // length > 0: the prefix was found
  if (end > start) {
    std::size_t n = end - start;
    if (n > kScratchSize - 1) n = kScratchSize - 1;  // keep the terminator
    std::memcpy(scratch, name + start, n);
  }
  const long number = parseNumber(scratch);
  if (number >= 1 && number <= kPortCount) presence[number] = 1;
}

// Reads one device's friendly name into a zero-filled buffer twice the size the
// platform asks for, so the name is always terminated. Returns the buffer (free
// it with freeBuffer) and its size, or nullptr when the name cannot be read.
char* readFriendlyName(DeviceList list, DeviceInfo* info, std::uint32_t* bufferSize) {
  std::uint32_t required = 0;
  if (getFriendlyName(list, info, nullptr, 0, &required)) return nullptr;
  char* buffer = nullptr;
  bool read = false;
  for (int query = 0; query < kMaxNameQueries && lastError() == kErrorInsufficientBuffer;
       ++query) {
    if (buffer != nullptr) freeBuffer(buffer);
    buffer = nullptr;
    if (required == 0 || required > 0x7FFFFFFFu) break;
    *bufferSize = required * 2;
    buffer = static_cast<char*>(allocZeroed(*bufferSize));
    if (buffer == nullptr) break;
    if (getFriendlyName(list, info, buffer, required, &required)) {
      read = true;
      break;
    }
  }
  if (!read) {
    if (buffer != nullptr) freeBuffer(buffer);
    return nullptr;
  }
  return buffer;
}

}  // namespace

int discoverPorts(std::int32_t presence[kPresenceSize]) {
  const DeviceList list = openDeviceList();
  if (list != kInvalidDeviceList) {
    for (std::uint32_t index = 0;; ++index) {
      DeviceInfo info;
      info.cbSize = kDeviceInfoSize;
      if (!enumDevice(list, index, &info)) break;
      std::uint32_t bufferSize = 0;
      char* name = readFriendlyName(list, &info, &bufferSize);
      if (name == nullptr) continue;
      const void* terminator = std::memchr(name, 0, bufferSize);
      const std::size_t length = terminator != nullptr
                                     ? static_cast<std::size_t>(static_cast<const char*>(terminator) - name)
                                     : bufferSize;
      for (const char* prefix : kBridgePrefixes) markBridgePort(name, length, prefix, presence);
      freeBuffer(name);
    }
  }
  closeDeviceList(list);
  return 0;
}

std::int16_t selectPort(std::int16_t port, std::int32_t* openedPort) {
  std::int32_t presence[kPresenceSize];
  std::memset(presence, 0, sizeof presence);
  discoverPorts(presence);

  if (port != -1) {
    if (static_cast<std::uint16_t>(port - 1) > 255) return 2;
    return static_cast<std::int16_t>(openPort(port, openedPort));
  }

  // Scan: 0 opened, 1 every free discovered port failed, -1 none to try.
  std::int16_t result = -1;
  for (int n = 1; n <= kPortCount; ++n) {
    // A slot another thread holds is not free; one claimed between this test
    // and the opening fails there and counts as a failed port.
    if (presence[n] != 1 || slotOpen(n)) continue;
    const int code = openPort(n, openedPort);
    if (code == 0) return 0;
    result = static_cast<std::int16_t>(code);
  }
  if (result == -1) {
    emitTrace("open: scan: no free port named \"CP210x USB to UART Bridge Controller (COMn)\" or "
              "\"Prolific USB-to-Serial Comm Port (COMn)\": is the reader plugged in? A bridge named "
              "otherwise is opened by its port number\n");
  }
  return result;
}

}  // namespace pelvane
