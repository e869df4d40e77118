#!/usr/bin/env bash
# scripts/install-deps.sh's decisions, against a stand-in for apt-get, dpkg and
# dpkg-query that keeps its packages in a folder: nothing on the machine changes.
# One row per situation; each checks the group lines, the calls made and the exit status.
set -uo pipefail
installer=$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-deps.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stand-in. STATE/installed lists the installed packages, STATE/calls what was run.
#   FAKE_UPDATE_FAILS  how many updates fail on the i386 security index (or "always")
#   FAKE_BROKEN        packages apt cannot locate
#   FAKE_POLICY        candidates apt-cache gives, "pkg:arch=version ..."; each pkg:amd64 named
#                      there is installed, and libfoo:i386 is in the loader's dependencies
cat >"$work/fake" <<'FAKE'
#!/usr/bin/env bash
s=$FAKE_STATE
case $(basename "$0") in
  dpkg-query) grep -qx -- "${!#}" "$s/installed" && echo "install ok installed" ;;
  dpkg)
    echo "dpkg $*" >>"$s/calls"
    case $1 in
      --print-foreign-architectures) cat "$s/archs" ;; --add-architecture) echo "$2" >>"$s/archs" ;;
      --print-architecture) echo amd64 ;;
    esac ;;
  apt-cache)
    case $1 in
      depends) printf 'wine32:i386\n  Depends: libfoo:i386\nlibfoo:i386\n' ;;
      policy) for c in $FAKE_POLICY; do [ "${c%%=*}" = "$2" ] && echo "  Candidate: ${c#*=}"; done ;;
    esac ;;
  apt-helper) echo "apt-helper $*" >>"$s/calls"; : >"$3" ;;
  dpkg-deb) f=$(basename "$2" .deb); printf 'Package: %s\nVersion: 2\nArchitecture: i386\n' "$f" ;;
  apt-get)
    [ "$1" = -o ] && shift 2
    echo "apt-get $*" >>"$s/calls"
    if [ "$1" = download ]; then echo "'http://deb.example/pool/${3%%:*}_${3#*=}_amd64.deb' x 1 SHA256:0"; exit 0; fi
    if [ "$1" = update ]; then
      n=$(grep -c '^apt-get update' "$s/calls")
      if [ "$FAKE_UPDATE_FAILS" = always ] || [ "$n" -le "$FAKE_UPDATE_FAILS" ]; then
        echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        touch "$s/i386-broken"; exit 100
      fi
      rm -f "$s/i386-broken"; exit 0
    fi
    shift 3  # install -y -q
    for p in "$@"; do
      [[ " $FAKE_BROKEN " == *" $p "* ]] && { echo "E: Unable to locate package $p"; exit 100; }
      [[ $p == *:i386 && -f $s/i386-broken && " $* " != *".deb "* ]] &&
        { echo "E: Unable to correct problems, you have held broken packages."; exit 100; }
    done
    printf '%s\n' "$@" >>"$s/installed" ;;
esac
FAKE
chmod +x "$work/fake"
for tool in apt-get apt-cache apt-helper dpkg dpkg-query dpkg-deb; do ln -s fake "$work/$tool"; done

# Every package of every group but the 32-bit loader, as the installer lists them.
all=$(sed -n -E 's/^packages\[(native|cross|libnfc|wine64|mono)\]="(.*)"$/\2/p' "$installer" | tr '\n' ' ')
[ -n "$all" ] || { echo "FAIL: no package groups found in $installer"; exit 1; }

passed=0
failed=0
# row NAME EXIT INSTALLED UPDATE_FAILS BROKEN RUNS_32BIT UID PROFILE -- EXPECTED...
# An expected text is a fixed string the output (or, after "calls:", the calls) must
# hold; with a leading "!" it must not.
row() {
  local name=$1 want=$2 installed=$3 fails=$4 broken=$5 runs32=$6 uid=$7 profile=$8
  shift 9
  local state=$work/$name
  mkdir -p "$state" && : >"$state/calls" && : >"$state/archs"
  tr ' ' '\n' <<<"$installed" >"$state/installed"
  local out=$state/out rc
  FAKE_STATE=$state FAKE_UPDATE_FAILS=$fails FAKE_BROKEN=$broken FAKE_POLICY=${policy:-} APT_GET=$work/apt-get DPKG=$work/dpkg \
    APT_CACHE=$work/apt-cache APT_HELPER=$work/apt-helper DPKG_DEB=$work/dpkg-deb \
    DPKG_QUERY=$work/dpkg-query PELVANE_PROBE32=$runs32 PELVANE_UID=$uid PELVANE_APT_PAUSE=0 \
    "$installer" "$profile" >"$out" 2>&1
  rc=$?
  local bad= text file
  [ "$rc" -eq "$want" ] || bad+="exit status $rc, not $want; "
  for text in "$@"; do
    file=$out
    [[ $text == calls:* ]] && { file=$state/calls; text=${text#calls:}; }
    if [[ $text == !* ]]; then
      grep -qF -- "${text#!}" "$file" && bad+="has '${text#!}'; "
    else
      grep -qF -- "$text" "$file" || bad+="lacks '$text'; "
    fi
  done
  if [ -z "$bad" ]; then
    passed=$((passed + 1)); echo "ok: $name"
  else
    failed=$((failed + 1)); echo "FAIL: $name: $bad"; sed 's/^/    /' "$out"; sed 's/^/    calls: /' "$state/calls"
  fi
}

#   name                    exit installed update-fails broken          32-bit uid profile
row fresh_i386_index_broken 0    ""        always       ""              false  0   all -- \
  "bookworm-security main binary-i386 Packages.xz: File has unexpected size" "going on with the indexes apt has" \
  "group native (native build): installed" "group cross (cross compilers and LLVM tools): installed" \
  "group libnfc (libnfc): installed" "group wine64 (Wine 64-bit): installed" "group mono (Mono): installed" \
  "group wine32 (32-bit Wine loader): left out: this kernel does not run 32-bit programs" \
  "calls:apt-get install -y -q mono-mcs mono-runtime mono-devel" "!calls:--add-architecture" "!calls:wine32"
row one_group_fails         1    ""        0            "libnfc-bin"    false  0   all -- \
  "group libnfc (libnfc): could not be installed: E: Unable to locate package libnfc-bin" \
  "group native (native build): installed" "group wine64 (Wine 64-bit): installed" \
  "group mono (Mono): installed" "!could not fetch"
row loader_index_broken     0    "$all"    always       ""              true   0   all -- \
  "this kernel runs 32-bit programs" "calls:dpkg --add-architecture i386" \
  "group wine32 (32-bit Wine loader): could not be installed: E: Unable to correct problems" \
  "an index could not be fetched" "group mono (Mono): already there"
# The i386 index lags: the loader comes with the i386 build of the amd64 version from the pool.
policy="libfoo:i386=1 libfoo:amd64=2" \
row loader_from_pool        0    "$all libfoo:amd64" always     ""              true   0   all -- \
  "group wine32 (32-bit Wine loader): installed" "with the i386 builds of libfoo fetched from the pool" \
  "calls:apt-helper download-file https://deb.example/pool/libfoo_2_i386.deb" \
  "calls:--no-install-recommends" "calls:libfoo:amd64=2 wine32:i386"
row loader_second_update    0    "$all"    1            ""              true   0   all -- \
  "group wine32 (32-bit Wine loader): installed" "update failed (try 1 of 3)" "!could not fetch"
row everything_there        0    "$all"    always       ""              false  0   all -- \
  "group native (native build): already there" "group mono (Mono): already there" "!calls:apt-get"
row not_root                2    "cmake"   0            ""              false  1000 all -- \
  "nothing was installed" "apt-get install -y ninja-build" "group cross (cross compilers and LLVM tools): not installed: needs root" \
  "!calls:apt-get" "!calls:dpkg"
row not_root_only_loader    0    "$all"    0            ""              true   1000 all -- \
  "dpkg --add-architecture i386 && apt-get update && apt-get install -y wine32:i386" "!calls:"
row demo_profile            0    ""        0            "wine64"        true   0   native -- \
  "group native (native build): installed" "!group cross" "!group wine32" "!kernel"

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
