/* Reads the version resource of a DLL with GetFileVersionInfoA, as Explorer and
 * installers do, and prints its numbers and strings. */
#include <windows.h>

#include <stdio.h>

static const char* text(const void* info, const char* name) {
  char path[96];
  void* value = NULL;
  UINT size = 0;
  snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", name);
  return VerQueryValueA(info, path, &value, &size) && size > 0 ? (const char*)value : "(none)";
}

int main(int argc, char** argv) {
  static char info[8192];
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT size = 0;
  if (argc < 2 || GetFileVersionInfoSizeA(argv[1], NULL) == 0 ||
      !GetFileVersionInfoA(argv[1], 0, sizeof info, info) ||
      !VerQueryValueA(info, "\\", (void**)&fixed, &size)) {
    printf("no version resource (error %lu)\n", GetLastError());
    return 1;
  }
  printf("fixed %lu.%lu.%lu.%lu %lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16,
         fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF,
         fixed->dwProductVersionMS >> 16, fixed->dwProductVersionMS & 0xFFFF,
         fixed->dwProductVersionLS >> 16, fixed->dwProductVersionLS & 0xFFFF);
  const char* names[] = {"FileVersion", "ProductVersion", "ProductName", "CompanyName", "FileDescription"};
  for (unsigned i = 0; i < sizeof names / sizeof names[0]; ++i) printf("%s=%s\n", names[i], text(info, names[i]));
  return 0;
}
