#!/usr/bin/env bash
# Makes the certificates of the hosts' HTTPS pages into DIR (once; an
# existing set is kept):
#   ca.pem             a test issuer, trusted inside the project's Wine
#                      prefix only (vardok-trust-root.exe imports it)
#   server.pem/.key    signed by it, for localhost, 127.0.0.1, 127.0.0.82
#   untrusted.pem/.key self-signed for localhost, never trusted
# The issuer's key is deleted once the server's certificate is signed.
set -euo pipefail
dir=$1
[ -f "$dir/server.key" ] && [ -f "$dir/untrusted.key" ] && [ -f "$dir/ca.pem" ] && exit 0
mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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
[untrusted]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
CNF
quiet() { "$@" >/dev/null 2>&1 || { echo "make-certs: $* failed" >&2; exit 1; }; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Vardok test issuer" \
  -config "$work/openssl.cnf" -extensions issuer -keyout "$work/ca.key" -out "$work/ca.pem"
quiet openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -config "$work/openssl.cnf" \
  -keyout "$work/server.key" -out "$work/server.csr"
quiet openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
  -days 3650 -extfile "$work/openssl.cnf" -extensions server -out "$work/server.pem"
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=localhost" \
  -config "$work/openssl.cnf" -extensions untrusted -keyout "$work/untrusted.key" -out "$work/untrusted.pem"
cp "$work/ca.pem" "$work/server.pem" "$work/server.key" "$work/untrusted.pem" "$work/untrusted.key" "$dir/"
