// The library's load and unload. Windows calls DllMain; on Linux a constructor
// and a destructor run the same attach and detach when the library is loaded
// and unloaded.
#include <cstdint>

#include "api/lookup.h"
#include "port/port_table.h"

namespace pelvane {

int libraryEntry(std::uint32_t reason) {
  switch (reason) {
    case kProcessAttach:
      // Only the first attach sets the table up: ports opened since stay open.
      if (loadCount == 0) setUpPortTable();
      ++loadCount;
      break;
    case kProcessDetach:
      // Unloading closes nothing; open ports stay open until the process ends.
      --loadCount;
      break;
    default:
      break;
  }
  return 1;
}

}  // namespace pelvane

#if defined(_WIN32)
// The loader's entry point, exported as _DllMain@12 as well by the 32-bit DLL (pelvane.def).
// The types stand for HINSTANCE, DWORD and LPVOID, so no Windows header is needed.
extern "C" int __stdcall DllMain(void* module, unsigned long reason, void* reserved) {
  (void)module;
  (void)reserved;
  return pelvane::libraryEntry(static_cast<std::uint32_t>(reason));
}
#else
namespace {
__attribute__((constructor)) void attachOnLoad() { pelvane::libraryEntry(pelvane::kProcessAttach); }
__attribute__((destructor)) void detachOnUnload() { pelvane::libraryEntry(pelvane::kProcessDetach); }
}  // namespace
#endif
