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
  bool scanned = true;       // a scan (RF_OPEN with port -1) tries it
};

// CP210x and PL2303 bridges only, in ascending port order.
std::vector<BridgePort> listBridgePorts();

// Every serial port a port number reaches, in ascending port order, with
// `scanned` telling the bridges a scan tries: on Windows each device whose
// friendly name ends in "(COMn)", on Linux each /dev/ttyUSB<n-1> (named after
// its kernel driver unless it is a CP210x or PL2303 bridge).
std::vector<BridgePort> listSerialPorts();

// The COM number in a friendly name with a known bridge prefix, or 0.
int bridgePortNumber(const std::string& friendlyName);

// n of a friendly name that ends in "(COMn)" with n 1 to 256, or 0.
int comPortNumber(const std::string& friendlyName);

}  // namespace pelvtool
