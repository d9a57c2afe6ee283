#!/usr/bin/env bash
# Makes the 32-bit Wine prefix the Windows tests run in, once: WINEPREFIX (default
# build/wine-prefix). No Mono or Gecko (nothing here needs them, and their installers would
# ask), no debugger on a crash (a crashing page fails its own test and nothing waits).
set -euo pipefail
prefix=${WINEPREFIX:-$PWD/build/wine-prefix}
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
if [ -f "$prefix/system.reg" ] && [ -f "$prefix/.npk-ready" ]; then
  exit 0
fi
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
echo "Making the Wine prefix $prefix"
env -u DISPLAY -u WAYLAND_DISPLAY wineboot -i >/dev/null 2>&1
env -u DISPLAY wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 1 /f >/dev/null 2>&1
env -u DISPLAY wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
# The picker asks for "Microsoft YaHei"; Debian's CJK face stands in for it, as on Linux.
env -u DISPLAY wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft YaHei' /t REG_SZ /d 'Noto Sans CJK SC' /f >/dev/null 2>&1
wineserver -w
touch "$prefix/.npk-ready"
