#!/bin/sh
# Builds the Core's own TLS and HTTP stack: BoringSSL (from grpcio's
# source distribution, with our CMake source list and our patches,
# third_party/boringssl/) and libcurl (Debian's orig tarball, HTTP only,
# with our printf patch, third_party/curl/),
# both static and position independent, for linking into libhalyard.so.
#
# Everything lands in a cache outside the clone, one folder per key: the
# pinned hashes of both sources and the hash of every file that shapes
# the build (this script, the fetchers, third_party/boringssl/ and curl/, the
# compiler's version).  A build that exists is reused at once; a machine
# pays the download and the compile once.  Prints the folder.
#
#   build.sh           env: PYTHON (whose pip fetches grpcio), CMAKE, NINJA,
#                      JOBS, VESPER_BUILD_CACHE (default ~/.cache/vesper-build)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cache=${VESPER_BUILD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vesper-build}
python=${PYTHON:-python3}
cmake=${CMAKE:-cmake}
ninja=${NINJA:-ninja}
jobs=${JOBS:-2}
# The system's compiler whatever CC the caller's build uses (the fuzz
# build's clang links these archives as they are).
cc=cc
cxx=c++

grpc_version=1.85.4
grpc_sha256=45c4efd77dbfbb92cfebe493518c7e2a97ef3f4da2673508f81214b7493d7cca
grpc_file=grpcio-$grpc_version.tar.gz
# The BoringSSL release grpcio vendors, as the Core's version text names it.
boringssl_name=BoringSSL/0.20260616.0
curl_version=8.14.1
curl_file=curl_$curl_version.orig.tar.gz

key=$( { echo "$grpc_sha256"; sed -n 's/^sha256=//p' "$here/fetch-curl.sh";
         cat "$here"/*.sh "$root"/third_party/boringssl/* "$root"/third_party/curl/*;
         "$cc" --version | head -1; } |
       sha256sum | cut -c1-16)
prefix=$cache/stack-$key
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

mkdir -p "$cache/dl"
# One build per key at a time (make's sanitizer builds may ask together).
exec 9>"$cache/.lock-$key"
flock 9
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi
log() { echo "tls-stack: $*" >&2; }

# grpcio's source distribution through pip (so from the machine's own
# package index configuration), checked against the pinned hash.
have_grpc() { echo "$grpc_sha256  $cache/dl/$grpc_file" | sha256sum -c --status 2>/dev/null; }
if ! have_grpc; then
    log "fetching grpcio $grpc_version's source distribution"
    tmp=$(mktemp -d)
    # Only grpcio itself from source: its build requirements may be wheels.
    "$python" -m pip download -q --no-deps --no-binary grpcio "grpcio==$grpc_version" -d "$tmp" >&2
    echo "$grpc_sha256  $tmp/$grpc_file" | sha256sum -c --status || {
        log "$grpc_file does not have the pinned sha256 $grpc_sha256"
        rm -rf "$tmp"
        exit 1
    }
    mv "$tmp/$grpc_file" "$cache/dl/$grpc_file"
    rm -rf "$tmp"
fi
sh "$here/fetch-curl.sh" "$cache/dl" >&2

work=$cache/work-$key
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix/share/licenses/boringssl" "$prefix/share/licenses/curl"
start=$(date +%s)

# BoringSSL: the vendored tree, our patches, our CMake.
log "building BoringSSL"
tar -xzf "$cache/dl/$grpc_file" -C "$work" "grpcio-$grpc_version/third_party/boringssl-with-bazel" \
    "grpcio-$grpc_version/LICENSE"
bssl=$work/grpcio-$grpc_version/third_party/boringssl-with-bazel
# Our patches, in this order (each is made against the tree the ones before
# it leave): GREASE in signature_algorithms (Chrome 156), then what Firefox's
# hello needs (README: "TLS").
for p in sigalg-grease tls13-cipher-order extension-order delegated-credentials ffdhe \
         record-size-limit ech-grease-length; do
    patch -s -d "$bssl" -p1 <"$root/third_party/boringssl/$p.patch"
done
"$cmake" -S "$root/third_party/boringssl" -B "$work/bssl-build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_ASM_COMPILER="$cc" \
    -DCMAKE_BUILD_TYPE=Release -DBORINGSSL_ROOT="$bssl" -DCMAKE_INSTALL_PREFIX="$prefix" >&2
"$cmake" --build "$work/bssl-build" -j "$jobs" >&2
"$cmake" --install "$work/bssl-build" >&2
# The Apache License text from the same distribution (its first 202 lines).
{ cat "$root/third_party/boringssl/NOTICE"; sed -n '1,202p' "$work/grpcio-$grpc_version/LICENSE"; } \
    >"$prefix/share/licenses/boringssl/LICENSE"

# libcurl: HTTP(S) with HTTP/2 (the system's nghttp2), the decoders the
# Core offers, IDN and the public suffix list, the threaded resolver, and
# Debian's CA locations for the system roots.
log "building libcurl $curl_version"
tar -xzf "$cache/dl/$curl_file" -C "$work"
cp "$work/curl-$curl_version/COPYING" "$prefix/share/licenses/curl/COPYING"
(
    cd "$work/curl-$curl_version"
    # Our patch: curl's printf gathers its output and appends it to the
    # buffer a run at a time instead of a byte at a time (every request
    # head and URL is printed; the per-byte appends were the largest cost
    # of a small request inside libcurl).
    patch -s -p1 <"$root/third_party/curl/mprintf-buffered-output.patch"
    # BoringSSL's libcrypto holds C++: configure's link tests need its runtime.
    ./configure -q --prefix="$prefix" --disable-shared --enable-static --with-pic \
        --with-openssl="$prefix" LIBS="-lstdc++ -lpthread" CC="$cc" \
        CFLAGS="-O2 -g -fvisibility=hidden" \
        --with-nghttp2 --with-zlib --with-brotli --with-zstd --with-libidn2 --with-libpsl \
        --with-ca-bundle=/etc/ssl/certs/ca-certificates.crt --with-ca-path=/etc/ssl/certs \
        --enable-threaded-resolver --enable-ipv6 --enable-http --enable-proxy --enable-cookies \
        --disable-ftp --disable-file --disable-ldap --disable-ldaps --disable-rtsp --disable-dict \
        --disable-telnet --disable-tftp --disable-pop3 --disable-imap --disable-smtp --disable-gopher \
        --disable-mqtt --disable-smb --disable-manual --disable-docs \
        --without-librtmp --without-libssh2 --without-libssh --without-gssapi --without-libgsasl \
        --without-nghttp3 --without-ngtcp2 --without-quiche --disable-ech >&2
    # The library alone (a static build would also make curl's unit-test
    # library), then its headers.
    make -s -j "$jobs" -C lib libcurl.la >&2
    make -s -C lib install-libLTLIBRARIES >&2
    make -s -C include install >&2
) 
echo "$boringssl_name" >"$prefix/share/tls-library"
rm -rf "$work"
log "built in $(( $(date +%s) - start )) s: $prefix"
touch "$prefix/.complete"
echo "$prefix"
