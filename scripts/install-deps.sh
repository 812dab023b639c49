#!/usr/bin/env bash
# Installs Debian packages when one is missing: with no arguments those the build and the tests
# need, otherwise the packages named (the cross builds name their tool chains this way).
set -euo pipefail
# Named packages come without their recommendations (wine's would pull in a desktop's worth).
apt_flags=()
if [ $# -gt 0 ]; then
    packages=("$@")
    apt_flags=(--no-install-recommends)
else
    # nodejs runs the match tool's statistics for scripts/combine-matches.sh and its test.
    packages=(g++ make cmake libgtest-dev libbenchmark-dev libfathom-dev libzstd-dev zstd nodejs)
fi
if ! command -v dpkg-query >/dev/null; then
    # Another distribution (an OpenBench worker, say): its own packages must provide these.
    echo "install-deps.sh: not a Debian system; make sure these are installed: ${packages[*]}" >&2
    exit 0
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${apt_flags[@]}" "${missing[@]}"
fi
