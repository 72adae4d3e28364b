#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks what a user gets: each
# installed tool's --version, the demo run from the installed tools, the man
# pages (version, files named by --help, no roff warnings), and the Debian
# package built by CPack (metadata and file list).
#   install_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kmertools-install-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "install check: $*" >&2; exit 1; }

for need in groff:groff-base dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev; do
    command -v "${need%%:*}" >/dev/null || fail "${need%%:*} not found: install the Debian package ${need#*:}"
done

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
bin=$scratch/prefix/bin
man=$scratch/prefix/share/man/man1
for tool in seedtiler sigsieve cohortmeans; do
    [ "$("$bin/$tool" --version | head -n 1)" = "$tool $version" ] || fail "$tool --version does not begin with '$tool $version'"
    grep -q "kmertools $version" "$man/$tool.1" || fail "$tool.1 does not show version $version"
    warnings=$(groff -ww -man -z "$man/$tool.1" 2>&1) || true
    [ -z "$warnings" ] || fail "$tool.1: $warnings"
    for file in $("$bin/$tool" --help | grep -oE '[a-z_]+\.(txt|kmerDiff|fasta)' | sort -u); do
        grep -qF "$file" "$man/$tool.1" || fail "$tool.1 does not mention $file, which --help names"
    done
done

SEEDTILER=$bin/seedtiler SIGSIEVE=$bin/sigsieve COHORTMEANS=$bin/cohortmeans \
    sh "$src/examples/demo.sh" "$src/examples" "$scratch/demo" >"$scratch/demo.log"
grep -qx '0.46875,6.5,6.25,2,2' "$scratch/demo.log" || fail "the demo from the installed tools printed: $(cat "$scratch/demo.log")"
[ "$(wc -l <"$scratch/demo/kmers.txt")" -eq 40 ] || fail "the installed seedtiler wrote an unexpected kmers.txt"

(cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null) || fail "cpack -G DEB failed"
deb=$(ls "$scratch"/deb/*.deb)
[ "$(dpkg-deb -f "$deb" Package)" = kmertools ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
dpkg-deb -f "$deb" Maintainer | grep -q . || fail "no maintainer"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "dependencies: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -c "$deb" >"$scratch/files"
for f in usr/bin/seedtiler usr/bin/sigsieve usr/bin/cohortmeans \
         usr/share/man/man1/seedtiler.1 usr/share/man/man1/sigsieve.1 usr/share/man/man1/cohortmeans.1; do
    grep -q " \./$f\$" "$scratch/files" || fail "$f is not in the package"
done
echo "install check passed: $(basename "$deb")"
