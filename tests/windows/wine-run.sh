#!/bin/bash
# Runs a Windows program under Wine: wine-run.sh <prefix folder> <program> [arguments...]
# in the current folder, with a private Wine prefix that is created once (the first caller creates
# it while the others wait). Standard output comes back without the CRs of Windows line ends; the
# exit status is the program's exit code modulo 256.
set -u
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
(
    flock 9
    if [ ! -f "$prefix/.ready" ]; then
        mkdir -p "$prefix"
        wineboot --init >/dev/null 2>&1
        wineserver -w
        touch "$prefix/.ready"
    fi
) 9>"$prefix.lock"
wine "$@" 2>/dev/null | tr -d '\r'
exit "${PIPESTATUS[0]}"
