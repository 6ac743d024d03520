#!/bin/sh
# Makes the certificates of the TLS tests in the folder given, with openssl: a CA, a server
# certificate for 127.0.0.1 and localhost and a client certificate signed by it, a second CA
# that signed nothing here, and a self-signed server certificate. Keys are mode 0600.
set -eu
cd "$1"
umask 077
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
ca() {
    key "$1.key"
    openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 2 -sha256 \
        -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign \
        -out "$1.crt"
}
signed() {  # NAME CN EXTENSIONS
    key "$1.key"
    openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"
    printf '%s\n' "$3" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -sha256 \
        -extfile "$1.ext" -out "$1.crt" 2>/dev/null
}
ca ca "tqrf test CA"
ca other-ca "an unrelated CA"
signed server localhost "subjectAltName=IP:127.0.0.1,DNS:localhost
extendedKeyUsage=serverAuth"
signed client gw "extendedKeyUsage=clientAuth"
key self.key
openssl req -x509 -new -key self.key -subj "/CN=localhost" -days 2 -sha256 \
    -addext subjectAltName=IP:127.0.0.1,DNS:localhost -out self.crt
chmod 644 ./*.crt
