// One port opened straight into its slot, on whichever platform the test runs
// (the simulated one or real pseudo-terminals). Header only, free of GoogleTest.
//   pathOf(port)     the device path opening uses for port (formatDevicePath)
//   openIntoSlot(port, path, baud, tenths)
//                    opens path into port's slot as opening leaves it (8N1 at
//                    baud, time-outs 1000/0/1000/0/1000, ReaderMode 3, deadline 0),
//                    without the bring-up exchanges; false when the device does
//                    not open or refuses its settings
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "port/port_table.h"

namespace pelvtest {

inline std::string pathOf(int port) {
  char path[64];
  pelvane::formatDevicePath(port, path, sizeof path);
  return path;
}

inline bool openIntoSlot(int port, const std::string& path, std::uint32_t baud, double tenths) {
  const pelvane::PortHandle h = pelvane::openDevice(path.c_str(), pelvane::kOpenAttributesNone);
  if (h == pelvane::kInvalidHandle) return false;
  const pelvane::CommTimeouts t{1000, 0, 1000, 0, 1000};
  pelvane::LineSettings line;
  if (!pelvane::setTimeouts(h, &t) || !pelvane::getLineSettings(h, &line)) {
    pelvane::closeDevice(h);
    return false;
  }
  line.baudRate = baud;
  line.byteSize = 8;
  line.parity = 0;
  line.stopBits = 0;
  line.fNull = false;
  if (!pelvane::setLineSettings(h, &line)) {
    pelvane::closeDevice(h);
    return false;
  }
  pelvane::PortSlot& s = pelvane::slot(port);
  s.handle = h;
  s.portNumber = port;
  s.lineSettings = line;
  s.readerMode = pelvane::kModeMifare;
  s.timeoutTenths = tenths;
  s.deadline = 0;
  return true;
}

}  // namespace pelvtest
