#!/usr/bin/env bash
# The release packages as a user gets them:
#   tests/package/run.sh [native build]     (default build/native)
# Runs scripts/package.sh, unpacks each zip into an empty folder and, from there
# only: builds the test caller with MinGW (lib/libpelvane.dll.a) and as Visual
# C++ would (clang-cl, lld-link, lib/pelvane.lib) and runs both under Wine
# against the simulated reader on COM3; builds and runs the C quick-start the
# same way; compiles the C# binding and example with mcs and runs the binding's
# table with mono against libpelvane.so and pelvane-sim; installs the Python
# binding with pip offline and runs its table and the example; reads the DLL's
# version resource with GetFileVersionInfoA; checks pelvane.hpp as Visual C++
# compiles it and builds the C++ quick-start with the zip's CMake package and
# pelvane.pc, then runs it (tests/package/cpp.sh). 32-bit programs run only where the
# machine executes them (the probe below); the 64-bit package runs under wine64.
# Prints "N passed, N failed".
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"
native=$(cd "${1:-build/native}" && pwd)
clang_cl=$(command -v clang-cl || command -v clang-cl-14)
version=$(sed -n 's/^project(pelvane VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)

work=$(mktemp -d /tmp/pelvane-package.XXXXXX)
# shellcheck source=../wine/common.sh
source "$root/tests/wine/common.sh"
trap wine_cleanup EXIT

# output_has FILE TEXT...: the file holds every text.
output_has() {
  local file=$1; shift
  cat "$file"
  local text
  for text in "$@"; do grep -qF -- "$text" "$file" || { echo "missing: $text"; return 1; }; done
}

step --quiet "scripts/package.sh writes both zips" ./scripts/package.sh
for arch in win32 win64; do
  [ -f "dist/pelvane-$version-$arch.zip" ] || { echo "no dist/pelvane-$version-$arch.zip"; finish; }
done

# ---- the layout ----
layout=(bin/pelvane.dll bin/pelvane.exe include/pelvane.h lib/pelvane.lib lib/libpelvane.dll.a lib/pelvane.def
        bindings/dotnet/Pelvane.cs bindings/python/pelvane/__init__.py bindings/python/pyproject.toml
        examples/c/quickstart.c examples/csharp/Quickstart.cs examples/python/quickstart.py
        docs/windows-guide.md docs/troubleshooting.md README.md LICENSE CHANGELOG.md)
# Each zip holds the one folder pelvane-<version>-<arch>; $work/<arch> is that folder.
unpack() {  # arch
  mkdir "$work/zip-$1" && unzip -q "dist/pelvane-$version-$1.zip" -d "$work/zip-$1" || return 1
  [ "$(ls -A "$work/zip-$1")" = "pelvane-$version-$1" ] ||
    { echo "the zip's top level is not the one folder pelvane-$version-$1:"; ls -A "$work/zip-$1"; return 1; }
  ln -s "zip-$1/pelvane-$version-$1" "$work/$1"
  local f
  for f in "${layout[@]}"; do [ -f "$work/$1/$f" ] || { echo "missing $f"; return 1; }; done
}
step --quiet "win32 zip unpacks into pelvane-$version-win32/ with the whole layout" unpack win32
step --quiet "win64 zip unpacks into pelvane-$version-win64/ with the whole layout" unpack win64

# The 32-bit DLL imports only system DLLs and keeps its export table; both
# import libraries make a caller ask pelvane.dll for the plain names.
exports_unchanged() { "$root/tests/wine/check-exports.sh" dll32 "$work/win32/bin/pelvane.dll"; }
step --quiet "32-bit pelvane.dll: exports and imports" exports_unchanged

# ---- callers built from the unpacked zips ----
# build_callers arch triple clang-target lld-machine
build_callers() {
  local dir=$work/$1 triple=$2 target=$3 machine=$4
  cp "$here/caller.c" "$dir/" && cd "$dir" || return 1
  "$triple-gcc" -O1 -Iinclude caller.c -Llib -lpelvane -o caller-mingw.exe || return 1
  "$triple-gcc" -O1 -Iinclude examples/c/quickstart.c -Llib -lpelvane -o quickstart.exe || return 1
  "$clang_cl" --target="$target" -c -O1 -GS- -Iinclude -Focaller.obj -- caller.c || return 1
  lld-link /entry:start /subsystem:console /machine:"$machine" /nodefaultlib /safeseh:no caller.obj \
    lib/pelvane.lib "/usr/$triple/lib/libkernel32.a" /out:caller-msvc.exe || return 1
  cp bin/pelvane.dll .
  local exe
  for exe in caller-mingw.exe caller-msvc.exe; do
    "$triple-objdump" -p "$exe" | grep -A16 'DLL Name: pelvane.dll' >"$work/imports.txt"
    grep -qw RF_OPEN "$work/imports.txt" && ! grep -q '@' "$work/imports.txt" ||
      { echo "$exe does not import the plain names:"; cat "$work/imports.txt"; return 1; }
  done
}
step --quiet "win32 callers build (MinGW, and clang-cl + lld-link with pelvane.lib)" \
  build_callers win32 i686-w64-mingw32 i686-pc-windows-msvc x86
step --quiet "win64 callers build (MinGW, and clang-cl + lld-link with pelvane.lib)" \
  build_callers win64 x86_64-w64-mingw32 x86_64-pc-windows-msvc x64
cd "$root"

wine_prefix
start_line 3 "$sim" --cards felica || finish
link_ports
step --quiet "the version reader builds" x86_64-w64-mingw32-gcc -O1 "$here/version.c" -lversion -o "$work/version.exe"

# run_callers arch loader: the callers and the quick-start against COM3.
run_callers() {
  local dir=$work/$1 loader=$2 exe
  for exe in caller-mingw.exe caller-msvc.exe; do
    (cd "$dir" && timeout 60 "$loader" "$exe") >"$work/$exe.out" 2>&1 ||
      { cat "$work/$exe.out"; echo "$exe failed"; return 1; }
    output_has "$work/$exe.out" "RF_OPEN 03  ok" "poll FeliCa 0B 20 00 01 2E 4C 10 00 00 00 01  ok" || return 1
  done
  (cd "$dir" && timeout 60 "$loader" quickstart.exe 3) >"$work/quickstart.out" 2>&1 ||
    { cat "$work/quickstart.out"; echo "quickstart.exe failed"; return 1; }
  output_has "$work/quickstart.out" "card IDm 01 2E 4C 10 00 00 00 01" "block 0: 41 42 43 44" "closed" || return 1
  (cd "$dir" && timeout 60 "$loader" bin/pelvane.exe --version) >"$work/version.out" 2>&1 ||
    { cat "$work/version.out"; echo "pelvane.exe --version failed"; return 1; }
  output_has "$work/version.out" "pelvane $version"
}
check_version() {  # arch
  timeout 60 "$wine64" "$work/version.exe" "$(windows_path "$work/$1/bin/pelvane.dll")" >"$work/resource.out" 2>&1 ||
    { cat "$work/resource.out"; echo "version.exe failed"; return 1; }
  output_has "$work/resource.out" "fixed $version.0 $version.0" "FileVersion=$version.0" \
    "ProductVersion=$version.0" "ProductName=Pelvane" "CompanyName=Pelvane project" "FileDescription=Pelvane"
}
step --quiet "win64: callers and quick-start run under wine64 against the simulated reader" run_callers win64 "$wine64"
step --quiet "win64: version resource read with GetFileVersionInfoA" check_version win64
step --quiet "win32: version resource read with GetFileVersionInfoA" check_version win32
# A probe that does not build is a failure, never the machine's 32-bit limit.
step --quiet "the 32-bit probe builds" i686-w64-mingw32-gcc -O1 "$root/tests/wine/probe.c" -o "$work/probe.exe"
if [ ! -f "$work/probe.exe" ]; then
  echo "NOTE: without the probe the 32-bit callers did not run (counted failed above)."
elif runs_32bit "$work/probe.exe"; then
  step --quiet "win32: callers and quick-start run under 32-bit Wine against the simulated reader" run_callers win32 "$wine32"
else
  skip_32bit 1 "$work/probe.log"
  echo "NOTE: the win32 callers were built and checked by their import tables, the win64 ones ran."
fi

# ---- C++ and CMake from the unpacked zips (tests/package/cpp.sh) ----
# shellcheck source=cpp.sh
source "$here/cpp.sh"
cpp_steps

# ---- bindings on Linux, against libpelvane.so and a simulated reader ----
start_line 11 "$sim" --cards felica,typeB || finish
csharp() {
  cd "$work/win64" || return 1
  mcs -nologo -out:"$work/BindingTest.exe" "$here/BindingTest.cs" bindings/dotnet/Pelvane.cs || return 1
  mcs -nologo -out:"$work/Quickstart.exe" examples/csharp/Quickstart.cs bindings/dotnet/Pelvane.cs || return 1
  LD_LIBRARY_PATH=$native timeout 60 mono "$work/BindingTest.exe" "${slaves[11]}"
}
python_binding() {
  cd "$work/win64" || return 1
  python3 -m pip install -q --no-index --no-build-isolation --target "$work/site" ./bindings/python || return 1
  [ "$(PYTHONPATH=$work/site python3 -c 'import pelvane; print(pelvane.__version__)')" = "$version" ] ||
    { echo "the Python package's version is not $version"; return 1; }
  PYTHONPATH=$work/site PELVANE_LIBRARY=$native/libpelvane.so timeout 60 python3 "$here/binding_test.py" "${slaves[11]}" ||
    return 1
  PELVANE_LIBRARY=$native/libpelvane.so timeout 60 python3 examples/python/quickstart.py 1 "${slaves[11]}" \
    >"$work/py.out" 2>&1 || { cat "$work/py.out"; echo "quickstart.py failed"; return 1; }
  output_has "$work/py.out" "card IDm 01 2E 4C 10 00 00 00 01" "closed"
}
step --quiet "C# binding (mcs, mono): the table of calls; the example compiles" csharp
step --quiet "Python binding (pip offline): the table of calls; the example runs" python_binding

finish
