#!/usr/bin/env bash
# `npkeystrand` for the page tests, run as the Windows host under Wine: the integration suites
# start this in place of build/<preset>/bin/npkeystrand (NPK_HOST) with the DLL as --plugin.
#
# NPK_WINE_EXE names npkeystrand.exe and WINEPREFIX the 32-bit prefix (tools/wine-prefix.sh).
# Unix paths reach the Windows side unchanged: Wine runs the program on drive Z:, which is /.
#
# What this does beyond starting the program is the test setup that Wine's gaps need, never a
# change to what the plug-in does:
#  - each test has a HOME of its own; the first time a HOME is seen, the prefix's certificate
#    stores and key containers are emptied, as a fresh HOME empties them on Linux;
#  - `store import` gets --csp with the AES provider, because Wine's PFXImportCertStore keeps
#    the key under key spec 3 in the RSA full provider, where it neither signs nor hashes
#    SHA-256; on Windows the key would be an exchange key of the AES provider.
set -u
: "${NPK_WINE_EXE:?NPK_WINE_EXE names npkeystrand.exe}"
: "${WINEPREFIX:?WINEPREFIX names the Wine prefix}"
export WINEPREFIX WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

aes_provider="Microsoft Enhanced RSA and AES Cryptographic Provider"

if [ -n "${HOME:-}" ] && [ -d "$HOME" ] && [ ! -e "$HOME/.npk-wine-stores" ]; then
  for key in 'HKCU\Software\Microsoft\SystemCertificates' 'HKCU\Software\Wine\Crypto\RSA'; do
    wine reg delete "$key" /f >/dev/null 2>&1 || true
  done
  : > "$HOME/.npk-wine-stores"
fi

args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  if [ "${args[i]}" = store ] && [ "${args[i + 1]:-}" = import ]; then
    args+=(--csp "$aes_provider")
    break
  fi
done
exec wine "$NPK_WINE_EXE" "${args[@]}"
