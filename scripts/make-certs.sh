#!/usr/bin/env bash
# Makes the certificates of the hosts' HTTPS pages into DIR (once; an
# existing set is kept):
#   ca.pem             a test issuer, trusted inside the project's Wine
#                      prefix only (vardok-trust-root.exe imports it)
#   server.pem/.key    signed by it, for localhost, 127.0.0.1, 127.0.0.82
#   untrusted.pem/.key self-signed for localhost, never trusted
#   wrongname.pem/.key signed by the issuer for other.invalid only
#   expired.pem/.key   signed by the issuer for localhost, valid in 2020
#   notyet.pem/.key    signed by the issuer for localhost, valid from 2090
#   days5, days20, days400 (.pem/.key)
#                      signed by the issuer for localhost, expiring that many
#                      days after they are made (the certificate check's
#                      classes; tests read the expiry from the file)
# The issuer's key is deleted once the server's certificate is signed.
set -euo pipefail
dir=$1
all=(ca.pem server.pem server.key untrusted.pem untrusted.key wrongname.pem wrongname.key expired.pem expired.key
     notyet.pem notyet.key
     days5.pem days5.key days20.pem days20.key days400.pem days400.key)
missing=0
for f in "${all[@]}"; do [ -f "$dir/$f" ] || missing=1; done
[ "$missing" -eq 0 ] && exit 0
mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WORK=$work  # the issuer's records, named in the configuration
cat > "$work/openssl.cnf" <<'CNF'
[req]
distinguished_name = dn
[dn]
[issuer]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:127.0.0.82
authorityKeyIdentifier = keyid
[wrongname]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.invalid
authorityKeyIdentifier = keyid
[ca]
default_ca = issuer_ca
[issuer_ca]
database = $ENV::WORK/index.txt
new_certs_dir = $ENV::WORK
serial = $ENV::WORK/serial
default_md = sha256
policy = any
copy_extensions = none
unique_subject = no
[any]
commonName = supplied
[untrusted]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
CNF
quiet() { "$@" >/dev/null 2>&1 || { echo "make-certs: $* failed" >&2; exit 1; }; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Vardok test issuer" \
  -config "$work/openssl.cnf" -extensions issuer -keyout "$work/ca.key" -out "$work/ca.pem"
# A key and a signing request for NAME with the common name CN.
request() {  # NAME CN
  quiet openssl req -newkey rsa:2048 -nodes -subj "/CN=$2" -config "$work/openssl.cnf" \
    -keyout "$work/$1.key" -out "$work/$1.csr"
}
# NAME's certificate for CN from the issuer, with the extensions of SECTION,
# valid for DAYS (ten years when not given).
issue() {  # NAME SECTION CN [DAYS]
  request "$1" "$3"
  quiet openssl x509 -req -in "$work/$1.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
    -days "${4:-3650}" -extfile "$work/openssl.cnf" -extensions "$2" -out "$work/$1.pem"
}
issue server server localhost
issue wrongname wrongname other.invalid
for days in 5 20 400; do issue "days$days" server localhost "$days"; done
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=localhost" \
  -config "$work/openssl.cnf" -extensions untrusted -keyout "$work/untrusted.key" -out "$work/untrusted.pem"
# A certificate whose time is over needs the issuer's own signing, which
# takes fixed dates.
request expired localhost
: > "$work/index.txt"
echo 1000 > "$work/serial"
quiet openssl ca -batch -config "$work/openssl.cnf" -cert "$work/ca.pem" -keyfile "$work/ca.key" \
  -startdate 20200101000000Z -enddate 20200201000000Z -extfile "$work/openssl.cnf" -extensions server \
  -in "$work/expired.csr" -out "$work/expired.pem" -notext
request notyet localhost
quiet openssl ca -batch -config "$work/openssl.cnf" -cert "$work/ca.pem" -keyfile "$work/ca.key" \
  -startdate 20900101000000Z -enddate 20910101000000Z -extfile "$work/openssl.cnf" -extensions server \
  -in "$work/notyet.csr" -out "$work/notyet.pem" -notext
for f in "${all[@]}"; do cp "$work/$f" "$dir/"; done
