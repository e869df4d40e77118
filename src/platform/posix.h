// Settings of the POSIX platform that only tests change.
#pragma once

namespace pelvane::posixport {

// The folder device enumeration lists (default "/sys/class/tty"); a test points
// it at a tree of its own with ttyUSB<n>/device/driver links. Null or empty
// restores the default. False when the path does not fit.
bool setTtyClassFolder(const char* path);

}  // namespace pelvane::posixport
