# The C++ header and the CMake package of the unpacked zips, sourced by run.sh
# (which provides $work, $root, $clang_cl, step, output_has and the Wine loaders).
# cpp_steps runs every check; call it while the simulated reader answers on COM3.

cpp_layout=(include/pelvane.hpp lib/cmake/Pelvane/PelvaneConfig.cmake lib/cmake/Pelvane/PelvaneConfigVersion.cmake
            lib/pkgconfig/pelvane.pc examples/cpp/CMakeLists.txt examples/cpp/quickstart.cpp)
llvm_nm=$(command -v llvm-nm || command -v llvm-nm-14)

cpp_layout_present() {
  local arch f
  for arch in win32 win64; do
    for f in "${cpp_layout[@]}"; do [ -f "$work/$arch/$f" ] || { echo "$arch: missing $f"; return 1; }; done
  done
}

# cpp_as_msvc arch triple clang-target: examples/cpp/quickstart.cpp compiles as
# Visual C++ does (clang-cl, MSVC target, /W4 /WX), and every function it
# imports is defined by lib/pelvane.lib. No Visual C++ library is at hand: the
# MinGW libstdc++ headers stand in for it, so this checks pelvane.hpp's own code
# under Visual C++'s rules and calling conventions, not Microsoft's library.
cpp_as_msvc() {
  local dir=$work/$1 triple=$2 target=$3 cxx
  cxx=$(ls -d /usr/lib/gcc/"$triple"/*-posix/include/c++ | head -n 1)
  local x86=()
  [ "$triple" = i686-w64-mingw32 ] && x86=(-D_X86_)
  (cd "$dir" && "$clang_cl" --target="$target" /std:c++17 /c /W4 /WX /EHsc /clang:-fgnuc-version=12 \
    -D__STRICT_ANSI__ "${x86[@]}" -imsvc "$cxx" -imsvc "$cxx/$triple" -imsvc "/usr/$triple/include" -Iinclude \
    /Fo"$work/qs-msvc-$1.obj" -- examples/cpp/quickstart.cpp) || return 1
  "$llvm_nm" "$work/qs-msvc-$1.obj" | sed -n 's/^ *U \(__imp_.*\)/\1/p' >"$work/qs-msvc-$1.imports"
  "$llvm_nm" "$dir/lib/pelvane.lib" 2>/dev/null | sed -n 's/^.* [A-Z] \(__imp_.*\)/\1/p' >"$work/pelvane-lib-$1.defined"
  grep -q RF_OPEN "$work/qs-msvc-$1.imports" || { echo "the object imports no RF_OPEN"; return 1; }
  local imp
  while read -r imp; do
    grep -qxF "$imp" "$work/pelvane-lib-$1.defined" || { echo "lib/pelvane.lib lacks $imp"; return 1; }
  done <"$work/qs-msvc-$1.imports"
}

# cpp_build_mingw arch triple: from the unpacked folder, the MinGW commands of
# docs/windows-guide.md as they stand: examples/cpp by find_package into
# build-quickstart (pelvane_copy_dll puts pelvane.dll beside the program), and
# quickstart.exe by pkg-config.
cpp_build_mingw() {
  local triple=$2
  cd "$work/$1" || return 1
  cmake -S examples/cpp -B build-quickstart -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER="$triple-g++" \
    -DCMAKE_PREFIX_PATH="$PWD" || return 1
  cmake --build build-quickstart || return 1
  cmp build-quickstart/pelvane.dll bin/pelvane.dll || { echo "pelvane.dll was not copied beside the program"; return 1; }
  # shellcheck disable=SC2046
  "$triple-g++" -std=c++17 -static examples/cpp/quickstart.cpp \
    $(PKG_CONFIG_LIBDIR="$PWD/lib/pkgconfig" pkg-config --cflags --libs pelvane) -o quickstart-cpp.exe || return 1
  cp quickstart-cpp.exe build-quickstart/
  local exe
  for exe in quickstart.exe quickstart-cpp.exe; do
    "$triple-objdump" -p "build-quickstart/$exe" | grep -A12 'DLL Name: pelvane.dll' >"$work/imports.txt"
    grep -qw RF_OPEN "$work/imports.txt" && ! grep -q '@' "$work/imports.txt" ||
      { echo "$exe does not import the plain names:"; cat "$work/imports.txt"; return 1; }
  done
}

# cpp_run arch loader: both builds of the C++ quick-start against COM3.
cpp_run() {
  local exe
  for exe in quickstart.exe quickstart-cpp.exe; do
    (cd "$work/$1" && timeout 60 "$2" "build-quickstart/$exe" 3) >"$work/cpp.out" 2>&1
    output_has "$work/cpp.out" "controller IC 0x32" "card IDm 01 2E 4C 10 00 00 00 01" \
      "block 0: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50" "closed" || return 1
  done
}

# cpp_cmake_msvc arch clang-target: a Visual C++ project (clang-cl, lld-link)
# configured against the zip links lib/pelvane.lib and copies bin/pelvane.dll
# beside the program. Without Microsoft's libraries nothing can be linked here,
# so the build's own commands are read instead of run.
cpp_cmake_msvc() {
  local dir=$work/$1 build=$work/cpp-msvc-$1
  cmake -S "$dir/examples/cpp" -B "$build" -G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER="$clang_cl" \
    -DCMAKE_CXX_COMPILER_TARGET="$2" -DCMAKE_LINKER=lld-link -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY \
    -DCMAKE_PREFIX_PATH="$dir" || return 1
  ninja -C "$build" -t commands quickstart >"$work/msvc-commands.txt" || return 1
  output_has "$work/msvc-commands.txt" "$dir/lib/pelvane.lib" "copy_if_different $dir/bin/pelvane.dll"
}

# The version file refuses the package of the other width.
cpp_width_refused() {
  cd "$work/win32" || return 1
  if cmake -S examples/cpp -B "$work/cpp-width" -DCMAKE_SYSTEM_NAME=Windows \
       -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++ -DCMAKE_PREFIX_PATH="$PWD" >"$work/width.log" 2>&1; then
    echo "a 64-bit project accepted the win32 package"; return 1
  fi
  output_has "$work/width.log" "PelvaneConfig.cmake, version: 1" "(32bit)"
}

cpp_steps() {
  step --quiet "both zips carry pelvane.hpp, lib/cmake/Pelvane, pelvane.pc and examples/cpp" cpp_layout_present
  step --quiet "win32: pelvane.hpp compiles as Visual C++ (clang-cl), its imports all in lib/pelvane.lib" \
    cpp_as_msvc win32 i686-w64-mingw32 i686-pc-windows-msvc
  step --quiet "win64: pelvane.hpp compiles as Visual C++ (clang-cl), its imports all in lib/pelvane.lib" \
    cpp_as_msvc win64 x86_64-w64-mingw32 x86_64-pc-windows-msvc
  step --quiet "win32: examples/cpp builds with MinGW from the zip (find_package; pkg-config)" \
    cpp_build_mingw win32 i686-w64-mingw32
  step --quiet "win64: examples/cpp builds with MinGW from the zip (find_package; pkg-config)" \
    cpp_build_mingw win64 x86_64-w64-mingw32
  step --quiet "win32: a Visual C++ CMake project links lib/pelvane.lib and copies pelvane.dll" \
    cpp_cmake_msvc win32 i686-pc-windows-msvc
  step --quiet "win64: a Visual C++ CMake project links lib/pelvane.lib and copies pelvane.dll" \
    cpp_cmake_msvc win64 x86_64-pc-windows-msvc
  step --quiet "a 64-bit project does not accept the win32 CMake package" cpp_width_refused
  step --quiet "win64: the C++ quick-start runs under wine64 against the simulated reader" cpp_run win64 "$wine64"
  if runs_32bit "$work/probe.exe"; then
    step --quiet "win32: the C++ quick-start runs under 32-bit Wine against the simulated reader" cpp_run win32 "$wine32"
  else
    skip_32bit 1 "$work/probe.log"
    echo "NOTE: the win32 C++ quick-start was built and checked by its import table, the win64 one ran."
  fi
}
