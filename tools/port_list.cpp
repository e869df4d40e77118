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

int comPortNumber(const std::string& name) {
  const std::size_t open = name.rfind("(COM");
  if (open == std::string::npos || name.empty() || name.back() != ')') return 0;
  const std::string digits = name.substr(open + 4, name.size() - open - 5);
  if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  const int n = std::atoi(digits.c_str());
  return n >= 1 && n <= 256 ? n : 0;
}

std::vector<BridgePort> listBridgePorts() {
  std::vector<BridgePort> ports = listSerialPorts();
  ports.erase(std::remove_if(ports.begin(), ports.end(), [](const BridgePort& p) { return !p.scanned; }),
              ports.end());
  return ports;
}

namespace {
void sortByNumber(std::vector<BridgePort>* ports) {
  std::sort(ports->begin(), ports->end(), [](const BridgePort& a, const BridgePort& b) { return a.number < b.number; });
}
}  // namespace

#if defined(_WIN32)

std::vector<BridgePort> listSerialPorts() {
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
    const int bridge = bridgePortNumber(name);
    const int n = bridge != 0 ? bridge : comPortNumber(name);
    if (n == 0) continue;
    ports.push_back({n, name, "\\\\.\\COM" + std::to_string(n), bridge != 0});
  }
  SetupDiDestroyDeviceInfoList(list);
  sortByNumber(&ports);
  return ports;
}

#else

// /dev/ttyUSB<k> is port k+1; bound to the cp210x or pl2303 driver it is named
// as the Windows driver would name it, and a scan tries it.
std::vector<BridgePort> listSerialPorts() {
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
    const bool bridge = !prefix.empty();
    const std::string name = bridge ? prefix + " (COM" + std::to_string(k + 1) + ")" : entry + " (driver " + base + ")";
    ports.push_back({k + 1, name, "/dev/" + entry, bridge});
  }
  closedir(dir);
  sortByNumber(&ports);
  return ports;
}

#endif

}  // namespace pelvtool
