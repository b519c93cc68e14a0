#!/bin/sh
# Fetches curl's upstream source tarball as Debian serves it (the orig
# tarball of bookworm-backports' curl) into $1, checked against the
# signed Sources index.  The mirror is the machine's own: the URIs of its
# apt sources for Debian.  apt verifies the index's signature (InRelease
# against Debian's archive keyring) and apt-helper the tarball's SHA-256
# against the index; the pinned hash below is checked again, so a
# different tarball under the same version fails.
#   fetch-curl.sh DEST_DIR
set -eu
dest=$1
version=8.14.1
suite=bookworm-backports
sha256=6766ada7101d292b42b8b15681120acd68effa4a9660935853cf6d61f0d984d4
file=curl_$version.orig.tar.gz

check() { [ -f "$dest/$file" ] && echo "$sha256  $dest/$file" | sha256sum -c --status; }
check && exit 0

# The Debian mirror the machine already uses (deb822 or one-line sources).
uri=$(grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | grep -v -e security -e '^$' |
      grep '/debian/*$' | head -1 || true)
[ -n "$uri" ] || uri=$(grep -hs '^deb .*bookworm' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
      awk '{print $2}' | grep -v security | head -1 || true)
if [ -z "$uri" ]; then
    echo "fetch-curl: no Debian mirror in the machine's apt sources" >&2
    exit 1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
mkdir -p "$tmp/lists/partial" "$tmp/cache/archives/partial" "$tmp/parts"
printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$uri" "$suite" >"$tmp/parts/src.sources"
apt_opts="-o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts=$tmp/parts \
 -o Dir::State::Lists=$tmp/lists -o Dir::Cache=$tmp/cache -o APT::Sandbox::User=root -qq"
# shellcheck disable=SC2086
apt-get $apt_opts update
# The tarball's address and hash as the signed index gives them.
# shellcheck disable=SC2086
line=$(cd "$tmp" && apt-get $apt_opts source --download-only --print-uris "curl/$suite" 2>/dev/null |
       grep " $file " | head -1)
if [ -z "$line" ]; then
    echo "fetch-curl: $suite's Sources index has no $file" >&2
    exit 1
fi
url=$(echo "$line" | awk '{print $1}' | tr -d "'")
hash=$(echo "$line" | awk '{print $4}')
if [ "$hash" != "SHA256:$sha256" ]; then
    echo "fetch-curl: the signed index gives $file as $hash, not the pinned $sha256" >&2
    exit 1
fi
mkdir -p "$dest"
# shellcheck disable=SC2086
/usr/lib/apt/apt-helper $apt_opts download-file "$url" "$tmp/$file" "$hash"
check_tmp() { echo "$sha256  $tmp/$file" | sha256sum -c --status; }
check_tmp
mv "$tmp/$file" "$dest/$file.part" && mv "$dest/$file.part" "$dest/$file"
check
