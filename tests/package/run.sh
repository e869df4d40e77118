#!/usr/bin/env bash
# The release packages as a user gets them:
#   tests/package/run.sh [native build]     (default build/native)
# Runs scripts/package.sh, checks SHA256SUMS, unpacks each zip into an empty
# folder and, from there only: builds the test caller with MinGW
# (lib/libpelvane.dll.a) and as Visual C++ would (clang-cl, lld-link,
# lib/pelvane.lib) and runs both under Wine against the simulated reader on
# COM3; builds and runs the C quick-start the same way; runs the tool
# bin/pelvane.exe (ports --all, a missing port, --sim); checks that each
# binary names the PDB beside it, which holds its functions (scripts/check-pdb.sh);
# compiles the C# binding and example with mcs and runs the binding's table with
# mono against libpelvane.so and pelvane-sim; installs the Python binding with
# pip offline and runs its table. The NuGet package: its layout and nuspec
# against NuGet's rules (nupkg_check.py), then the binding's table and the C#
# example compiled against each packed assembly and run on Mono against the
# package's own libpelvane.so. The wheels: tags and contents of all three; the
# Linux one installed into a fresh venv offline, where the binding's table and
# the example run with no library path given. Reads the DLL's version resource
# with GetFileVersionInfoA; checks pelvane.hpp as Visual C++ compiles it and
# builds the C++ quick-start with the zip's CMake package and pelvane.pc, then
# runs it (tests/package/cpp.sh). 32-bit programs run only where the machine
# executes them (the probe below); the 64-bit package runs under wine64.
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

step --quiet "scripts/package.sh writes the zips, the nupkg, the wheels and SHA256SUMS" ./scripts/package.sh
linux_wheel=$(ls dist/pelvane-"$version"-py3-none-*linux*_x86_64.whl 2>/dev/null | head -n1)
for f in "pelvane-$version-win32.zip" "pelvane-$version-win64.zip" "Pelvane.$version.nupkg" "pelvane-$version-py3-none-win32.whl" \
         "pelvane-$version-py3-none-win_amd64.whl" "${linux_wheel#dist/}" SHA256SUMS; do
  [ -n "$f" ] && [ -f "dist/$f" ] || { echo "no dist/$f (or no Linux wheel)"; finish; }
done
# Every package is listed, and each sum holds.
sums() {
  (cd dist && sha256sum --strict -c SHA256SUMS) || return 1
  [ "$(wc -l <dist/SHA256SUMS)" -eq 6 ] || { echo "SHA256SUMS lists $(wc -l <dist/SHA256SUMS) files, not 6"; return 1; }
}
step --quiet "SHA256SUMS lists the 6 packages and matches them" sums

# ---- the layout ----
layout=(bin/pelvane.dll bin/pelvane.exe bin/pelvane-sim.exe bin/pelvane.dll.pdb bin/pelvane.exe.pdb bin/pelvane-sim.exe.pdb
        include/pelvane.h lib/pelvane.lib lib/libpelvane.dll.a lib/pelvane.def
        bindings/dotnet/Pelvane.cs bindings/python/pelvane/__init__.py bindings/python/pyproject.toml
        examples/c/quickstart.c examples/csharp/Quickstart.cs examples/python/quickstart.py
        docs/windows-guide.md docs/troubleshooting.md docs/command-reference.md docs/rw-interface.md
        docs/pelvane-tool.md README.md LICENSE THIRD-PARTY-NOTICES.md CHANGELOG.md)
# Each zip holds the one folder pelvane-<version>-<arch>; $work/<arch> is that folder.
unpack() {  # arch
  mkdir "$work/zip-$1" && unzip -q "dist/pelvane-$version-$1.zip" -d "$work/zip-$1" || return 1
  [ "$(ls -A "$work/zip-$1")" = "pelvane-$version-$1" ] ||
    { echo "the zip's top level is not the one folder pelvane-$version-$1:"; ls -A "$work/zip-$1"; return 1; }
  ln -s "zip-$1/pelvane-$version-$1" "$work/$1"
  local f
  for f in "${layout[@]}"; do [ -f "$work/$1/$f" ] || { echo "missing $f"; return 1; }; done
  # The Linux-only docs stay out of the Windows package.
  for f in docs/virtual-reader.md docs/linux-ports.md; do [ ! -e "$work/$1/$f" ] || { echo "has $f"; return 1; }; done
  # Each binary names the PDB beside it, which a debugger loads: the DLL's holds
  # its exported functions, the programs' their main; no DWARF is left over.
  "$root/scripts/check-pdb.sh" "$work/$1/bin/pelvane.dll" RF_OPEN RF_COMMAND RW_Transmit PV_SetTraceSink &&
    "$root/scripts/check-pdb.sh" "$work/$1/bin/pelvane.exe" main &&
    "$root/scripts/check-pdb.sh" "$work/$1/bin/pelvane-sim.exe" main || return 1
  for f in pelvane.dll pelvane.exe pelvane-sim.exe; do
    x86_64-w64-mingw32-objdump -h "$work/$1/bin/$f" | grep -q '\.debug_' && { echo "bin/$f keeps DWARF"; return 1; }
  done
  return 0
}
step --quiet "win32 zip unpacks into pelvane-$version-win32/ with the whole layout" unpack win32
step --quiet "win64 zip unpacks into pelvane-$version-win64/ with the whole layout" unpack win64
# A PDB of another build beside the DLL, under the name the DLL asks for, is refused.
foreign_pdb() {
  mkdir "$work/swap" && cp "$work/win64/bin/pelvane.dll" "$work/swap/" &&
    cp "$work/win32/bin/pelvane.dll.pdb" "$work/swap/" || return 1
  "$root/scripts/check-pdb.sh" "$work/swap/pelvane.dll" | tee "$work/swap.out"
  grep -q "pelvane.dll.pdb is not its PDB" "$work/swap.out"
}
step --quiet "the PDB check refuses the 32-bit PDB beside the 64-bit DLL" foreign_pdb

# Both DLLs import only system DLLs and keep their export tables; both
# import libraries make a caller ask pelvane.dll for the plain names.
exports_unchanged() {
  "$root/tests/wine/check-exports.sh" dll32 "$work/win32/bin/pelvane.dll" "$work/win32/lib/libpelvane.dll.a" &&
    "$root/tests/wine/check-exports.sh" dll64 "$work/win64/bin/pelvane.dll"
}
step --quiet "pelvane.dll, 32-bit and 64-bit: exports and imports" exports_unchanged

# The C, C# and Python programs of the zip's guides compile as printed: the C
# ones with MinGW and <windows.h> included (so a name that clashes with it
# fails), the C# one with mcs and the binding, the Python one by py_compile.
snippets() {
  cd "$work/win64" || return 1
  local doc lang n=0 f
  for doc in docs/windows-guide.md docs/rw-interface.md; do
    for lang in c csharp python; do
      awk -v out="$work/doc-$lang-${doc##*/}" -v lang="$lang" '
        $0 == "```" lang { n++; f = out "-" n; on = 1; next } /^```/ { on = 0 } on { print > f }' "$doc"
    done
  done
  for f in "$work"/doc-c-*; do
    x86_64-w64-mingw32-gcc -std=c11 -Wall -Werror -Wno-unused-function -include windows.h -Iinclude \
      -x c -c "$f" -o "$f.o" || { echo "${f##*/} does not compile"; return 1; }
    n=$((n + 1))
  done
  for f in "$work"/doc-csharp-*; do
    cp "$f" "$f.cs" && mcs -nologo -out:"$f.exe" "$f.cs" bindings/dotnet/Pelvane.cs ||
      { echo "${f##*/} does not compile"; return 1; }
    n=$((n + 1))
  done
  for f in "$work"/doc-python-*; do
    python3 -m py_compile "$f" || { echo "${f##*/} is not Python"; return 1; }
    n=$((n + 1))
  done
  echo "$n programs of the guides compile"
  [ "$n" -ge 5 ]
}
step --quiet "the guides' C, C# and Python programs compile as printed" snippets
cd "$root"

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
# Device keys for bin/pelvane.exe ports: the Prolific bridge on COM8 (no device)
# that tests/wine/run.sh also names, and a CP210x under Windows' generic driver
# name on COM9, which a scan skips.
link_ports /dev/stdin <<'REG'

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_067B&PID_2303\PELVANE0002]
"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"
"FriendlyName"="Prolific USB-to-Serial Comm Port (COM8)"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_10C4&PID_EA60\PELVANE0009]
"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"
"FriendlyName"="Silicon Labs CP210x USB to UART Bridge (COM9)"
REG
rm -f "$WINEPREFIX/dosdevices/com8"
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
# The tool as the guide runs it, from the package folder.
tool() {  # expected exit, arguments...: runs bin/pelvane.exe, output in $work/tool.out
  local want=$1; shift
  (cd "$work/win64" && timeout 60 "$wine64" bin/pelvane.exe "$@") >"$work/tool.out" 2>&1
  local got=$?
  [ "$got" -eq "$want" ] || { cat "$work/tool.out"; echo "pelvane $*: exit $got, expected $want"; return 1; }
}
tool_on_windows() {
  cd "$root" || return 1
  tool 0 ports --all &&
    output_has "$work/tool.out" "Prolific USB-to-Serial Comm Port (COM8)  scanned: no reader answers" \
      'COM9  \\.\COM9  Silicon Labs CP210x USB to UART Bridge (COM9)  not scanned: open it with --port 9' || return 1
  tool 3 --port 12 info && output_has "$work/tool.out" "pelvane: COM12 does not exist" || return 1
  tool 3 --trace --port 12 info || return 1
  [ "$(grep -c 'open: COM12: CreateFileA failed' "$work/tool.out")" -eq 1 ] ||
    { echo "--trace: each open: line once"; return 1; }
  # The virtual reader runs in the tool on a named pipe.
  tool 0 --sim info && output_has "$work/tool.out" 'virtual reader on \\.\pipe\pelvane-sim-' || return 1
}
step --quiet "win64: bin/pelvane.exe ports --all, a missing port, --trace, --sim" tool_on_windows
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

# ---- the NuGet package ----
# A program compiled against each packed assembly, run on Mono against the
# package's own libpelvane.so.
nuget() {
  cd "$root" || return 1
  python3 "$here/nupkg_check.py" "dist/Pelvane.$version.nupkg" "$version" || return 1
  mkdir "$work/nupkg" && unzip -q "dist/Pelvane.$version.nupkg" -d "$work/nupkg" || return 1
  local tfm facade=/usr/lib/mono/4.5/Facades/netstandard.dll
  for tfm in net462 netstandard2.0; do
    mkdir -p "$work/app-$tfm" && cp "$work/nupkg/lib/$tfm/Pelvane.dll" "$work/app-$tfm/" || return 1
    mcs -nologo -r:"$work/app-$tfm/Pelvane.dll" -r:"$facade" -out:"$work/app-$tfm/BindingTest.exe" \
      "$here/BindingTest.cs" || return 1
    mcs -nologo -r:"$work/app-$tfm/Pelvane.dll" -r:"$facade" -out:"$work/app-$tfm/Quickstart.exe" \
      examples/csharp/Quickstart.cs || return 1
    echo "--- $tfm"
    LD_LIBRARY_PATH=$work/nupkg/runtimes/linux-x64/native timeout 60 mono "$work/app-$tfm/BindingTest.exe" \
      "${slaves[11]}" || return 1
    LD_LIBRARY_PATH=$work/nupkg/runtimes/linux-x64/native timeout 60 mono "$work/app-$tfm/Quickstart.exe" \
      1 "${slaves[11]}" >"$work/cs.out" 2>&1
    output_has "$work/cs.out" "card IDm 01 2E 4C 10 00 00 00 01" "closed" || return 1
  done
}
step --quiet "NuGet package: layout and nuspec; net462 and netstandard2.0 assemblies run on Mono" nuget

# ---- the wheels ----
# wheel_has WHEEL TAG LIBRARY: the tag in its name and in WHEEL, the library
# and the package inside, and a RECORD whose hashes hold.
wheel_has() {
  python3 - "$@" <<'PY'
import base64, hashlib, os, sys, zipfile
path, tag, library = sys.argv[1:]
z = zipfile.ZipFile(path)
info = "pelvane-%s.dist-info/" % os.path.basename(path).split("-")[1]
wheel = z.read(info + "WHEEL").decode()
record = [line.split(",") for line in z.read(info + "RECORD").decode().splitlines()]
bad = [name for name, digest, size in record if digest and (
    "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(z.read(name)).digest()).rstrip(b"=").decode() != digest
    or int(size) != z.getinfo(name).file_size)]
checks = {
    "file name tag py3-none-" + tag: path.endswith("-py3-none-%s.whl" % tag),
    "WHEEL: Tag py3-none-* and not purelib": all("Tag: py3-none-%s" % t in wheel for t in tag.split("."))
        and "Root-Is-Purelib: false" in wheel,
    "pelvane/%s and pelvane/__init__.py" % library: {"pelvane/" + library, "pelvane/__init__.py"} <= set(z.namelist()),
    "RECORD lists every file with its hash": not bad and {r[0] for r in record} == set(z.namelist()),
}
for what, good in checks.items():
    print("%-60s %s" % (what, "ok" if good else "WRONG"))
sys.exit(0 if all(checks.values()) else 1)
PY
}
wheels() {
  cd "$root" || return 1
  wheel_has "dist/pelvane-$version-py3-none-win32.whl" win32 pelvane.dll || return 1
  wheel_has "dist/pelvane-$version-py3-none-win_amd64.whl" win_amd64 pelvane.dll || return 1
  local tag=${linux_wheel#dist/pelvane-$version-py3-none-}
  wheel_has "$linux_wheel" "${tag%.whl}" libpelvane.so || return 1
  # The DLLs inside are the packages' own.
  unzip -p "dist/pelvane-$version-py3-none-win32.whl" pelvane/pelvane.dll | cmp - "$work/win32/bin/pelvane.dll" &&
    unzip -p "dist/pelvane-$version-py3-none-win_amd64.whl" pelvane/pelvane.dll | cmp - "$work/win64/bin/pelvane.dll"
}
step --quiet "Python wheels: tags, the native library and RECORD of all three" wheels
# The guide's Python path on Linux: a fresh venv, pip install of the wheel with
# no index, then the table and the example with no library path given.
wheel_venv() {
  cd "$root" || return 1
  /usr/bin/python3 -m venv "$work/venv" || return 1
  "$work/venv/bin/python" -m pip install -q --no-index "$linux_wheel" || return 1
  cd "$work/win64" || return 1
  env -u PELVANE_LIBRARY -u LD_LIBRARY_PATH timeout 60 "$work/venv/bin/python" "$here/binding_test.py" \
    "${slaves[11]}" || return 1
  env -u PELVANE_LIBRARY -u LD_LIBRARY_PATH timeout 60 "$work/venv/bin/python" examples/python/quickstart.py 1 \
    "${slaves[11]}" >"$work/py.out" 2>&1
  output_has "$work/py.out" "card IDm 01 2E 4C 10 00 00 00 01" "closed" || return 1
  "$work/venv/bin/python" -c 'import pelvane, os; print(pelvane._default_path())' | grep -q "$work/venv/.*/pelvane/libpelvane.so" ||
    { echo "the venv's pelvane does not load its own libpelvane.so"; return 1; }
}
step --quiet "Python: the Linux wheel in a fresh venv (pip --no-index); the table and the example run" wheel_venv

finish
