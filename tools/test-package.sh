#!/usr/bin/env bash
# Installs the Debian package into this machine with apt-get, checks that the installed files
# work on their own (a clean HOME, no build tree), runs the browser suite against the installed
# bridge and extension when it exists, then purges the package and checks that nothing of it is
# left. The package, and the packages apt-get brought in for it, are removed whatever happens.
#
# Usage: tools/test-package.sh PACKAGE.deb [BUILD_DIR]
set -uo pipefail

if [ $# -lt 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 PACKAGE.deb [BUILD_DIR]" >&2
  exit 2
fi
src=$(cd "$(dirname "$0")/.." && pwd)
deb=$(realpath "$1")
build=$(realpath "${2:-$src/build/default}")
pkg=npkeystrand
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

package_state() { dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true; }
installed_packages() { dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 != "not-installed" {print $2}' | sort; }

state=$(package_state)
if [ -n "$state" ] && [ "$state" != "not-installed" ]; then
  echo "test-package: $pkg is on this machine already ($state); purge it first: apt-get purge $pkg" >&2
  exit 2
fi

work=$(mktemp -d /tmp/npk-package.XXXXXX)
chmod 755 "$work"
installed_before="$work/packages-before"
installed_packages >"$installed_before"
: >"$work/dependencies"
brought_in() { installed_packages | comm -13 "$installed_before" - | comm -12 "$work/dependencies" -; }

removed=0
remove_package() {
  [ "$removed" -eq 1 ] && return
  removed=1
  local state
  state=$(package_state)
  if [ -n "$state" ] && [ "$state" != "not-installed" ]; then
    $SUDO apt-get purge -y -qq "$pkg" </dev/null >"$work/purge.log" 2>&1 || cat "$work/purge.log" >&2
  fi
  # What apt-get brought in for the package goes too.
  local extra
  extra=$(brought_in)
  if [ -n "$extra" ]; then
    echo "removing the packages installed with $pkg:" $extra
    # shellcheck disable=SC2086
    $SUDO apt-get purge -y -qq $extra </dev/null >>"$work/purge.log" 2>&1 || cat "$work/purge.log" >&2
  fi
}
cleanup() {
  remove_package
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Paths of the package that are not on the machine yet: after the purge, none may remain.
dpkg-deb -c "$deb" | awk '{print $NF}' | sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^/\?$' >"$work/package-paths"
: >"$work/new-paths"
while read -r p; do
  [ -e "$p" ] || [ -L "$p" ] || echo "$p" >>"$work/new-paths"
done <"$work/package-paths"

# The packages apt-get installs with ours (its dependencies that were missing), as it plans them.
# On a fresh machine the package lists may be missing or old.
plan() { $SUDO apt-get install -s -y --no-install-recommends "$deb" </dev/null >"$work/plan" 2>&1; }
plan || { $SUDO apt-get update -qq </dev/null >/dev/null 2>&1; plan; } || { cat "$work/plan" >&2; exit 1; }
awk '/^Inst / {print $2}' "$work/plan" | grep -vx "$pkg" | sort >"$work/dependencies"

echo "== installing $deb"
if [ -s "$work/dependencies" ]; then echo "with:" $(cat "$work/dependencies"); fi
if ! $SUDO apt-get install -y -qq --no-install-recommends "$deb" </dev/null >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  echo "FAIL: apt-get install $deb" >&2
  exit 1
fi
[ "$(package_state)" = installed ] && pass "apt-get install" || fail "apt-get install left the package $(package_state)"
dpkg -L "$pkg" | sort >"$work/listed"

echo "== installed files"
has_bridge=0
has_extension=0
grep -qx /usr/bin/npkeystrand-bridge "$work/listed" && has_bridge=1
grep -qx /usr/share/npkeystrand/extension/manifest.json "$work/listed" && has_extension=1
expected=(/usr/bin/npkeystrand /usr/lib/mozilla/plugins/libnpKeystrand.so /usr/share/man/man1/npkeystrand.1.gz
  /usr/share/doc/npkeystrand/copyright /usr/share/doc/npkeystrand/changelog.gz
  /usr/share/doc/npkeystrand/examples/demo.js /usr/share/doc/npkeystrand/examples/tests/data/signer.pfx)
before=$failures
for f in "${expected[@]}"; do
  [ -f "$f" ] && grep -qx "$f" "$work/listed" || fail "$f is not installed by the package"
done
nformats=$(grep -c '^/usr/share/npkeystrand/formats/.*\.fmt$' "$work/listed")
[ "$nformats" -eq "$(ls "$src"/trace/formats/*.fmt | wc -l)" ] || fail "$nformats format texts installed"
[ "$failures" -eq "$before" ] &&
  pass "the host, the plug-in, $nformats format texts, the man page, the examples and the copyright"
[ "$has_bridge" -eq 1 ] && pass "the bridge is installed" || echo "note: no bridge in this package"
[ "$has_extension" -eq 1 ] && pass "the extension is installed" || echo "note: no extension in this package"
[ "$(stat -c %a /usr/lib/mozilla/plugins/libnpKeystrand.so)" = 644 ] || fail "the plug-in is not mode 0644"

# Nothing installed names the build or source tree, and no binary carries a run path.
leaks=0
while read -r f; do
  [ -f "$f" ] && [ ! -L "$f" ] || continue
  case "$f" in *.gz) reader=zcat ;; *) reader=cat ;; esac
  if $reader "$f" | grep -a -q -F -e "$src/" -e "$build/" -e "/work/" -e "CMakeFiles"; then
    fail "$f names the build machine's tree: $($reader "$f" | grep -a -o -F -e "$src/" -e "$build/" -e /work/ -e CMakeFiles | sort -u | head -3 | tr '\n' ' ')"
    leaks=1
  fi
  if [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ]; then
    readelf -d "$f" | grep -q -E '\((RPATH|RUNPATH)\)' && { fail "$f carries a run path"; leaks=1; }
    file -b "$f" | grep -q 'not stripped' && fail "$f is not stripped"
  fi
done <"$work/listed"
[ "$leaks" -eq 0 ] && pass "no installed file names the source or build tree or carries a run path"

# Every check below runs the installed programs in a clean environment: an empty HOME and
# nothing of the build tree.
home="$work/home"
mkdir -p "$home" "$work/run"
chmod 700 "$work/run"
clean() { env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$work/run" LANG=C.UTF-8 "$@"; }

echo "== the installed host"
out=$(cd "$home" && clean npkeystrand info 2>&1)
grep -qx 'path: /usr/lib/mozilla/plugins/libnpKeystrand.so' <<<"$out" &&
  pass "npkeystrand finds the installed plug-in" || fail "npkeystrand info: $out"

examples=/usr/share/doc/npkeystrand/examples
out=$(cd "$home" && clean npkeystrand run "$examples/demo.js" 2>&1)
rc=$?
[ $rc -eq 0 ] && grep -q '^demo finished$' <<<"$out" &&
  pass "the demo runs from anywhere (npkeystrand run $examples/demo.js)" || fail "demo from HOME (exit $rc): $out"
# The plug-in reads no page files from the system's folders, so the examples run from a copy.
cp -r "$examples" "$home/examples"
out=$(cd "$home/examples" && clean npkeystrand run demo.js 2>&1)
rc=$?
if [ $rc -eq 0 ] && grep -q '^demo finished$' <<<"$out" &&
   grep -q '^  SelectSignCertificateByPFXFile("tests/data/signer.pfx", "npkeystrand") -> ' <<<"$out" &&
   grep -q '^  VerifyMessageSignature(attached) -> true$' <<<"$out" &&
   grep -q '^  DecryptEnvelopeMessage(envelope) -> "secret"$' <<<"$out"; then
  pass "the demo signs, verifies and decrypts with the test certificates installed beside it"
else
  fail "demo in a copy of $examples (exit $rc): $out"
fi

page="$work/page"
mkdir -p "$page"
cp "$src/tests/data/signer.pfx" "$src/tests/data/signer.pem" "$page/"
printf 'a file signed by the installed plug-in\n' >"$page/data.txt"
chmod -R a+rX "$page"
clean npkeystrand trace start --flags 0xF >"$work/trace-start.log" 2>&1 || fail "trace start: $(cat "$work/trace-start.log")"
out=$(cd "$page" && clean npkeystrand run "$src/tests/package/signing.js" 2>&1)
rc=$?
clean npkeystrand trace stop >"$work/trace-stop.log" 2>&1 || fail "trace stop: $(cat "$work/trace-stop.log")"
if [ $rc -eq 0 ] && grep -q '^signing page finished$' <<<"$out"; then
  pass "the signing page's checks pass"
else
  fail "signing page (exit $rc): $out"
fi
# The signatures, as the openssl command line reads them.
sed -n 's/^attached //p' <<<"$out" | base64 -d >"$page/attached.p7" 2>/dev/null
sed -n 's/^file //p' <<<"$out" | base64 -d >"$page/file.p7" 2>/dev/null
content=$(openssl cms -verify -noverify -binary -inform DER -in "$page/attached.p7" 2>/dev/null)
[ "$content" = "Installed npKeystrand signs this text" ] &&
  pass "openssl verifies the attached signature and reads its content" || fail "openssl cms -verify (attached): '$content'"
openssl cms -verify -noverify -binary -inform DER -in "$page/file.p7" -content "$page/data.txt" -out /dev/null 2>/dev/null &&
  pass "openssl verifies the detached file signature" || fail "openssl cms -verify (file signature)"
printf 'changed\n' >"$page/other.txt"
openssl cms -verify -noverify -binary -inform DER -in "$page/file.p7" -content "$page/other.txt" -out /dev/null 2>/dev/null &&
  fail "openssl verifies the file signature over another file"

# trace show reads the installed format texts: every event is described.
clean npkeystrand trace show >"$work/trace.out" 2>"$work/trace.err"
rc=$?
events=$(wc -l <"$work/trace.out")
undescribed=$(grep -c -E '\{[0-9A-F-]{36}\} [0-9]+ \[' "$work/trace.out")
if [ $rc -eq 0 ] && [ ! -s "$work/trace.err" ] && [ "$events" -gt 10 ] && [ "$undescribed" -eq 0 ] &&
   grep -q 'SignMessage' "$work/trace.out"; then
  pass "trace show describes all $events events with the installed format texts"
else
  fail "trace show (exit $rc, $events events, $undescribed undescribed): $(head -c 600 "$work/trace.err") $(head -5 "$work/trace.out")"
fi

zcat /usr/share/man/man1/npkeystrand.1.gz | grep -q '^\.SH COMMANDS' &&
  pass "the man page" || fail "the man page cannot be read"

if [ "$has_bridge" -eq 1 ]; then
  echo "== the native-messaging manifests"
  for m in /etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts /usr/lib/mozilla/native-messaging-hosts; do
    f="$m/org.npkeystrand.bridge.json"
    if [ ! -f "$f" ]; then
      fail "$f is not installed"
      continue
    fi
    case "$m" in
      /usr/lib/mozilla/*) allowed='"allowed_extensions": \["npkeystrand@npkeystrand.org"\]' ;;
      *) allowed='"allowed_origins": \["chrome-extension://fnipddhnahdnnplpjmcopknkncfclnnk/"\]' ;;
    esac
    if grep -q '"path": "/usr/bin/npkeystrand-bridge"' "$f" && grep -q "$allowed" "$f" &&
       grep -q '"name": "org.npkeystrand.bridge"' "$f" &&
       { ! command -v python3 >/dev/null || python3 -m json.tool "$f" >/dev/null; }; then
      pass "$f"
    else
      fail "$f: $(cat "$f")"
    fi
  done
  [ -x /usr/bin/npkeystrand-bridge ] || fail "/usr/bin/npkeystrand-bridge is not executable"

  # The per-user registration names the installed bridge, and takes its manifests away again.
  before=$failures
  user_manifests=("$home/.config/chromium/NativeMessagingHosts" "$home/.config/google-chrome/NativeMessagingHosts"
    "$home/.mozilla/native-messaging-hosts")
  out=$(cd "$home" && clean npkeystrand register --user 2>&1) || fail "npkeystrand register --user: $out"
  for d in "${user_manifests[@]}"; do
    grep -q '"path": *"/usr/bin/npkeystrand-bridge"' "$d/org.npkeystrand.bridge.json" 2>/dev/null ||
      fail "register --user did not write $d/org.npkeystrand.bridge.json naming /usr/bin/npkeystrand-bridge"
  done
  out=$(cd "$home" && clean npkeystrand register --user --remove 2>&1) || fail "npkeystrand register --user --remove: $out"
  for d in "${user_manifests[@]}"; do
    [ -e "$d/org.npkeystrand.bridge.json" ] && fail "register --user --remove left $d/org.npkeystrand.bridge.json"
  done
  out=$(cd "$home" && clean npkeystrand register --user --browser opera 2>&1)
  [ $? -eq 2 ] || fail "register --browser opera was not refused as a usage error: $out"
  [ "$failures" -eq "$before" ] && pass "npkeystrand register --user writes and removes the manifests for the installed bridge"
fi

if [ "$has_extension" -eq 1 ]; then
  grep -q '"nativeMessaging"' /usr/share/npkeystrand/extension/manifest.json &&
    pass "the extension's manifest" || fail "/usr/share/npkeystrand/extension/manifest.json"
fi

# The browser suite against the installed bridge and extension, where the build has it.
if [ "$has_bridge" -eq 1 ] && [ "$has_extension" -eq 1 ] && [ -f "$build/CTestTestfile.cmake" ]; then
  nbrowser=$(ctest --test-dir "$build" -N -L browser 2>/dev/null | sed -n 's/^Total Tests: //p')
  if [ "${nbrowser:-0}" -gt 0 ]; then
    echo "== the browser suite against the installed files ($nbrowser tests)"
    if NPK_BRIDGE_HOST=/usr/bin/npkeystrand-bridge NPK_EXTENSION_DIR=/usr/share/npkeystrand/extension \
       ctest --test-dir "$build" -L browser --output-on-failure --timeout 600; then
      pass "the browser suite passes against /usr/bin/npkeystrand-bridge and /usr/share/npkeystrand/extension"
    else
      fail "the browser suite against the installed files"
    fi
  else
    echo "note: $build has no browser suite"
  fi
fi

echo "== purging $pkg"
remove_package
state=$(package_state)
[ -z "$state" ] || [ "$state" = not-installed ] || fail "after the purge the package is $state"
left=0
while read -r p; do
  if [ -e "$p" ] || [ -L "$p" ]; then
    fail "$p is left after the purge"
    left=1
  fi
done <"$work/new-paths"
for m in /etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts /usr/lib/mozilla/native-messaging-hosts; do
  [ -e "$m/org.npkeystrand.bridge.json" ] && { fail "$m/org.npkeystrand.bridge.json is left"; left=1; }
done
extra=$(brought_in)
[ -z "$extra" ] || { fail "packages left installed: $extra"; left=1; }
[ "$left" -eq 0 ] && pass "nothing of the package is left ($(wc -l <"$work/new-paths") paths checked)"

if [ "$failures" -gt 0 ]; then
  echo "test-package: $failures check(s) failed" >&2
  exit 1
fi
echo "test-package: all checks passed"
