#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, as root, one group at a
# time, so that a group apt cannot install leaves the others installed:
#   native   compiler, CMake, Ninja, ccache, GoogleTest, CLI11, Python, pkg-config, script(1)
#            (all the demo needs)
#   cross    MinGW cross compilers (their run-times, libstdc++ and binutils), clang with its
#            sanitizer and fuzzing run-times, lld and LLVM's tools (the Windows builds and
#            their PDBs), zip, unzip, pip and venv (ThreadSanitizer, fuzzers, the release
#            packages)
#   libnfc   libnfc's tools, examples and library (the libnfc test, the benchmark)
#   wine64   Wine with its 64-bit loader, and socat (two linked pseudo-terminals as a COM pair)
#   mono     the C# compiler with its reference assemblies, and the run-time (the C#
#            binding and the NuGet package)
#   wine32   the 32-bit Wine loader, last, and only where the kernel runs 32-bit programs
#            (tried first with a tiny static i386 program); the i386 architecture is added
#            for it then. Where a lagging i386 index makes apt refuse it, the i386 builds of
#            the amd64 library versions are fetched from the pool (see wine32_from_pool)
#
#   install-deps.sh [native|all]      (default all)
#
# Ends with one line per group, "group KEY (what): OUTCOME", the outcome being installed,
# already there, could not be installed (apt's reason), or left out (why).
# Exit status: 0 when every group asked for is there (the 32-bit loader may be missing: a
# limit of the machine, not a failure); 1 when another group could not be installed; 2
# when packages are missing and it does not run as root: then it installs nothing and
# lists what to install.
#
# apt-get update is tried up to PELVANE_APT_TRIES times (3), PELVANE_APT_PAUSE seconds (15)
# apart; an index that stays broken is named, and the groups are installed from the
# indexes apt has. The tools come from the environment, so that the decisions can be
# tested without touching the machine: APT_GET (apt-get), DPKG (dpkg), DPKG_QUERY
# (dpkg-query), APT_CACHE (apt-cache), APT_HELPER (apt's download helper), DPKG_DEB (dpkg-deb),
# PELVANE_PROBE32 (a command that succeeds where 32-bit programs run;
# default the i386 program below), PELVANE_UID (the user id; default id -u).
set -uo pipefail

profile=${1:-all}
apt_get=${APT_GET:-apt-get}
dpkg=${DPKG:-dpkg}
dpkg_query=${DPKG_QUERY:-dpkg-query}
apt_cache=${APT_CACHE:-apt-cache}
apt_helper=${APT_HELPER:-/usr/lib/apt/apt-helper}
dpkg_deb=${DPKG_DEB:-dpkg-deb}
tries=${PELVANE_APT_TRIES:-3}
pause=${PELVANE_APT_PAUSE:-15}
uid=${PELVANE_UID:-$(id -u)}

case $profile in
  native) keys=(native) ;;
  all) keys=(native cross libnfc wine64 mono wine32) ;;
  *) echo "usage: install-deps.sh [native|all]" >&2; exit 64 ;;
esac

declare -A title packages
title[native]="native build"
packages[native]="cmake ninja-build ccache g++ libgtest-dev libcli11-dev python3 pkgconf bsdutils"
title[cross]="cross compilers and LLVM tools"
packages[cross]="g++-mingw-w64-i686 g++-mingw-w64-x86-64 clang libclang-rt-14-dev llvm lld zip unzip python3-pip python3-venv"
title[libnfc]="libnfc"
packages[libnfc]="libnfc-bin libnfc-examples libnfc-dev"
title[wine64]="Wine 64-bit"
packages[wine64]="wine wine64 socat"
title[mono]="Mono"
packages[mono]="mono-mcs mono-runtime mono-devel"
title[wine32]="32-bit Wine loader"
packages[wine32]="wine32:i386"

say() { echo "packages: $*"; }

have() { "$dpkg_query" -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# A static i386 program of 93 bytes (ELF header, one loadable segment, then
# xor ebx,ebx; mov bl,42; xor eax,eax; inc eax; int 0x80: exit(42)). It needs no
# i386 package, so it tells on a fresh machine whether the kernel executes 32-bit code.
probe_32bit() {
  if [ -n "${PELVANE_PROBE32:-}" ]; then
    probe_said=$(bash -c "$PELVANE_PROBE32" 2>&1)
    return
  fi
  local dir rc
  dir=$(mktemp -d) || return 1
  local elf='\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0'
  elf+='\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\135\0\0\0\135\0\0\0'
  elf+='\5\0\0\0\0\20\0\0\61\333\263\52\61\300\100\315\200'
  # shellcheck disable=SC2059  # the format is the program's bytes
  printf "$elf" >"$dir/probe"
  chmod +x "$dir/probe"
  probe_said=$("$dir/probe" 2>&1)
  rc=$?
  rm -rf "$dir"
  [ "$rc" -eq 42 ] && return 0
  probe_said=${probe_said##*: }  # the shell's "...: Exec format error" or the like
  [ -n "$probe_said" ] || probe_said="exit code $rc"
  return 1
}

# ---- what is wanted, and what of it is missing ----
declare -A missing outcome
any=
left_out=
for key in "${keys[@]}"; do
  if [ "$key" = wine32 ]; then
    if probe_32bit; then
      say "this kernel runs 32-bit programs: the 32-bit Wine loader is wanted"
    else
      left_out="this kernel does not run 32-bit programs (${probe_said:-refused})"
      say "$left_out: the 32-bit Wine loader is left out, 64-bit programs run under wine64"
      outcome[wine32]="left out: $left_out"
      have wine32:i386 && outcome[wine32]="already there, though $left_out"
      continue
    fi
  fi
  need=
  for p in ${packages[$key]}; do have "$p" || need+=" $p"; done
  if [ -n "$need" ]; then missing[$key]=${need# }; any=1; else outcome[$key]="already there"; fi
done

summary() {
  local key
  for key in "${keys[@]}"; do echo "group $key (${title[$key]}): ${outcome[$key]}"; done
}

[ -z "$any" ] && { summary; exit 0; }

# ---- without root: say what to install, install nothing ----
if [ "$uid" != 0 ]; then
  all=
  for key in "${keys[@]}"; do
    [ -n "${missing[$key]:-}" ] || continue
    outcome[$key]="not installed: needs root (${missing[$key]})"
    [ "$key" = wine32 ] || all+=" ${missing[$key]}"
  done
  if [ -n "$all" ]; then
    echo "Packages are missing, and this does not run as root: nothing was installed. Either run"
    echo "this command as root (it installs them itself), or as root:"
    echo "    apt-get update && apt-get install -y${all}"
  fi
  if [ -n "${missing[wine32]:-}" ]; then
    echo "The 32-bit Wine loader is missing: the 32-bit Windows programs are skipped without it."
    echo "To have it, as root:"
    echo "    dpkg --add-architecture i386 && apt-get update && apt-get install -y wine32:i386"
  fi
  summary
  [ -z "$all" ] && exit 0
  exit 2
fi

# ---- as root: update the indexes, then install group by group ----
export DEBIAN_FRONTEND=noninteractive
# Another apt or dpkg at work (an unattended upgrade, a second install) is waited for.
wait_lock=(-o DPkg::Lock::Timeout=600)
if [ -n "${missing[wine32]:-}" ] && ! "$dpkg" --print-foreign-architectures | grep -qx i386; then
  say "adding the i386 architecture for the 32-bit Wine loader"
  "$dpkg" --add-architecture i386
fi

log=$(mktemp /tmp/pelvane-deps.XXXXXX)
trap 'rm -f "$log"' EXIT
updated=
for try in $(seq 1 "$tries"); do
  "$apt_get" "${wait_lock[@]}" update -qq >"$log" 2>&1 && { updated=1; break; }
  if [ "$try" -lt "$tries" ]; then
    say "apt-get update failed (try $try of $tries); trying again in $pause s"
    sleep "$pause"
  fi
done
# "E: Failed to fetch http://.../dists/SUITE/COMPONENT/binary-ARCH/FILE  REASON [IP: ...]",
# or W: where apt went on without the index and succeeded.
broken=$(sed -n 's#^[EW]: Failed to fetch [^ ]*/dists/\([^ ]*\)  *\(.*\)#\1: \2#p' "$log" |
         sed -e 's/ *\[IP: [^]]*\]$//' -e 's#^\([^/]*\)/\([^/]*\)/\([^/:]*\)/#\1 \2 \3 #')
[ -z "$broken" ] && [ -z "$updated" ] && broken=$(grep '^E: ' "$log" || tail -n 3 "$log")
if [ -n "$broken" ]; then
  say "apt-get update could not fetch, after $try tries:"
  echo "$broken" | sed 's/^/    /'
  say "going on with the indexes apt has"
fi

# ---- the 32-bit loader from a mirror whose i386 index lags ----
# A mirror that has not finished syncing can serve a suite's i386 index older than its amd64
# index (the broken security index above). An i386 library then has another version than the
# same library installed for amd64, and apt refuses the pair ("generated breaks", "held broken
# packages"). The i386 build of the amd64 version sits in the pool beside the amd64 file: it is
# fetched from there over HTTPS, checked to be that package, version and architecture, and
# installed with the amd64 package at that version and the loader without its recommends
# (graphics and sound libraries the tests do not use, which would meet the same lag).
candidate() { "$apt_cache" policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p' | head -n 1; }

wine32_from_pool() {
  local arch dir p name ci ca uri got fetched= wanted=()
  arch=$("$dpkg" --print-architecture)
  dir=$(mktemp -d /tmp/pelvane-i386.XXXXXX) || return 1
  for p in $("$apt_cache" depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
               --no-replaces --no-enhances wine32:i386 2>/dev/null | grep -x '[^ ]*:i386' | sort -u); do
    name=${p%:i386}
    have "$name:$arch" || continue
    ci=$(candidate "$p")
    ca=$(candidate "$name:$arch")
    [ -n "$ca" ] && [ "$ci" != "$ca" ] || continue
    uri=$("$apt_get" download --print-uris "$name:$arch=$ca" 2>/dev/null |
          sed -n "s/^'[a-z]*:\/\/\([^']*\)_$arch\.deb' .*/https:\/\/\1_i386.deb/p" | head -n 1)
    got=$("$apt_helper" download-file "$uri" "$dir/$name.deb" >/dev/null 2>&1 &&
          "$dpkg_deb" -f "$dir/$name.deb" Package Version Architecture | paste -sd ' ' -)
    if [ -z "$uri" ] || [ "$got" != "Package: $name Version: $ca Architecture: i386" ]; then
      say "the i386 build of $name $ca could not be fetched${uri:+ from $uri}"
      rm -rf "$dir"
      return 1
    fi
    fetched+=" $name"
    wanted+=("$name:$arch=$ca")
  done
  if [ -z "$fetched" ]; then
    say "no i386 library lags its amd64 version: nothing to fetch from the pool"
    rm -rf "$dir"
    return 1
  fi
  say "fetched from the pool at the amd64 versions:$fetched"
  "$apt_get" "${wait_lock[@]}" install -y -q --no-install-recommends "$dir"/*.deb "${wanted[@]}" wine32:i386 \
    >"$log" 2>&1
  local rc=$?
  rm -rf "$dir"
  [ "$rc" -eq 0 ] && pool_note="with the i386 builds of$fetched fetched from the pool"
  return "$rc"
}

failed=
for key in "${keys[@]}"; do
  [ -n "${missing[$key]:-}" ] || continue
  say "installing ${title[$key]}: ${missing[$key]}"
  t0=$SECONDS
  # shellcheck disable=SC2086
  "$apt_get" "${wait_lock[@]}" install -y -q ${missing[$key]} >"$log" 2>&1
  rc=$?
  pool_note=
  if [ "$rc" -ne 0 ] && [ "$key" = wine32 ] && grep -qE 'generated breaks|held broken packages' "$log"; then
    cp "$log" "$log.first"
    say "the 32-bit Wine loader's i386 libraries do not match their amd64 versions; trying their"
    say "i386 builds from the pool"
    wine32_from_pool && rc=0 || cp "$log.first" "$log"
    rm -f "$log.first"
  fi
  if [ "$rc" -eq 0 ]; then outcome[$key]="installed ($((SECONDS - t0)) s${pool_note:+, $pool_note})"; continue; fi
  tail -n 15 "$log" | sed 's/^/    /'
  reason=$(grep '^E: ' "$log" | paste -sd ' ' -)  # apt's error lines; its account is above
  [ -n "$reason" ] || reason="apt-get exit code $rc"
  [ -n "$broken" ] && reason+="; an index could not be fetched, see above"
  outcome[$key]="could not be installed: $reason"
  [ "$key" = wine32 ] || failed=1
done

summary
[ -z "$failed" ]
