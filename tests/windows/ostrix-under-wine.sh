#!/bin/bash
# Checks of the real Ostrix_x64.dll under Wine, through a small application (OstrixProbe.exe).
#   ostrix-under-wine.sh <case> <OstrixProbe.exe> <Ostrix_x64.dll> <build folder>
# Wine has no reader and no USB device of ours, so what it can check is what the library does
# without one: failures reported as such, the parameter checks, the notification object, and a
# reload refused before it looks at any device.
set -u
case_name=$1
probe=$2
library=$3
build=$4
here=$(cd "$(dirname "$0")" && pwd)
prefix=$build/wine-prefix

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrix-wine-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$probe" "$library" .
printf '[Log]\r\nLogging=0\r\n' >Ostrix.ini

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

probe() {
    "$here/wine-run.sh" "$prefix" ./OstrixProbe.exe "$@"
}

case $case_name in
ports)
    output=$(probe ports 9999)
    [ "$output" = "result 0 count 0 names null" ] || fail "rwGetUSBPortNames 9999: '$output'"
    tr -d '\r' <Ostrix.log >plain.log
    grep -Eq ':Err:ErrInfo : RegOpenKeyEx ERR!! lRet = 2 GetLastError = [0-9]+ $' plain.log ||
        fail "no error line for the missing instance key"
    grep -Eq ':Inf:ErrExit : rwGetUSBPortNames$' plain.log || fail "no ErrExit line"
    # The lock is released last, after the failure lines.
    tail -n 2 plain.log | head -n 1 | grep -q 'CSUnlock: rwGetUSBPortNames$' ||
        fail "CSUnlock is not the export's last line: $(tail -n 2 plain.log)"
    ;;
checks)
    output=$(probe checks)
    expected=""
    for kind in notify wmi; do
        for c in null-port empty-port LPT1 COM0 COM257 COMX mask-0 mask-4 null-status; do
            expected+="$kind $c 100"$'\n'
        done
    done
    expected+="init COM0 100"$'\n'"init null 100"
    [ "$output" = "$expected" ] || fail "parameter checks: $(diff <(echo "$expected") <(echo "$output"))"
    tr -d '\r' <Ostrix.log >plain.log
    grep -q 'ErrInfo : iPortNo ERR!! iPortNo = 257$' plain.log || fail "no iPortNo line for COM257"
    grep -q 'ErrInfo : PortName ERR!! PortName = LPT1$' plain.log || fail "no PortName line for LPT1"
    grep -q 'ErrInfo : lEvent ERR!! lEvent = 4$' plain.log || fail "no lEvent line"
    grep -q 'ErrInfo : strPortNo is NULL!!$' plain.log || fail "no strPortNo line"
    ;;
init)
    output=$(probe init COM5 2)
    [ "$output" = $'init 0\ninit 101' ] || fail "rwInitializeEvent twice: '$output'"
    ;;
reload)
    output=$(probe reload 0730 3)
    [ "$output" = "reload 0" ] || fail "rwReloadTARNODriver with command 3: '$output'"
    tr -d '\r' <Ostrix.log | grep -q 'Info    : rwReloadTARNODriver = false$' || fail "no reload result line in the log"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

[ "$failures" = 0 ] || exit 1
echo "ok: $case_name"
