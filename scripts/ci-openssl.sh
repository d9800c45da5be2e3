#!/usr/bin/env bash
# Inside a cibuildwheel build image (manylinux_2_28 or musllinux_1_2): builds
# the OpenSSL LTS release named below into /opt/openssl, whose libcrypto the
# extension links and auditwheel then bundles. The images carry no OpenSSL 3
# of their own (AlmaLinux 8 has 1.1.1), and a release wheel should carry the
# newest long-term-support libcrypto anyway.
set -euo pipefail
OPENSSL_VERSION=${OPENSSL_VERSION:-3.5.4}
prefix=/opt/openssl
url=https://github.com/openssl/openssl/releases/download/openssl-$OPENSSL_VERSION

if command -v dnf >/dev/null 2>&1; then
  dnf install -y perl-IPC-Cmd perl-Time-Piece
elif command -v apk >/dev/null 2>&1; then
  apk add --no-cache perl linux-headers curl
fi

work=$(mktemp -d)
cd "$work"
curl -fsSLO "$url/openssl-$OPENSSL_VERSION.tar.gz"
curl -fsSLO "$url/openssl-$OPENSSL_VERSION.tar.gz.sha256"
# The .sha256 file holds the digest (and possibly the file name).
echo "$(cut -d' ' -f1 "openssl-$OPENSSL_VERSION.tar.gz.sha256")  openssl-$OPENSSL_VERSION.tar.gz" |
  sha256sum -c -
tar -xzf "openssl-$OPENSSL_VERSION.tar.gz"
cd "openssl-$OPENSSL_VERSION"
# Only libcrypto is needed: no TLS library, no engines, no tests, no docs.
./config --prefix="$prefix" --libdir=lib shared no-ssl no-tests no-docs no-engine no-apps \
  -Wl,-rpath,"$prefix/lib"
make -j"$(nproc)" build_libs
make install_dev
rm -rf "$work"
"$prefix/bin/openssl" version 2>/dev/null || ls -l "$prefix/lib"
