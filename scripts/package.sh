#!/usr/bin/env bash
# Builds every release package into dist/ (<version>: the project version in
# CMakeLists.txt):
#   pelvane-<version>-win32.zip, pelvane-<version>-win64.zip
#       the 32-bit and the 64-bit pelvane.dll with the tool, the header, import
#       libraries, bindings, examples and the Windows docs, all under one folder
#       pelvane-<version>-<arch>/: bin/ (pelvane.dll, pelvane.exe, pelvane-sim.exe, each with
#       its PDB beside it: pelvane.dll.pdb, pelvane.exe.pdb, pelvane-sim.exe.pdb), include/
#       (pelvane.h, pelvane.hpp), lib/ (pelvane.lib, libpelvane.dll.a, pelvane.def,
#       cmake/Pelvane for find_package, pkgconfig/pelvane.pc), bindings/,
#       examples/, docs/, README.md, LICENSE, THIRD-PARTY-NOTICES.md, CHANGELOG.md
#   Pelvane.<version>.nupkg
#       the C# binding compiled for net462 and netstandard2.0, with the native
#       libraries in runtimes/win-x86, win-x64 and linux-x64
#   pelvane-<version>-py3-none-<platform>.whl for win32, win_amd64 and Linux
#       x86-64 (manylinux tag when the library needs no newer glibc than that
#       tag allows): the Python binding with its native library inside
#   SHA256SUMS of all of the above
# The Windows builds are build/win32 and build/win64 (clang and lld for
# MinGW-w64, as scripts/build.sh makes them), the Linux library comes from
# build/native; each is configured here when missing or made otherwise. Needs
# clang, lld, MinGW-w64, LLVM's dlltool, strip, readobj and pdbutil, Mono's
# compiler and reference assemblies (mono-devel), zip and python3
# (scripts/install-deps.sh all).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

version=$(sed -n 's/^project(pelvane VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no X.Y.Z project version in CMakeLists.txt" >&2; exit 1; }
llvm_tool() {  # name: the path of LLVM's tool, plain or of version 14
  command -v "$1" || command -v "$1-14" ||
    { echo "package.sh: $1 is missing (apt-get install llvm)" >&2; exit 1; }
}
dlltool=$(llvm_tool llvm-dlltool)
strip=$(llvm_tool llvm-strip)
source scripts/configure.sh

# stage_development build stage: include/pelvane.hpp, lib/cmake/Pelvane and
# lib/pkgconfig/pelvane.pc, taken from `cmake --install` of the Windows build, so
# that the zip is the same CMake package as an install tree.
stage_development() {
  local tree
  tree=$(mktemp -d)
  cmake --install "$1" --prefix "$tree" --component Development >/dev/null
  cp "$tree/include/pelvane.hpp" "$2/include/"
  cp -r "$tree/lib/cmake" "$tree/lib/pkgconfig" "$2/lib/"
  rm -rf "$tree"
}

# arch: the build folder, toolchain, MinGW triple, llvm-dlltool machine and export list.
package() {
  local arch=$1 triple=$2 machine=$3 exports=$4
  local build=build/$arch name=pelvane-$version-$arch
  # The settings scripts/build.sh gives the folder, so that neither configures it again.
  configure "$build" PELVANE_WERROR=ON PELVANE_TESTS=ON PELVANE_FUZZ=OFF PELVANE_SANITIZE= \
    CMAKE_BUILD_TYPE=RelWithDebInfo PELVANE_TOOLS=ON CMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-${triple%%-*}.cmake"
  ninja -C "$build" pelvane pelvane_cli pelvane-sim >/dev/null

  local stage=dist/stage/$name
  rm -rf "$stage"
  mkdir -p "$stage"/{bin,include,lib,docs,bindings,examples}
  # Each binary with its PDB beside it. The linker copies the MinGW-w64 run-time
  # pieces' DWARF from their libraries into the images; stripping it leaves the
  # CodeView record that names the PDB.
  local file
  for file in pelvane.dll pelvane.exe pelvane-sim.exe; do
    "$strip" --strip-debug -o "$stage/bin/$file" "$build/$file"
    cp "$build/$file.pdb" "$stage/bin/"
    scripts/check-pdb.sh "$stage/bin/$file" >/dev/null
  done
  cp include/pelvane.h "$stage/include/"
  cp "$build/lib/libpelvane.dll.a" "$stage/lib/"
  # The import definitions: every export under the name a caller links against
  # (_RF_OPEN@8 on 32-bit); -k makes the DLL be asked for the plain name.
  {
    echo "; Import definitions of the $arch pelvane.dll $version. Remake the import library:"
    echo ";   llvm-dlltool -m $machine ${exports:+-k }-d pelvane.def -l pelvane.lib"
    sed -n '/^LIBRARY/,$p' "${exports:-include/pelvane-x64.def}" | sed -e 's/ *=.*//' -e '/_DllMain@12/d'
  } >"$stage/lib/pelvane.def"
  "$dlltool" -m "$machine" ${exports:+-k} -d "$stage/lib/pelvane.def" -l "$stage/lib/pelvane.lib"

  stage_development "$build" "$stage"

  cp -r bindings/dotnet bindings/python "$stage/bindings/"
  find "$stage/bindings" \( -name __pycache__ -o -name '*.egg-info' -o -name build \) -prune -exec rm -rf {} +
  cp -r examples/. "$stage/examples/"
  cp "${windows_docs[@]/#/docs/}" "$stage/docs/"
  cp LICENSE CHANGELOG.md THIRD-PARTY-NOTICES.md "$stage/"
  local platform=x86 wheel=win32
  [ "$arch" = win64 ] && platform=x64 wheel=win_amd64
  sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" -e "s/@PLATFORM@/$platform/g" -e "s/@WHEEL@/$wheel/g" \
    scripts/package-readme.md >"$stage/README.md"

  zip_folder dist/stage "$name" "dist/$name.zip"
}

# zip_folder DIR FOLDER ZIP: zips DIR/FOLDER as FOLDER/..., every file dated by
# the last commit, so that the same sources give the same zip.
zip_folder() {
  rm -f "$3"
  (cd "$1" && find "$2" -exec touch -d "@$stamp" {} + && LC_ALL=C zip -qrX "$root/$3" "$2")
  echo "$3"
}

# The Linux x86-64 library for the wheel and the NuGet package, without its
# debug information; prints its path.
linux_library() {
  if [ ! -f build/native/build.ninja ]; then
    cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  ninja -C build/native pelvane >/dev/null
  mkdir -p dist/stage/linux-x64
  strip --strip-debug -o dist/stage/linux-x64/libpelvane.so build/native/libpelvane.so
  echo dist/stage/linux-x64/libpelvane.so
}

# The wheel's platform tag for the Linux library: manylinux2014 (glibc 2.17)
# when it needs nothing newer from glibc and libstdc++ than that allows and no
# other library, else the plain linux_x86_64 of a local build.
linux_wheel_tag() {
  local lib=$1 glibc glibcxx
  glibc=$(objdump -T "$lib" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n1)
  glibcxx=$(objdump -T "$lib" | grep -o 'GLIBCXX_[0-9.]*' | sed 's/GLIBCXX_//' | sort -V | tail -n1)
  if objdump -p "$lib" | awk '/NEEDED/ {print $2}' |
       grep -qvE '^(libc|libm|libstdc\+\+|libgcc_s|libpthread|libdl|librt)\.so\.[0-9]+$|^ld-linux-x86-64\.so\.2$'; then
    echo linux_x86_64
  elif [ "$(printf '%s\n' "${glibc:-2.0}" 2.17 | sort -V | tail -n1)" = 2.17 ] &&
       [ "$(printf '%s\n' "${glibcxx:-3.4}" 3.4.19 | sort -V | tail -n1)" = 3.4.19 ]; then
    echo manylinux_2_17_x86_64.manylinux2014_x86_64
  else
    echo linux_x86_64
  fi
}

# wheel TAG LIBRARY: the Python binding with the native library inside.
wheel() {
  python3 bindings/python/pelvane_build.py "$1" "$2" dist
}

# The docs a Windows user needs; the Linux ones (the virtual reader, serial
# ports on Linux) stay in the source tree.
windows_docs=(windows-guide.md troubleshooting.md command-reference.md rw-interface.md pelvane-tool.md)

stamp=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH=$stamp
mkdir -p dist
rm -rf dist/stage
rm -f dist/pelvane-*.zip dist/pelvane-*.whl dist/Pelvane.*.nupkg dist/SHA256SUMS
package win32 i686-w64-mingw32 i386 include/pelvane-lib.def
package win64 x86_64-w64-mingw32 i386:x86-64 ""
linux=$(linux_library)
wheel win32 "dist/stage/pelvane-$version-win32/bin/pelvane.dll"
wheel win_amd64 "dist/stage/pelvane-$version-win64/bin/pelvane.dll"
wheel "$(linux_wheel_tag "$linux")" "$linux"
scripts/nuget/pack.sh "$version" "dist/stage/pelvane-$version-win32/bin/pelvane.dll" \
  "dist/stage/pelvane-$version-win64/bin/pelvane.dll" "$linux" dist
(cd dist && sha256sum pelvane-*.zip pelvane-*.whl Pelvane.*.nupkg >SHA256SUMS)
echo dist/SHA256SUMS
rm -rf dist/stage
