#!/bin/sh
# The whole story on simulated machines, as a person would want to read it:
#   1. the console tool and the client library (usage, the library loaded, its log);
#   2. a Windows machine with the reader's driver package: readers plugged in and pulled out,
#      the devices, the SERIALCOMM map and the system event log.
#   scripts/demo.sh <build folder>
set -eu
build=$(cd "${1:?usage: scripts/demo.sh <build folder>}" && pwd)
here=$(dirname "$0")

printf '######## The console tool and the client library ########\n'
"$here/demo-tool.sh" "$build"

printf '\n######## The driver on a simulated Windows machine ########\n'
"$build/demo/tarnocom-demo" "$build/driver-package"
