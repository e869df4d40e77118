# Cross-building the 32-bit Windows library, programs and tests with clang and
# lld for MinGW-w64 (i686), with PDBs. Exceptions unwind by DWARF tables, as
# the i686 libstdc++ and libgcc it links expect.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PELVANE_MINGW_TRIPLE i686-w64-mingw32)
set(PELVANE_MINGW_PACKAGE_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw.cmake)
