# Cross-building the Windows binaries with clang and lld for the MinGW-w64 ABI
# (included by clang-mingw-i686.cmake and clang-mingw-x86_64.cmake, which name
# the triple). The objects carry CodeView debug information and lld writes a PDB
# beside each DLL and EXE (CMakeLists.txt names them), which Windows debuggers
# read. The C and C++ run-times are MinGW-w64's and GCC's libstdc++ of the posix
# thread model, as MinGW-w64's own GCC links them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${PELVANE_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${PELVANE_MINGW_TRIPLE})
# The MinGW-w64 headers and libraries; with the sysroot named, clang searches
# neither the host's /usr/include nor its libraries.
set(CMAKE_SYSROOT /usr/${PELVANE_MINGW_TRIPLE})
# binutils of the MinGW cross compilers: the resource compiler and dlltool make
# COFF objects and import libraries that lld links.
set(CMAKE_RC_COMPILER ${PELVANE_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${PELVANE_MINGW_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP ${PELVANE_MINGW_TRIPLE}-objdump)

# GCC's run-time folder (/usr/lib/gcc/<triple>/<version>-posix): libstdc++'s
# headers and libraries. Clang does not find it on its own, since it reads no
# version from a folder named "12-posix"; the newest one is taken. The posix
# thread model: GoogleTest needs std::mutex, which the win32 model lacks.
file(GLOB PELVANE_MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${PELVANE_MINGW_TRIPLE}/*-posix)
list(SORT PELVANE_MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET PELVANE_MINGW_GCC_DIRS 0 PELVANE_MINGW_GCC_DIR)
if(NOT IS_DIRECTORY "${PELVANE_MINGW_GCC_DIR}/include/c++")
  message(FATAL_ERROR "No libstdc++ of the posix thread model in /usr/lib/gcc/${PELVANE_MINGW_TRIPLE} "
                      "(apt-get install g++-mingw-w64-${PELVANE_MINGW_PACKAGE_ARCH})")
endif()
set(CMAKE_CXX_FLAGS_INIT "-isystem ${PELVANE_MINGW_GCC_DIR}/include/c++ \
-isystem ${PELVANE_MINGW_GCC_DIR}/include/c++/${PELVANE_MINGW_TRIPLE}")
# No address-significance table: clang lists the C++ personality routine in it
# for functions that need none, and the undefined name alone makes lld pull in
# the unwinder and through it winpthreads, whose GetTickCount64 would keep the
# DLL from loading before Vista (tests/wine/check-exports.sh). lld folds no
# identical code here, the only use of the table.
set(CMAKE_C_FLAGS_INIT "-fno-addrsig")
string(APPEND CMAKE_CXX_FLAGS_INIT " -fno-addrsig")
# lld, GCC's libraries, and winpthreads, which libstdc++'s posix threads call
# (GCC's driver adds it by itself; lld takes archives in any order). -B takes
# GCC's crtbegin.o and crtend.o instead of the sysroot's stubs: on i686 they
# register the image's DWARF unwind tables with libgcc's unwinder, without which
# every thrown exception ends in std::terminate (the tool's --version and --help
# are exceptions inside its command-line parser).
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
      "-fuse-ld=lld -B${PELVANE_MINGW_GCC_DIR} -L${PELVANE_MINGW_GCC_DIR} -lpthread")
endforeach()
# Each linked DLL and EXE gets a PDB (CMakeLists.txt).
set(PELVANE_PDB ON)

set(CMAKE_FIND_ROOT_PATH /usr/${PELVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
