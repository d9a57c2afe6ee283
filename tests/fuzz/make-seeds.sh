#!/bin/bash
# Makes the seed inputs of the fuzz targets (tests/fuzz/seeds/NAME/) from the fixtures of
# tests/data, with the openssl command line and the built host. `make fuzz` starts each target
# from its seeds. Run from the repository's top directory:
#   tests/fuzz/make-seeds.sh [path of a built npkeystrand]
# Messages made with random keys differ at each run; that is fine for seeds.
set -euo pipefail

HOST=${1:-build/default/bin/npkeystrand}
DATA=tests/data
OUT=tests/fuzz/seeds
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

seed() {  # seed TARGET NAME [PREFIX-BYTE-OCTAL] < bytes
  mkdir -p "$OUT/$1"
  if [ $# -ge 3 ]; then
    { printf "\\$3"; cat; } > "$OUT/$1/$2"
  else
    cat > "$OUT/$1/$2"
  fi
}

# Only the seeds this script makes are remade; other targets keep theirs.
for t in Base64Decode CertificateFile DecodeObject EnvelopeDecrypt EnvelopeStreamDecrypt EnvelopeStreamUpdate \
         FilterText HostTextCodec PfxImport SignedMessageUpdate TextConversion TraceEventText TraceFiles UserStoreFiles; do
  rm -rf "${OUT:?}/$t"
done
mkdir -p "$OUT"

# Envelopes for the recipient fixture (and one for two recipients, one of the RFC's).
printf 'An enveloped text for the fuzzers.\n' > "$WORK/plain.txt"
head -c 3000 /dev/zero | tr '\0' 'x' > "$WORK/long.txt"
for cipher in des3 aes128 aes256; do
  openssl cms -encrypt -binary -outform DER -"$cipher" -in "$WORK/plain.txt" "$DATA/recipient.pem" > "$WORK/env-$cipher.der"
done
openssl cms -encrypt -binary -outform DER -rc4 -provider legacy -provider default -in "$WORK/plain.txt" \
  "$DATA/recipient.pem" > "$WORK/env-rc4.der"
openssl cms -encrypt -binary -outform DER -des3 -keyid -in "$WORK/plain.txt" "$DATA/recipient.pem" > "$WORK/env-keyid.der"
openssl cms -encrypt -binary -outform DER -des3 -in "$WORK/long.txt" "$DATA/recipient.pem" "$DATA/signer.pem" \
  > "$WORK/env-two.der"
cp "$DATA/rfc4134/5.1.bin" "$WORK/env-rfc4134.der"
for f in "$WORK"/env-*.der; do
  n=$(basename "$f" .der)
  seed EnvelopeDecrypt "$n" < "$f"
  seed EnvelopeStreamDecrypt "$n-small" 001 < "$f"
  seed EnvelopeStreamDecrypt "$n-large" 201 < "$f"
  seed EnvelopeStreamUpdate "$n" 003 < "$f"
done

# Signed messages: attached, detached, with and without attributes, and the RFC's.
openssl cms -sign -binary -outform DER -nodetach -noattr -md sha256 -signer "$DATA/signer.pem" \
  -inkey "$DATA/signer.key" -in "$WORK/plain.txt" > "$WORK/sig-attached.der"
openssl cms -sign -binary -outform DER -md sha1 -signer "$DATA/signer.pem" -inkey "$DATA/signer.key" \
  -in "$WORK/plain.txt" > "$WORK/sig-detached.der"
for f in "$WORK"/sig-*.der "$DATA"/rfc4134/4.*.bin; do
  n=$(basename "$f"); n=${n%.*}
  seed SignedMessageUpdate "$n" < "$f"
done

# Certificates and PFX files.
for f in "$DATA"/*.cer "$DATA"/rfc4134/*.cer; do
  n=$(basename "$f" .cer)
  seed CertificateFile "$n.cer" < "$f"
  seed DecodeObject "$n" < "$f"
done
seed CertificateFile recipient.b64 < "$DATA/recipient.b64"
seed CertificateFile recipient.pem < "$DATA/recipient.pem"
seed Base64Decode recipient.b64 < "$DATA/recipient.b64"
for f in "$DATA"/*.pfx; do
  seed PfxImport "$(basename "$f" .pfx)" < "$f"
done

# Texts from pages: filters and strings with every kind of character.
printf 'CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR' | seed FilterText subject
printf 'CN=Bob Recipient#CN=Alice Signer#' | seed FilterText tokens
printf 'O=npKeystrand#CN=\xe5\xbc\xa0\xe4\xb8\x89#O="npKeystrand, Inc."' | seed FilterText scripts
printf 'plain ASCII' | seed HostTextCodec ascii
printf 'caf\xc3\xa9 \xe5\xbc\xa0\xe4\xb8\x89 \xec\x95\x94\xed\x98\xb8 \xf0\x9f\x94\x91' | seed HostTextCodec utf8
printf '\xed\xa0\xbd\xed\xb4\x91 lone \xed\xa0\xbd end' | seed HostTextCodec cesu8
printf 'broken \xc3 \xe5\xbc \xff\xfe \xc0\x80' | seed HostTextCodec malformed
for t in ascii utf8 cesu8 malformed; do seed TextConversion "$t" < "$OUT/HostTextCodec/$t"; done

# Trace files of a real run: an event file and a session description (selector 0 and 1), and
# the format texts (selector 2).
export HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/run" XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
chmod 700 "$XDG_RUNTIME_DIR"
"$HOST" trace start --flags 0x7 >/dev/null
cp "$XDG_RUNTIME_DIR"/npkeystrand/etw/*.session "$WORK/" 2>/dev/null || true
# A short page, so that the event file stays within the fuzzers' input length.
cat > "$WORK/page.js" <<PAGE
try { plugin.SignMessage('x', 'SHA256'); } catch (e) {}
print(plugin.GetLastErrorDesc());
PAGE
"$HOST" run "$WORK/page.js" >/dev/null
"$HOST" trace stop >/dev/null
for f in "$XDG_RUNTIME_DIR"/npkeystrand/etw/*; do
  case "$f" in
    *.session) ;;
    *) [ -s "$f" ] && [ "$(head -c 4 "$f")" = "NPKE" ] && seed TraceFiles "events-$(basename "$f")" 000 < "$f" ;;
  esac
done
for f in "$WORK"/*.session; do seed TraceFiles "session-$(basename "$f")" 001 < "$f"; done
for f in trace/formats/*.fmt; do seed TraceFiles "fmt-$(basename "$f" .fmt)" 002 < "$f"; done
head -c 200 trace/formats/crypto.fmt | seed TraceEventText crypto-formats

# The files the stores and the registry keep: a certificate's properties with its key link,
# a store's index (selector 0 and 2), and registry values (selector 1).
"$HOST" store import MY "$DATA/signer.pfx" --password npkeystrand >/dev/null
stores="$XDG_DATA_HOME/npkeystrand/SystemCertificates"
for f in "$stores"/MY/*.prop; do seed UserStoreFiles "prop-$(basename "$f" .prop | cut -c1-8)" 000 < "$f"; done
seed UserStoreFiles index 002 < "$stores/MY/index"
find "$XDG_CONFIG_HOME/npkeystrand/registry" -type f -name 'v.*' 2>/dev/null | head -4 | while read -r f; do
  seed UserStoreFiles "value-$(basename "$f")" 001 < "$f"
done || true
if ! ls "$OUT"/UserStoreFiles/value-* >/dev/null 2>&1; then
  # A REG_DWORD value as the registry stores it: magic "NPKR", type 4, name length 5,
  # the name in UTF-16, then the data.
  { printf 'NPKR\004\000\000\000\005\000\000\000'; printf 'v\0a\0l\0u\0e\0'; printf '\001\000\000\000'; } |
    seed UserStoreFiles value-dword 001
fi
echo "seeds in $OUT: $(find "$OUT" -type f | wc -l)"
