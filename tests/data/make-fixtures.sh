#!/usr/bin/env bash
# Makes the test certificates, keys and PFX files of this directory with the openssl command
# line. Run it again at any time: existing keys are kept, everything else is made afresh
# with the same names, subjects, serial numbers and validity.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here"

PASSWORD="npkeystrand"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# `openssl ca` is the one command of OpenSSL 3.0 that takes exact start and end dates.
cat >"$work/ca.cnf" <<EOF
[ ca ]
default_ca = test_ca
[ test_ca ]
database = $work/index.txt
new_certs_dir = $work/new
serial = $work/serial
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
[ policy_any ]
commonName = supplied
[ req ]
distinguished_name = dn
string_mask = utf8only
utf8 = yes
prompt = no
[ dn ]
CN = unused
[ v3_ca ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[ v3_signer ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[ v3_recipient ]
basicConstraints = CA:false
keyUsage = critical, keyEncipherment, dataEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[ v3_nokeyid ]
basicConstraints = CA:false
keyUsage = critical, keyEncipherment, digitalSignature
subjectKeyIdentifier = none
authorityKeyIdentifier = none
[ v3_plain ]
basicConstraints = CA:false
EOF
mkdir -p "$work/new"
: >"$work/index.txt"

key() {  # NAME: an RSA 2048 key in NAME.key (PKCS#8 PEM), kept when it exists
    if [ ! -s "$1.key" ]; then
        openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key" 2>/dev/null
        chmod 600 "$1.key"
    fi
}

# issue NAME SUBJECT SERIAL(hex) EXTENSIONS START END [selfsign]
issue() {
    local name=$1 subject=$2 serial=$3 ext=$4 start=$5 end=$6 self=${7:-}
    openssl req -new -config "$work/ca.cnf" -key "$name.key" -subj "$subject" -utf8 -out "$work/$name.csr"
    echo "$serial" >"$work/serial"
    local signer=(-cert ca.cer -keyfile ca.key)
    [ -n "$self" ] && signer=(-selfsign -keyfile ca.key)
    openssl ca -batch -config "$work/ca.cnf" "${signer[@]}" -in "$work/$name.csr" -out "$work/$name.pem" \
        -extensions "$ext" -startdate "$start" -enddate "$end" -notext -preserveDN -utf8 2>/dev/null
    openssl x509 -in "$work/$name.pem" -outform DER -out "$name.cer"
}

pem() { openssl x509 -inform DER -in "$1.cer" -out "$1.pem"; }

START=20200101000000Z
END=20450101000000Z

key ca
issue ca "/C=KR/O=npKeystrand/CN=npKeystrand Test CA" 01 v3_ca $START $END selfsign
pem ca

key signer
issue signer "/C=KR/O=npKeystrand/OU=Signing/CN=Alice Signer" 010203 v3_signer $START $END
pem signer

key recipient
issue recipient "/C=KR/O=npKeystrand/CN=Bob Recipient" 0A v3_recipient $START $END
pem recipient
openssl base64 -A -in recipient.cer >recipient.b64

key nokeyid
issue nokeyid "/C=KR/O=npKeystrand/CN=Carol NoKeyId" 0B v3_nokeyid $START $END

key expired
issue expired "/C=KR/O=npKeystrand/CN=Dave Expired" 0C v3_signer 20150101000000Z 20160101000000Z

key chinese
issue chinese "/C=CN/O=npKeystrand/CN=张三" 0D v3_signer $START $END

# A subject value with a comma, and no key usage at all.
key comma
issue comma "/C=KR/O=npKeystrand, Inc./CN=Eve Comma" 0E v3_plain $START $END

if openssl x509 -inform DER -in nokeyid.cer -noout -text | grep -q "Subject Key Identifier"; then
    echo "nokeyid.cer has a subject key identifier" >&2
    exit 1
fi

pfx() {  # OUT NAME PASSWORD [extra pkcs12 options...]
    local out=$1 name=$2 pass=$3
    shift 3
    openssl pkcs12 -export -inkey "$name.key" -in "$work/$name.pem" -name "$name" \
        -passout "pass:$pass" -out "$out" "$@"
}

pfx signer.pfx signer "$PASSWORD" -certfile ca.pem
pfx signer-legacy.pfx signer "$PASSWORD" -certfile ca.pem -legacy
pfx signer-nopass.pfx signer "" -certfile ca.pem
pfx recipient.pfx recipient "$PASSWORD" -certfile ca.pem
pfx nokeyid.pfx nokeyid "$PASSWORD"
pfx expired.pfx expired "$PASSWORD"

# pair.pfx: two key-bearing certificates (signer, then recipient) in one file. `openssl pkcs12
# -export` writes one key per file, so the safes of two such files (each encrypted with the
# password) are joined into one authenticated safe. The joined file has no MAC: a MAC would
# need the PKCS #12 key derivation, which the command line does not offer on its own.
hex_of() { xxd -p "$1" | tr -d '\n'; }
der_len() {
    local n=$1
    if ((n < 128)); then printf '%02x' "$n"
    elif ((n < 256)); then printf '81%02x' "$n"
    elif ((n < 65536)); then printf '82%04x' "$n"
    else printf '83%06x' "$n"; fi
}
tlv() { printf '%s%s%s' "$1" "$(der_len $((${#2} / 2)))" "$2"; }
# The ContentInfos of a PFX file's authenticated safe, as hexadecimal.
safes_of() {
    local offset
    offset=$(openssl asn1parse -inform DER -in "$1" | awk -F: '/d=3 .*OCTET STRING/ {print $1 + 0; exit}')
    openssl asn1parse -inform DER -in "$1" -strparse "$offset" -noout -out "$work/inner.der"
    local header
    header=$(openssl asn1parse -inform DER -in "$work/inner.der" | awk 'NR == 1 {sub("hl=", "", $2); print $2}')
    hex_of "$work/inner.der" | cut -c $((2 * header + 1))-
}
pfx "$work/pair-1.pfx" signer "$PASSWORD" -nomac
pfx "$work/pair-2.pfx" recipient "$PASSWORD" -nomac
authsafe=$(tlv 30 "$(safes_of "$work/pair-1.pfx")$(safes_of "$work/pair-2.pfx")")
content=$(tlv 30 "$(tlv 06 2a864886f70d010701)$(tlv a0 "$(tlv 04 "$authsafe")")")
tlv 30 "020103$content" | xxd -r -p >pair.pfx
openssl pkcs12 -in pair.pfx -passin "pass:$PASSWORD" -nomacver -nokeys -info -noout 2>/dev/null ||
    { echo "pair.pfx does not parse" >&2; exit 1; }
echo "fixtures written to $here"
