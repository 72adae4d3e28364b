#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks what a user gets: each
# installed tool's --version, the demo run from the installed tools, the man
# pages (compressed; version, files named by --help, no warning from groff
# or mandoc), and the Debian package built by CPack (metadata, file list,
# and lintian's verdict, where lintian is installed).
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
    gzip -dc "$man/$tool.1.gz" >"$scratch/$tool.1" || fail "$tool.1.gz is not gzip data"
    grep -q "kmertools $version" "$scratch/$tool.1" || fail "$tool.1 does not show version $version"
    warnings=$(groff -ww -man -z "$scratch/$tool.1" 2>&1) || true
    [ -z "$warnings" ] || fail "$tool.1: $warnings"
    if command -v mandoc >/dev/null; then
        mandoc -Tlint "$scratch/$tool.1" >&2 || fail "$tool.1: mandoc -Tlint finds the faults above"
    fi
    for file in $("$bin/$tool" --help | grep -oE '[a-z_]+\.(txt|kmerDiff|fasta)' | sort -u); do
        grep -qF "$file" "$scratch/$tool.1" || fail "$tool.1 does not mention $file, which --help names"
    done
done
command -v mandoc >/dev/null || echo "install check: mandoc not found (Debian package mandoc): the man pages are not linted by it"

SEEDTILER=$bin/seedtiler SIGSIEVE=$bin/sigsieve COHORTMEANS=$bin/cohortmeans \
    sh "$src/examples/demo.sh" "$src/examples" "$scratch/demo" >"$scratch/demo.log"
grep -qx '0.46875,6.5,6.25,2,2' "$scratch/demo.log" || fail "the demo from the installed tools printed: $(cat "$scratch/demo.log")"
[ "$(wc -l <"$scratch/demo/kmers.txt")" -eq 40 ] || fail "the installed seedtiler wrote an unexpected kmers.txt"

(cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null) || fail "cpack -G DEB failed"
deb=$(ls "$scratch"/deb/*.deb)
[ "$(dpkg-deb -f "$deb" Package)" = kmertools ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version-1" ] || fail "package version: $(dpkg-deb -f "$deb" Version)"
dpkg-deb -f "$deb" Maintainer | grep -q . || fail "no maintainer"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "dependencies: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -c "$deb" >"$scratch/files"
for tool in seedtiler sigsieve cohortmeans; do
    for f in usr/bin/$tool usr/share/man/man1/$tool.1.gz usr/share/bash-completion/completions/$tool \
             usr/share/zsh/vendor-completions/_$tool usr/share/fish/vendor_completions.d/$tool.fish; do
        grep -q " \./$f\$" "$scratch/files" || fail "$f is not in the package"
    done
done
for f in copyright changelog.Debian.gz changelog.gz; do
    grep -q " \./usr/share/doc/kmertools/$f\$" "$scratch/files" || fail "$f is not in the package"
done
if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" >&2 2> >(grep -v 'root privileges' >&2) ||
        fail "lintian rejects $(basename "$deb") (above)"
else
    echo "install check: lintian not found (Debian package lintian): the package is not linted"
fi
echo "install check passed: $(basename "$deb")"
