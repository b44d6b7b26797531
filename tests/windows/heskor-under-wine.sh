#!/bin/bash
# Checks of the real Windows builds under Wine.
#   heskor-under-wine.sh <case> <Heskor_x64.exe> <Ostrix_x64.dll> <stand-in Ostrix_x64.dll> <build folder>
# Each case copies the tool (and a library) into a fresh folder, runs it there and compares the
# output and exit code. Under Wine a relative LoadLibraryA also searches the program's folder, so
# "no library" means no library in either place.
set -u
case_name=$1
tool=$2
real_library=$3
fake_library=$4
build=$5
here=$(cd "$(dirname "$0")" && pwd)
prefix=$build/wine-prefix

work=$(mktemp -d "${TMPDIR:-/tmp}/heskor-wine-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

usage='---USAGE---
FlushTrace: Heskor /f [FolderPath]
ReloadUSB : Heskor /r [ProductID] [option]
            option 0 -> Reload USB Device
            option 1 -> Disable USB Device
            option 2 -> Enable USB Device
-----------'

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# run <library: none|fake|real> <stand-in result 0|1> <expected code> <expected output> [args...]
run() {
    library=$1 result=$2 code=$3 expected=$4
    shift 4
    rm -f ./*.dll record.txt Ostrix.log
    cp "$tool" .
    case $library in
    fake) cp "$fake_library" . ;;
    real) cp "$real_library" . ;;
    esac
    output=$(FAKE_OSTRIX_RESULT=$result FAKE_OSTRIX_RECORD=record.txt \
        "$here/wine-run.sh" "$prefix" ./Heskor_x64.exe "$@")
    status=$?
    [ "$status" = "$code" ] || fail "Heskor $* (library $library): exit code $status, expected $code"
    case $expected in
    prefix:*)
        [ "${output#"${expected#prefix:}"}" != "$output" ] ||
            fail "Heskor $*: output '$output' does not start with '${expected#prefix:}'" ;;
    *)
        [ "$output" = "$expected" ] || fail "Heskor $*: output '$output', expected '$expected'" ;;
    esac
}

recorded() {
    actual=$(tr -d '\r' <record.txt 2>/dev/null)
    [ "$actual" = "$1" ] || fail "library calls '$actual', expected '$1'"
}

case $case_name in
usage)
    run none 1 0 "$usage"
    run fake 1 0 "$usage" /F 'C:\out'
    recorded ""
    run fake 1 0 "$usage" /flush 'C:\out'
    run fake 1 0 "$usage" -f 'C:\out'
    ;;
missing-library)
    run none 1 255 "LoadLibrary Error (7e)" /f 'C:\out'
    run none 1 255 "LoadLibrary Error (7e)" /F 'C:\out'
    ;;
real-library)
    # No TARNOCOM trace session runs under Wine: the real capture fails.
    run real 1 251 "execFlushTrace Error" /f 'C:\out'
    ;;
flush)
    run fake 1 0 "execFlushTrace Success" /f 'C:\out' ignored
    recorded 'rwGetTARNOLogFile 0 C:\out'
    run fake 0 251 "execFlushTrace Error" /f 'C:\out'
    run fake 1 250 "rwGetTARNOLogFile Parameter Error" /f
    recorded ""
    ;;
reload)
    run fake 1 0 "execReloadVELORUSB Success" /r 0001
    recorded 'rwReloadTARNODriver 0001 0'
    run fake 0 249 "execReloadVELORUSB Error" /r 0001
    run fake 0 248 "execReloadVELORUSB Error" /r 0001 x
    recorded 'rwReloadTARNODriver 0001 0'
    run fake 1 0 "execReloadVELORUSB Success" /r 0730 2
    recorded 'rwReloadTARNODriver 0730 2'
    run fake 1 247 "rwReloadTARNODriver Parameter Error" /r 0001 -1
    run fake 1 247 "rwReloadTARNODriver Parameter Error" /r 0001 3
    run fake 1 246 "rwReloadTARNODriver Parameter Error" /r
    run fake 1 246 "rwReloadTARNODriver Parameter Error" /r 0001 1 extra
    recorded ""
    ;;
library-log)
    printf '[Log]\r\nLogging=0\r\n' >Ostrix.ini
    run real 1 251 "execFlushTrace Error" /f 'C:\out'
    [ -f Ostrix.log ] || fail "no Ostrix.log written"
    lines=$(wc -l <Ostrix.log)
    [ "$lines" -gt 262 ] || fail "Ostrix.log has $lines lines, expected the load's 259, the capture's and one empty"
    crlf=$(grep -c $'\r$' Ostrix.log)
    [ "$crlf" = "$lines" ] || fail "$crlf of the $lines lines end in CR LF"
    line='^[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[ 0-9]{3}:[ 0-9]{5}:[ 0-9]{5}:[ 0-9]{5}:Inf:'
    tr -d '\r' <Ostrix.log >plain.log
    sed -n 1p plain.log | grep -Eq "${line}Info    : m_dwMainThreadID = 0\$" || fail "first line: $(sed -n 1p plain.log)"
    table=$(grep -Ec "${line}Info    : m_pPortStatus = 0000000000000000 m_pPortStatusWmi = 0000000000000000\$" plain.log)
    [ "$table" = 257 ] || fail "$table table lines, expected 257"
    sed -n 259p plain.log | grep -Eq "${line}Info    : Mainthread ID = [0-9]+\$" || fail "thread line: $(sed -n 259p plain.log)"
    # The capture's frame, then the one empty line of the unload, last.
    sed -n 260p plain.log | grep -Eq "${line}Enter   : rwGetTARNOLogFile\$" || fail "capture entry: $(sed -n 260p plain.log)"
    grep -Eq "${line}Info    : rwGetTARNOLogFile = False\$" plain.log || fail "no capture result line"
    tail -n 2 plain.log | head -n 1 | grep -Eq "${line}Exit    : rwGetTARNOLogFile\$" || fail "capture exit: $(tail -n 2 plain.log | head -n 1)"
    [ -z "$(tail -n 1 plain.log)" ] || fail "the last line is not empty"
    # Process and thread ids of every line are the same (one process, one loading thread).
    ids=$(grep -v '^$' plain.log | cut -d: -f8,9 | sort -u | wc -l)
    [ "$ids" = 1 ] || fail "the lines carry $ids different process/thread pairs"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

[ "$failures" = 0 ] || exit 1
echo "ok: $case_name"
