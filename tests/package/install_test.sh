#!/usr/bin/env bash
# The Linux install tree as a user gets it: `cmake --install` into an empty
# folder, which is then moved elsewhere (every path must follow it), and the
# quick-start examples built from there only and run against pelvane-sim.
#   install_test.sh cmake BUILD PELVANE_SIM        find_package(Pelvane CONFIG REQUIRED): examples/cpp
#   install_test.sh pkg-config BUILD PELVANE_SIM   pkg-config --cflags --libs pelvane: the C++ and C examples,
#                                                  and the C++ programs of docs/windows-guide.md and rw-interface.md
set -uo pipefail

mode=$1 build=$2 sim=$3
examples=$(cd "$(dirname "$0")/../../examples" && pwd)
work=$(mktemp -d /tmp/pelvane-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
die() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$work/staged" >"$work/install.log" || { cat "$work/install.log"; die "cmake --install"; }
mv "$work/staged" "$work/pelvane"
prefix=$work/pelvane
for f in include/pelvane.h include/pelvane.hpp lib/libpelvane.so lib/libpelvane.so.1 \
         lib/cmake/Pelvane/PelvaneConfig.cmake lib/cmake/Pelvane/PelvaneConfigVersion.cmake \
         lib/pkgconfig/pelvane.pc bin/pelvane bin/pelvane-sim; do
  [ -e "$prefix/$f" ] || die "the install tree lacks $f"
done

# run_example NAME PROGRAM: the example against a fresh pelvane-sim on port 1.
run_example() {
  local name=$1 program=$2 pts=""
  coproc SIM { exec "$sim" --until-eof --cards felica; }
  read -r -t 10 pts <&"${SIM[0]}"
  [ -n "$pts" ] || die "pelvane-sim printed no device path"
  timeout 30 "$program" 1 "$pts" >"$work/out" 2>&1
  local rc=$?
  exec {SIM[1]}>&-
  wait "$SIM_PID" 2>/dev/null
  cat "$work/out"
  [ "$rc" -eq 0 ] || die "$name exited with $rc"
  local text
  for text in "card IDm 01 2E 4C 10 00 00 00 01" "block 0: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50" closed; do
    grep -qF -- "$text" "$work/out" || die "$name did not print: $text"
  done
  echo "ok: $name"
}

case $mode in
  cmake)
    cmake -S "$examples/cpp" -B "$work/qs" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" 2>&1 ||
      { cat "$work/configure.log"; die "configuring examples/cpp against the install tree"; }
    cmake --build "$work/qs" >"$work/build.log" 2>&1 || { cat "$work/build.log"; die "building examples/cpp"; }
    run_example "examples/cpp built with find_package" "$work/qs/quickstart"
    # A request for a major version the tree is not is refused.
    mkdir "$work/v2" && sed 's/find_package(Pelvane 1.0 /find_package(Pelvane 2.0 /' "$examples/cpp/CMakeLists.txt" \
      >"$work/v2/CMakeLists.txt" && cp "$examples/cpp/quickstart.cpp" "$work/v2/"
    if cmake -S "$work/v2" -B "$work/v2/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/v2.log" 2>&1; then
      die "find_package(Pelvane 2.0) accepted version 1"
    fi
    grep -q "PelvaneConfig.cmake, version: 1" "$work/v2.log" || { cat "$work/v2.log"; die "the version file was not consulted"; }
    echo "ok: find_package(Pelvane 2.0) is refused"
    ;;
  pkg-config)
    export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
    [ "$(pkg-config --modversion pelvane)" = "$(sed -n 's/^project(pelvane VERSION \([0-9.]*\).*/\1/p' \
      "$examples/../CMakeLists.txt")" ] || die "pkg-config --modversion pelvane is not the project version"
    libdir=$(pkg-config --variable=libdir pelvane)
    # shellcheck disable=SC2046
    c++ -std=c++17 -Wall -Wextra -Werror "$examples/cpp/quickstart.cpp" $(pkg-config --cflags --libs pelvane) \
      -Wl,-rpath,"$libdir" -o "$work/quickstart-cpp" || die "building examples/cpp/quickstart.cpp with pkg-config"
    # shellcheck disable=SC2046
    cc -Wall -Werror "$examples/c/quickstart.c" $(pkg-config --cflags --libs pelvane) \
      -Wl,-rpath,"$libdir" -o "$work/quickstart-c" || die "building examples/c/quickstart.c with pkg-config"
    # Every C++ program the guides show compiles and links as printed.
    local_docs=$(cd "$examples/../docs" && pwd)
    for doc in windows-guide.md rw-interface.md; do
      awk -v out="$work/snippet-${doc%.md}" '/^```cpp/ { n++; f = out "-" n ".cpp"; on = 1; next }
        /^```/ { on = 0 } on { print > f }' "$local_docs/$doc"
    done
    snippets=("$work"/snippet-*.cpp)
    [ -f "${snippets[0]}" ] || die "the guides show no C++ program"
    for snippet in "${snippets[@]}"; do
      # shellcheck disable=SC2046
      c++ -std=c++17 -Wall -Wextra -Werror "$snippet" $(pkg-config --cflags --libs pelvane) -o "${snippet%.cpp}" ||
        die "the guide's program ${snippet##*/} does not build"
    done
    echo "ok: ${#snippets[@]} C++ programs of the guides build"
    run_example "examples/cpp built with pkg-config" "$work/quickstart-cpp"
    run_example "examples/c built with pkg-config" "$work/quickstart-c"
    ;;
  *) die "unknown mode $mode" ;;
esac
