#!/usr/bin/env bash
# Makes a root certificate and a signing certificate for the signature
# verifier with openssl, as PEM files with CRLF line endings:
#   OUTDIR/ca.crt, OUTDIR/ca.key (root), OUTDIR/dm.crt, OUTDIR/dm.key (signing).
#
# Usage: tools/make-anchors.sh [options] OUTDIR
#   --root-key FILE      sign the root with this existing P-256 key (else a new one)
#   --root-subject DN    root subject (default: the development root's)
#   --root-usage LIST    root keyUsage (default: critical,keyCertSign)
#   --dm-key FILE        use this existing P-256 key for the signing certificate
#   --dm-start TIME      signing certificate notBefore, YYMMDDHHMMSSZ
#   --dm-end TIME        signing certificate notAfter, YYMMDDHHMMSSZ
#
# Defaults give the development anchors: root valid 2018-02-12 06:31:37 UTC to
# 2072-11-15 06:31:37 UTC (GeneralizedTime end), signing certificate valid
# 2018-02-12 06:32:37 UTC to 2031-10-22 06:32:37 UTC.
set -euo pipefail

root_key=""
root_subject="/C=JP/O=KORVANEX Development/CN=KORVANEX Development Root CA"
root_usage="critical,keyCertSign"
dm_key=""
dm_subject="/CN=KORVANEX Development Firmware Signing"
dm_start="180212063237Z"
dm_end="311022063237Z"
root_start="180212063137Z"
root_end="20721115063137Z"

usage() {
  sed -n '2,16p' "$0" >&2
  exit 2
}

while [ $# -gt 1 ]; do
  case "$1" in
  --root-key) root_key=$2 ;;
  --root-subject) root_subject=$2 ;;
  --root-usage) root_usage=$2 ;;
  --dm-key) dm_key=$2 ;;
  --dm-start) dm_start=$2 ;;
  --dm-end) dm_end=$2 ;;
  *) usage ;;
  esac
  shift 2
done
[ $# -eq 1 ] || usage
out=$1
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

new_key() {
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 \
    -pkeyopt ec_param_enc:named_curve -out "$1"
}

# PEM with CRLF after every line, the last one included.
to_crlf() {
  sed -e 's/\r$//' -e 's/$/\r/' "$1" >"$2"
}

if [ -n "$root_key" ]; then cp "$root_key" "$work/ca.key"; else new_key "$work/ca.key"; fi
if [ -n "$dm_key" ]; then cp "$dm_key" "$work/dm.key"; else new_key "$work/dm.key"; fi

# A throwaway CA database: openssl ca is the one tool of openssl 3.0 that
# takes exact start and end times.
mkdir -p "$work/db"
: >"$work/db/index.txt"
echo 01 >"$work/db/serial"
cat >"$work/ca.cnf" <<EOF
[ ca ]
default_ca = anchors_ca

[ anchors_ca ]
dir = $work/db
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
default_md = sha256
policy = policy_any
unique_subject = no
email_in_dn = no
copy_extensions = none

[ policy_any ]
countryName = optional
organizationName = optional
commonName = supplied

[ req ]
distinguished_name = req_dn
prompt = no
[ req_dn ]
CN = unused

[ root_ext ]
basicConstraints = critical,CA:TRUE
keyUsage = $root_usage
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[ dm_ext ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,nonRepudiation
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF

openssl req -new -config "$work/ca.cnf" -key "$work/ca.key" -subj "$root_subject" \
  -out "$work/ca.csr"
openssl ca -batch -config "$work/ca.cnf" -selfsign -keyfile "$work/ca.key" \
  -in "$work/ca.csr" -subj "$root_subject" -preserveDN -rand_serial -notext \
  -startdate "$root_start" -enddate "$root_end" -extensions root_ext \
  -out "$work/ca.pem" 2>"$work/ca.log" || {
  cat "$work/ca.log" >&2
  exit 1
}

openssl req -new -config "$work/ca.cnf" -key "$work/dm.key" -subj "$dm_subject" \
  -out "$work/dm.csr"
openssl ca -batch -config "$work/ca.cnf" -cert "$work/ca.pem" -keyfile "$work/ca.key" \
  -in "$work/dm.csr" -subj "$dm_subject" -preserveDN -rand_serial -notext \
  -startdate "$dm_start" -enddate "$dm_end" -extensions dm_ext \
  -out "$work/dm.pem" 2>"$work/dm.log" || {
  cat "$work/dm.log" >&2
  exit 1
}

# Re-encode so that only the PEM block remains.
openssl x509 -in "$work/ca.pem" -out "$work/ca.crt"
openssl x509 -in "$work/dm.pem" -out "$work/dm.crt"
for name in ca.crt dm.crt ca.key dm.key; do
  to_crlf "$work/$name" "$out/$name"
done
# A root without keyCertSign is wanted only by tests, and cannot verify.
case "$root_usage" in
*keyCertSign*) openssl verify -no_check_time -CAfile "$out/ca.crt" "$out/dm.crt" >/dev/null ;;
esac
