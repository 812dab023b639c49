#!/usr/bin/env bash
# Unpacks Debian's source package of Fathom (the Syzygy probing library) into DIR, for the
# cross builds: Debian ships the library built for this machine only, so a Windows or ARM64
# program compiles it from the same source. Nothing of it enters the repository.
#
#   scripts/fathom-source.sh DIR     prints the folder that holds tbprobe.c
#
# apt-get source needs a deb-src entry; when apt has none, one for this release's main archive
# is written to a file of its own (/etc/apt/sources.list.d/orvane-deb-src.sources).
set -euo pipefail
dir=${1:?usage: fathom-source.sh DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

find_source() { find "$dir" -maxdepth 3 -name tbprobe.c -path '*/src/*' -printf '%h\n' | head -n 1; }

if [ -z "$(find_source)" ]; then
    "$(dirname "$0")/install-deps.sh" dpkg-dev
    if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
    if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        . /etc/os-release
        $SUDO tee /etc/apt/sources.list.d/orvane-deb-src.sources >/dev/null <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: ${VERSION_CODENAME}
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
        $SUDO apt-get update -qq
    elif ! apt-cache showsrc fathom >/dev/null 2>&1 || [ -z "$(apt-cache showsrc fathom 2>/dev/null)" ]; then
        $SUDO apt-get update -qq
    fi
    (cd "$dir" && apt-get source -qq fathom) >&2
fi
src=$(find_source)
if [ -z "$src" ]; then
    echo "fathom-source.sh: no tbprobe.c in Debian's fathom source package under $dir" >&2
    exit 1
fi
echo "$src"
