#!/bin/sh
# install-so.sh DIR FILE...: puts each FILE into DIR under its own name by
# writing a temporary file beside the target and renaming it over the old
# one.  A running program that has the old library mapped keeps its pages
# (the old file lives on until it is unmapped); copying over it in place
# would truncate and rewrite pages under that program, which then dies
# with SIGBUS.
set -eu
dir=$1
shift
for file in "$@"; do
    name=$(basename "$file")
    tmp="$dir/.$name.tmp.$$"
    trap 'rm -f "$tmp"' EXIT INT TERM HUP
    cp "$file" "$tmp"
    mv -f "$tmp" "$dir/$name"
    trap - EXIT INT TERM HUP
done
