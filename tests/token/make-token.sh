#!/bin/sh
# Makes a SoftHSM2 token in a directory of its own and puts key pairs and their certificates on it.
#   make-token.sh DIR LABEL PIN [KEY.pem CERT ID_HEX]...
# Each key goes on as a private key, its public key and its certificate, all with CKA_ID ID_HEX.
# Afterwards SOFTHSM2_CONF=DIR/softhsm2.conf selects this token store alone, so a real token of
# the machine is never touched.
set -eu
dir=$1 label=$2 pin=$3
shift 3
mkdir -p "$dir/tokens"
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
  "$dir" >"$dir/softhsm2.conf"
export SOFTHSM2_CONF="$dir/softhsm2.conf"
module=/usr/lib/softhsm/libsofthsm2.so
softhsm2-util --init-token --free --label "$label" --so-pin 87654321 --pin "$pin" >/dev/null
p11() { pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" "$@" >/dev/null; }
while [ $# -ge 3 ]; do
  key=$1 cert=$2 id=$3
  shift 3
  work=$(mktemp -d "$dir/key-XXXXXX")
  openssl pkcs8 -topk8 -nocrypt -in "$key" -outform DER -out "$work/key.p8"
  openssl pkey -in "$key" -pubout -outform DER -out "$work/pub.der"
  openssl x509 -in "$cert" -inform DER -outform DER -out "$work/cert.der" 2>/dev/null ||
    openssl x509 -in "$cert" -outform DER -out "$work/cert.der"
  p11 --write-object "$work/key.p8" --type privkey --id "$id" --label "key $id"
  p11 --write-object "$work/pub.der" --type pubkey --id "$id" --label "key $id"
  p11 --write-object "$work/cert.der" --type cert --id "$id" --label "certificate $id"
  rm -rf "$work"
done
