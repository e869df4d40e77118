# Cross-building the 64-bit Windows library, programs and tests with clang and
# lld for MinGW-w64 (x86_64), with PDBs.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PELVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(PELVANE_MINGW_PACKAGE_ARCH x86-64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw.cmake)
