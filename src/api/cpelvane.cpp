// The exported empty class. Nothing in the library uses it.
#include "pelvane.h"

CPelvane::CPelvane() = default;

CPelvane& CPelvane::operator=(const CPelvane&) { return *this; }

CPelvane& CPelvane::operator=(CPelvane&&) { return *this; }

#if defined(_WIN32)
// The constructor as MSVC-built callers expect it: MSVC constructors return the
// object in EAX/RAX, GCC's do not, so the MSVC-decorated constructor export
// (pelvane.def) points here. The assignment operators agree in both ABIs.
#if defined(__i386__)
extern "C" __attribute__((thiscall)) CPelvane* pelvaneMsvcConstruct(CPelvane* self) {
  return self;
}
#else
extern "C" CPelvane* pelvaneMsvcConstruct(CPelvane* self) { return self; }
#endif
#endif
