// The USB-to-serial bridge ports present, by the friendly names the system
// gives them, found the way a host application finds them. The library opens
// ports by number; this list is only for showing them.
#pragma once

#include <string>
#include <vector>

namespace pelvtool {

struct BridgePort {
  int number = 0;            // COM number
  std::string friendlyName;  // "CP210x USB to UART Bridge Controller (COM3)"
  std::string device;        // \\.\COM3, /dev/ttyUSB2
};

// CP210x and PL2303 bridges only, in ascending port order.
std::vector<BridgePort> listBridgePorts();

// The COM number in a friendly name with a known bridge prefix, or 0.
int bridgePortNumber(const std::string& friendlyName);

}  // namespace pelvtool
