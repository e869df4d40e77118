#!/usr/bin/env bash
# Builds the Windows release packages from the MinGW builds:
#   dist/pelvane-<version>-win32.zip   the 32-bit pelvane.dll, for 32-bit processes
#   dist/pelvane-<version>-win64.zip   the 64-bit pelvane.dll, for 64-bit processes
# <version> is the project version in CMakeLists.txt. Each zip holds one folder,
# pelvane-<version>-<arch>/, and in it
#   bin/pelvane.dll, bin/pelvane.exe; include/pelvane.h, include/pelvane.hpp;
#   lib/pelvane.lib (Visual C++), lib/libpelvane.dll.a (MinGW), lib/pelvane.def;
#   lib/cmake/Pelvane (find_package), lib/pkgconfig/pelvane.pc;
#   bindings/dotnet, bindings/python; examples/; docs/; README.md, LICENSE, CHANGELOG.md.
# Needs MinGW-w64 and llvm-dlltool (scripts/install-deps.sh all).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

version=$(sed -n 's/^project(pelvane VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no X.Y.Z project version in CMakeLists.txt" >&2; exit 1; }
dlltool=$(command -v llvm-dlltool || command -v llvm-dlltool-14 || true)
[ -n "$dlltool" ] || { echo "package.sh: llvm-dlltool is missing (apt-get install llvm)" >&2; exit 1; }

# stage_development build stage: include/pelvane.hpp, lib/cmake/Pelvane and
# lib/pkgconfig/pelvane.pc, taken from `cmake --install` of the MinGW build, so
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
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-${triple%%-*}.cmake" >/dev/null
  fi
  ninja -C "$build" pelvane pelvane_cli >/dev/null

  local stage=dist/stage/$name
  rm -rf "$stage"
  mkdir -p "$stage"/{bin,include,lib,docs,bindings,examples}
  "$triple-strip" --strip-debug -o "$stage/bin/pelvane.dll" "$build/pelvane.dll"
  "$triple-strip" --strip-debug -o "$stage/bin/pelvane.exe" "$build/pelvane.exe"
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
  cp docs/*.md "$stage/docs/"
  cp LICENSE CHANGELOG.md "$stage/"
  sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" scripts/package-readme.md >"$stage/README.md"

  # Every file dated by the last commit, so that the same sources give the same zip.
  rm -f "dist/$name.zip"
  (cd dist/stage && find "$name" -exec touch -d "@$stamp" {} + && LC_ALL=C zip -qrX "$root/dist/$name.zip" "$name")
  echo "dist/$name.zip"
}

stamp=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
mkdir -p dist
package win32 i686-w64-mingw32 i386 include/pelvane-lib.def
package win64 x86_64-w64-mingw32 i386:x86-64 ""
rm -rf dist/stage
