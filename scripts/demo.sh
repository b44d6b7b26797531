#!/bin/sh
# The whole story on simulated machines, as a person would want to read it:
#   1. the console tool and the client library (usage, the library loaded, its log);
#   2. a Windows machine with the reader's driver package: readers plugged in and pulled out,
#      the devices, the SERIALCOMM map and the system event log, and a terminal session on COM3
#      through a loopback plug;
#   3. an application of the client library: the reader's ports, and callbacks by device
#      broadcasts and by WMI polling while readers are pulled out and plugged back;
#   4. support: a transfer fault traced from boot, the library's capture of the trace into a
#      cabinet and its decoded lines, and the library's reload of the readers;
#   5. Device Manager on a Japanese machine: the reader's port settings page renames its COM port;
#   6. a Windows program of one's own, built for the machine and run on one with a reader.
#   scripts/demo.sh <build folder>
set -eu
build=$(cd "${1:?usage: scripts/demo.sh <build folder>}" && pwd)
here=$(dirname "$0")

printf '######## The console tool and the client library ########\n'
"$here/demo-tool.sh" "$build"

printf '\n######## The driver on a simulated Windows machine ########\n'
"$build/demo/tarnocom-demo" "$build/driver-package"

printf '\n######## An application of the client library ########\n'
"$build/demo/application/tarnocom-app-demo" "$build/driver-package"

printf "\n######## Support: the driver's trace and a reload ########\n"
"$build/demo/support/tarnocom-support-demo" "$build/driver-package" "$build/symbols/TARNOCOM.tmf"

printf '\n######## Device Manager: the port settings page renames the COM port ########\n'
"$build/demo/portpage/tarnocom-portpage-demo" "$build/driver-package"

printf '\n######## A Windows program of your own on the machine ########\n'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '\n== Building demo/port_check.c with scripts/winsim-cc ==\n\n'
echo "$ scripts/winsim-cc demo/port_check.c -o port_check.exe"
"$here/winsim-cc" --build "$build" "$here/../demo/port_check.c" -o "$work/port_check.exe"
printf '\n== Running it on a machine with the driver package and a reader ==\n\n'
echo "$ winsim-run port_check.exe"
(cd "$work" && "$build/platform/machine/winsim-run" ./port_check.exe) | sed 's/^/    /'
cat <<'TEXT'

The program found COM3 in the registry, opened \\.\COM3 through the machine's kernel and asked
the driver for the port's rate: 1200 baud, the driver's default until a program sets another.
TEXT
