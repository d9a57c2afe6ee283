#!/usr/bin/env bash
# Checks the cross-built DLL: exactly the four NPAPI exports, undecorated; no dependency on
# the compiler's runtime DLLs; the version resource and the string tables are present. The
# Windows host beside it, when there is one, must not need the compiler's runtime either.
set -euo pipefail
dll=${1:?usage: check-windows-dll.sh DLL}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

[ -f "$dll" ] || { echo "missing: $dll" >&2; exit 1; }
dump=$("$objdump" -p "$dll")

exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF; next} t&&/^$/{t=0}' <<<"$dump" | sort)
expected=$(printf '%s\n' NP_GetEntryPoints NP_GetMIMEDescription NP_Initialize NP_Shutdown)
if [ "$exports" != "$expected" ]; then
  echo "exports differ from the four NPAPI entry points:" >&2
  echo "$exports" >&2
  exit 1
fi

if grep -Eiq 'DLL Name: (libgcc|libstdc|libwinpthread)' <<<"$dump"; then
  echo "the DLL depends on the compiler's runtime:" >&2
  grep -Ei 'DLL Name' <<<"$dump" >&2
  exit 1
fi

# Resource texts are UTF-16LE in the .rsrc section.
utf16hex() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -d ' \n'; }
for text in "application/npKeystrand.Standard.x86" "3.2.0.3" "npKeystrand.Standard.x86.dll" \
            "Certificate is not ready." "证书没有准备好" "인증서가 준비되지 않았습니다"; do
  if ! perl -e 'local $/; open(my $f, "<:raw", $ARGV[0]) or die; my $d = <$f>; exit(index($d, pack("H*", $ARGV[1])) >= 0 ? 0 : 1)' "$dll" "$(utf16hex "$text")"; then
    echo "resource text not found in the DLL: $text" >&2
    exit 1
  fi
done

machine=$(grep -m1 -o 'file format [a-z0-9-]*' <<<"$dump" || true)
echo "ok: $dll ($machine), exports: $(tr '\n' ' ' <<<"$exports")"

# The Windows host built beside it runs from a bare directory too: no compiler runtime DLLs,
# and it reaches the plug-in through LoadLibrary, never by linking it.
exe=$(dirname "$dll")/npkeystrand.exe
if [ -f "$exe" ]; then
  imports=$("$objdump" -p "$exe" | awk '/DLL Name:/{print $3}')
  if grep -Eiq '^(libgcc|libstdc|libwinpthread|npKeystrand)' <<<"$imports"; then
    echo "$exe depends on a DLL it must not link:" >&2
    echo "$imports" >&2
    exit 1
  fi
  echo "ok: $exe, imports: $(sort -f <<<"$imports" | tr '\n' ' ')"
fi
