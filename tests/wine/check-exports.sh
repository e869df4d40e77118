#!/usr/bin/env bash
# Checks the export and import tables of the built library against the exact
# lists the library promises.
#   check-exports.sh so    build/native/libpelvane.so
#   check-exports.sh dll32 build/win32/pelvane.dll [libpelvane.dll.a] [implib_client.exe]
#   check-exports.sh dll64 build/win64/pelvane.dll
set -uo pipefail

kind=${1:?kind: so, dll32 or dll64}
lib=${2:?library path}
status=0

c_functions="PV_SetLineSpeed PV_SetPortDevice PV_SetTraceSink RF_CLOSE RF_COMMAND RF_OPEN RW_Activate RW_Close
RW_Deactivate RW_Eject RW_Insert RW_Open RW_Sense RW_Transmit"
gcc_members="_ZN8CPelvaneC1Ev _ZN8CPelvaneaSEOS_ _ZN8CPelvaneaSERKS_"
msvc32_members='??0CPelvane@@QAE@XZ ??4CPelvane@@QAEAAV0@$$QAV0@@Z ??4CPelvane@@QAEAAV0@ABV0@@Z'
msvc64_members='??0CPelvane@@QEAA@XZ ??4CPelvane@@QEAAAEAV0@$$QEAV0@@Z ??4CPelvane@@QEAAAEAV0@AEBV0@@Z'
allowed_imports="kernel32.dll msvcrt.dll setupapi.dll winmm.dll"

sorted() { tr ' ' '\n' | sed '/^$/d' | LC_ALL=C sort -u; }

compare() {  # what, expected list, actual list
  local what=$1 expected actual
  expected=$(echo "$2" | tr '\n' ' ' | sorted)
  actual=$(echo "$3" | tr '\n' ' ' | sorted)
  if [ "$expected" = "$actual" ]; then
    echo "ok: $what ($(echo "$actual" | wc -l) names)"
  else
    echo "FAILED: $what differ (< expected, > actual):"
    diff <(echo "$expected") <(echo "$actual") | grep '^[<>]'
    status=1
  fi
}

[ -f "$lib" ] || { echo "FAILED: $lib not found"; exit 1; }

# Export names from `objdump -p`: the lines of the [Ordinal/Name Pointer] Table.
dll_exports() {
  "$1" -p "$2" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF==0 {on=0} on {print $NF}'
}
# DLL names the image imports.
dll_imports() { "$1" -p "$2" | awk '/DLL Name:/ {print tolower($3)}'; }
# Names imported from one DLL.
names_from() {
  "$1" -p "$2" | awk -v dll="$3" '
    /DLL Name:/ {on = (tolower($3) == dll); getline; next}
    on && NF == 0 {on = 0}
    on && NF >= 3 {print $NF}'
}
check_imports() {  # objdump, image
  local bad
  bad=$(dll_imports "$1" "$2" | while read -r d; do
    case " $allowed_imports " in *" $d "*) ;; *) echo "$d" ;; esac
  done)
  if [ -z "$bad" ]; then
    echo "ok: $(basename "$2") imports only $(dll_imports "$1" "$2" | tr '\n' ' ')"
  else
    echo "FAILED: $(basename "$2") imports $bad"
    status=1
  fi
}

# The pause's timer calls and its fallback, the waits on a pipe's event beside the
# timer, and the monotonic clock must be in the import table; CreateWaitableTimerExW
# must not (Windows before Vista would refuse to load the DLL: it is looked up at run
# time), nor the C run-time clock (it follows the system time).
check_timer_imports() {  # objdump, image
  local names missing="" refused=""
  names=$(names_from "$1" "$2" kernel32.dll; names_from "$1" "$2" winmm.dll)
  for name in GetProcAddress SetWaitableTimer CancelWaitableTimer WaitForMultipleObjects \
      QueryPerformanceCounter timeBeginPeriod timeEndPeriod; do
    echo "$names" | grep -qx "$name" || missing="$missing $name"
  done
  names="$names
$(names_from "$1" "$2" msvcrt.dll)"
  for name in CreateWaitableTimerExW clock GetTickCount64; do
    echo "$names" | grep -qx "$name" && refused="$refused $name"
  done
  if [ -z "$missing$refused" ]; then
    echo "ok: $(basename "$2") imports the timer calls and the clock it needs, and none newer"
    return
  fi
  [ -n "$missing" ] && echo "FAILED: $(basename "$2") does not import$missing"
  [ -n "$refused" ] && echo "FAILED: $(basename "$2") imports$refused (looked up at run time or not used)"
  status=1
}

case "$kind" in
  so)
    actual=$(nm -D --defined-only "$lib" | awk '{print $NF}')
    compare "libpelvane.so dynamic symbols" "$c_functions $gcc_members _ZN8CPelvaneC2Ev" "$actual"
    ;;
  dll32)
    od=i686-w64-mingw32-objdump
    compare "pelvane.dll (32-bit) exports" "$c_functions _DllMain@12 $gcc_members $msvc32_members" \
      "$(dll_exports $od "$lib")"
    check_imports $od "$lib"
    check_timer_imports $od "$lib"
    implib=${3:-}
    if [ -n "$implib" ]; then
      # __stdcall callers link against the decorated names.
      actual=$(i686-w64-mingw32-nm "$implib" | awk '$2 == "T" {print $3}')
      expected=$(for f in RF_OPEN@8 RF_CLOSE@4 RF_COMMAND@12 RW_Open@4 RW_Close@4 RW_Activate@20 \
        RW_Deactivate@12 RW_Eject@8 RW_Insert@8 RW_Sense@16 RW_Transmit@28 PV_SetTraceSink@4 \
        PV_SetPortDevice@8 PV_SetLineSpeed@8; do echo "_$f"; done; for m in $gcc_members; do echo "_$m"; done; echo "$msvc32_members")
      compare "libpelvane.dll.a link names" "$expected" "$actual"
    fi
    client=${4:-}
    if [ -n "$client" ]; then
      compare "names a linked client asks pelvane.dll for" "$c_functions" \
        "$(names_from $od "$client" pelvane.dll)"
    fi
    ;;
  dll64)
    od=x86_64-w64-mingw32-objdump
    # No _DllMain@12: the 32-bit decoration of the entry point has no place in a 64-bit DLL.
    compare "pelvane.dll (64-bit) exports, without _DllMain@12" "$c_functions $gcc_members $msvc64_members" \
      "$(dll_exports $od "$lib")"
    check_imports $od "$lib"
    check_timer_imports $od "$lib"
    ;;
  *)
    echo "unknown kind $kind"; exit 2 ;;
esac
exit $status
