#!/usr/bin/env bash
# Checks a Windows binary against the PDB a debugger would load for it:
#   check-pdb.sh IMAGE [FUNCTION...]
# The image's CodeView debug record names the PDB by its file name alone; that
# file lies beside the image and carries the record's GUID and age; and each
# FUNCTION given is in it as a procedure with its type and as a public symbol
# (RF_OPEN, or _RF_OPEN@8 in a 32-bit image). Prints one line, exits 1 on a mismatch.
# Needs llvm-readobj and llvm-pdbutil (apt-get install llvm).
set -euo pipefail

image=${1:?usage: check-pdb.sh IMAGE [FUNCTION...]}
shift
tool() { command -v "$1" || command -v "$1-14" || { echo "check-pdb.sh: $1 is missing (apt-get install llvm)" >&2; exit 2; }; }
readobj=$(tool llvm-readobj)
pdbutil=$(tool llvm-pdbutil)
fail() { echo "FAILED: $(basename "$image"): $*"; exit 1; }

record=$("$readobj" --coff-debug-directory "$image")
name=$(echo "$record" | sed -n 's/^ *PDBFileName: //p')
age=$(echo "$record" | sed -n 's/^ *PDBAge: //p')
read -r -a bytes < <(echo "$record" | sed -n 's/^ *PDBGUID: (\(.*\))$/\1/p') || true
[ "${#bytes[@]}" -eq 16 ] && [ -n "$name" ] || fail "no CodeView debug record"
case $name in */* | *\\*) fail "the record names the PDB by a path ($name), not by a file name" ;; esac
pdb=$(dirname "$image")/$name
[ -f "$pdb" ] || fail "$name is not beside it"

# The record holds the GUID's bytes as stored; the PDB prints it as a GUID,
# whose first three fields are little-endian.
guid="{${bytes[3]}${bytes[2]}${bytes[1]}${bytes[0]}-${bytes[5]}${bytes[4]}-${bytes[7]}${bytes[6]}-"
guid+="${bytes[8]}${bytes[9]}-$(printf '%s' "${bytes[@]:10}")}"
summary=$("$pdbutil" dump -summary "$pdb")
grep -qx "  GUID: $guid" <<<"$summary" && grep -qx "  Age: $age" <<<"$summary" ||
  fail "$name is not its PDB (the image asks for GUID $guid, age $age; the PDB has GUID" \
       "$(sed -n 's/^  GUID: //p' <<<"$summary"), age $(sed -n 's/^  Age: //p' <<<"$summary"))"

if [ $# -gt 0 ]; then
  procedures=$("$pdbutil" dump -symbols "$pdb" | sed -n 's/.*S_GPROC32 .*`\(.*\)`$/\1/p')
  publics=$("$pdbutil" dump -publics "$pdb" | sed -n 's/.*S_PUB32 .*`\(.*\)`$/\1/p')
  for function in "$@"; do
    grep -qx "$function" <<<"$procedures" || fail "$name has no procedure $function"
    grep -qxE "_?$function(@[0-9]+)?" <<<"$publics" || fail "$name has no public symbol $function"
  done
fi
echo "ok: $(basename "$image") names $name (GUID $guid, age $age)${1:+, which holds $*}"
