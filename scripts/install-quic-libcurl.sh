#!/bin/sh
# Installs the HTTP/3-capable libcurl the Core loads for QUIC: Debian's
# GnuTLS flavour from bookworm-backports (built with ngtcp2 and nghttp3).
# Only that package (and the QUIC libraries it needs) comes from
# backports; the OpenSSL libcurl the Core links stays bookworm's.
# Safe to rerun: the backports source is added once, and nothing is done
# when an HTTP/3-capable version is already installed.
set -eu
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo

has_quic_curl() {
    version=$(dpkg-query -W -f='${Version}' libcurl3-gnutls 2>/dev/null || true)
    # 8.8 and later (curl_multi_waitfds); Debian's backport is 8.14.
    dpkg --compare-versions "${version:-0}" ge 8.8
}

has_quic_curl && exit 0
. /etc/os-release
if [ "${VERSION_CODENAME:-}" != bookworm ]; then
    echo "install-quic-libcurl: not bookworm; install an HTTP/3-capable libcurl-gnutls by hand" >&2
    exit 0
fi
if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    # The machine's own Debian mirror, as its bookworm source names it.
    uri=$(grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | grep -v security | awk '{print $2; exit}')
    [ -n "$uri" ] || uri=$(grep -hs '^deb .* bookworm ' /etc/apt/sources.list | awk '{print $2; exit}')
    if [ -z "$uri" ]; then
        echo "install-quic-libcurl: no Debian source found to add bookworm-backports beside" >&2
        exit 1
    fi
    printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$uri" | $SUDO tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libcurl3-gnutls/bookworm-backports
has_quic_curl
