#!/usr/bin/env bash
# Runs a Windows program under wine without wine's own chatter: the Windows build's emulator
# for its tests and checks (cmake/toolchain-windows-x86-64.cmake).
#
#   scripts/wine-run.sh PROGRAM.exe [ARGS...]
#
# The wine prefix (its C: drive and registry) is made once, in WINEPREFIX or else
# ~/.cache/orvane-wine, so that each check does not pay for setting one up.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/orvane-wine}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}  # no Mono or Gecko installer prompts
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1 || true
    wineserver --wait || true
fi
exec wine "$@"
