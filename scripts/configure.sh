# Sourced by scripts/build.sh, tests/tsan/run.sh and tests/fuzz/run.sh.
# configure folder KEY=VALUE...: makes sure the build folder holds every value
# given. It is configured again whenever a cache value differs (a folder
# configured without tests, with another build type or sanitizer), and from
# scratch when its generator or toolchain differs, since CMake reads those once.
# The compilers come from CC and CXX at the first configuration.

cache_value() {  # folder, key
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" 2>/dev/null | head -n 1
}

# Compiles go through ccache where it is installed: the four build folders and
# the sanitizer builds share most sources, and repeated runs rebuild little.
# The cache is keyed on paths relative to the checkout, so clones share it.
launcher=
if command -v ccache >/dev/null; then
  launcher="env;CCACHE_BASEDIR=$(pwd);CCACHE_NOHASHDIR=true;ccache"
fi

configure() {  # folder, KEY=VALUE... (every value the folder must hold)
  local dir=$1; shift
  set -- "$@" CMAKE_C_COMPILER_LAUNCHER="$launcher" CMAKE_CXX_COMPILER_LAUNCHER="$launcher"
  local stale= setting
  [ -f "$dir/build.ninja" ] || stale=1
  for setting in "$@"; do
    [ "$(cache_value "$dir" "${setting%%=*}")" = "${setting#*=}" ] || stale=1
  done
  [ -z "$stale" ] && return 0
  if [ -f "$dir/CMakeCache.txt" ]; then
    local toolchain=
    for setting in "$@"; do [[ "$setting" == CMAKE_TOOLCHAIN_FILE=* ]] && toolchain=${setting#*=}; done
    if [ "$(cache_value "$dir" CMAKE_GENERATOR)" != Ninja ] ||
       [ "$(cache_value "$dir" CMAKE_TOOLCHAIN_FILE)" != "$toolchain" ]; then
      echo "configure: $dir was made with another generator or toolchain: configuring it from scratch"
      rm -rf "$dir"
    else
      echo "configure: $dir differs from what the tests need: configuring it again"
    fi
  fi
  cmake -S . -B "$dir" -G Ninja "${@/#/-D}" >/dev/null
}
