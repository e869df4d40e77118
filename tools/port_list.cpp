#include "port_list.h"

#include <algorithm>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#include <setupapi.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

namespace pelvtool {

int bridgePortNumber(const std::string& name) {
  static const char* const kPrefixes[] = {
      "CP210x USB to UART Bridge Controller (COM",
      "Prolific USB-to-Serial Comm Port (COM",
  };
  for (const char* prefix : kPrefixes) {
    const std::size_t at = name.find(prefix);
    if (at == std::string::npos) continue;
    std::size_t i = at + std::string(prefix).size();
    int n = 0;
    std::size_t digits = 0;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9' && digits < 4) {
      n = n * 10 + (name[i++] - '0');
      ++digits;
    }
    if (digits > 0 && i < name.size() && name[i] == ')' && n >= 1 && n <= 256) return n;
  }
  return 0;
}

#if defined(_WIN32)

std::vector<BridgePort> listBridgePorts() {
  std::vector<BridgePort> ports;
  HDEVINFO list = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (list == INVALID_HANDLE_VALUE) return ports;
  SP_DEVINFO_DATA info;
  info.cbSize = sizeof info;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(list, index, &info); ++index) {
    char name[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(list, &info, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<PBYTE>(name), sizeof name - 1, nullptr)) {
      continue;
    }
    const int n = bridgePortNumber(name);
    if (n == 0) continue;
    ports.push_back({n, name, "\\\\.\\COM" + std::to_string(n)});
  }
  SetupDiDestroyDeviceInfoList(list);
  std::sort(ports.begin(), ports.end(), [](const BridgePort& a, const BridgePort& b) { return a.number < b.number; });
  return ports;
}

#else

// /dev/ttyUSB<k> bound to the cp210x or pl2303 driver is COM<k+1>, named as
// the Windows driver would name it.
std::vector<BridgePort> listBridgePorts() {
  std::vector<BridgePort> ports;
  DIR* dir = opendir("/sys/class/tty");
  if (dir == nullptr) return ports;
  while (const dirent* e = readdir(dir)) {
    const std::string entry = e->d_name;
    if (entry.compare(0, 6, "ttyUSB") != 0 || entry.size() == 6 || entry.size() > 9) continue;
    if (entry.find_first_not_of("0123456789", 6) != std::string::npos) continue;
    const int k = std::atoi(entry.c_str() + 6);
    if (k > 255) continue;
    char target[256] = {};
    const std::string link = "/sys/class/tty/" + entry + "/device/driver";
    const ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
    if (len <= 0) continue;
    const std::string driver = std::string(target, static_cast<std::size_t>(len));
    const std::string base = driver.substr(driver.find_last_of('/') + 1);
    std::string prefix;
    if (base == "cp210x") prefix = "CP210x USB to UART Bridge Controller";
    if (base == "pl2303") prefix = "Prolific USB-to-Serial Comm Port";
    if (prefix.empty()) continue;
    ports.push_back({k + 1, prefix + " (COM" + std::to_string(k + 1) + ")", "/dev/" + entry});
  }
  closedir(dir);
  std::sort(ports.begin(), ports.end(), [](const BridgePort& a, const BridgePort& b) { return a.number < b.number; });
  return ports;
}

#endif

}  // namespace pelvtool
