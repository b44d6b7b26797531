#!/bin/sh
# The console tool and the client library on the simulated machine, in a temporary folder:
# the tool's usage, the library loaded with logging on, and the log it wrote.
#   scripts/demo-tool.sh <build folder>
set -eu
build=$(cd "${1:?usage: scripts/demo-tool.sh <build folder>}" && pwd)
tool=$build/tool/Heskor_x64.exe
library=$build/library/Ostrix_x64.dll
viewer=$build/platform/machine/winsim-dbgview

demo=$(mktemp -d "${TMPDIR:-/tmp}/heskor-demo-XXXXXX")
trap 'rm -rf "$demo"' EXIT
# A machine of its own for the demo: named mutexes, registered messages, debugger output.
export WINSIM_ROOT="$demo/machine"
mkdir -p "$demo/Heskor"
cp "$tool" "$library" "$demo/Heskor/"
cd "$demo/Heskor"

section() {
    printf '\n== %s ==\n\n' "$1"
}
indent() {
    sed 's/^/    /'
}

section "The console tool without arguments shows its usage"
echo "$ Heskor_x64.exe"
./Heskor_x64.exe | indent

section "Logging switched on beside the tool"
printf '[Log]\r\nLogging=0\r\nLogFileName=.\\Ostrix.log\r\n' >Ostrix.ini
echo "Ostrix.ini:"
tr -d '\r' <Ostrix.ini | indent
echo
echo "$ Heskor_x64.exe /f C:\\Logs"
code=0
./Heskor_x64.exe /f 'C:\Logs' >output.txt || code=$?
tr -d '\r' <output.txt | indent
echo "Exit code $code ($((code - 256))): the tool loaded .\\Ostrix_x64.dll, which does not export"
echo "rwGetTARNOLogFile yet, so it reports the system's text for error 127."

section "The log the library wrote while the tool had it loaded"
lines=$(wc -l <Ostrix.log)
echo "Ostrix.log: $lines lines, each ending in CR LF. Fields: date : time : milliseconds :"
echo "process : thread : call site : level : tag : text."
echo
tr -d '\r' <Ostrix.log | head -n 4 | indent
table=$(grep -c 'm_pPortStatus = ' Ostrix.log)
echo "    ... $((table - 5)) more lines like these: $table in all, one per port number 0..256 ..."
tr -d '\r' <Ostrix.log | sed -n '257,260p' | sed 's/^$/(empty line written at unload)/' | indent

section "The same with the log sent to the debugger output (Logging=2)"
printf '[Log]\r\nLogging=2\r\n' >Ostrix.ini
rm -f Ostrix.log
if [ -x "$viewer" ]; then
    "$viewer" >debug.txt 2>/dev/null &
    viewer_pid=$!
    # The viewer is ready once it is bound to the machine's debugger endpoint.
    tries=0
    while ! grep -q "@winsim-dbwin" /proc/net/unix 2>/dev/null && [ $tries -lt 50 ]; do
        tries=$((tries + 1))
        sleep 0.1
    done
    ./Heskor_x64.exe /f 'C:\Logs' >/dev/null || true
    kill -INT "$viewer_pid"
    wait "$viewer_pid" || true
    echo "winsim-dbgview received $(grep -c . debug.txt) messages ([process id] text); the first three:"
    echo
    head -n 3 debug.txt | indent
fi
if [ -f Ostrix.log ]; then
    echo "unexpected: Ostrix.log was written"
else
    echo
    echo "No Ostrix.log was written in this mode."
fi
