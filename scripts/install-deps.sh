#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need, where they are missing.
# Runs without a prompt; needs root (or sudo) only when something is missing.
set -eu

packages="cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev
g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
libgcab-dev gcab cabextract pkg-config"

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
    run=""
elif command -v sudo >/dev/null 2>&1; then
    run="sudo -n"
else
    echo "These Debian packages are missing and this user cannot install them:$missing" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$run apt-get update -q
# shellcheck disable=SC2086
$run apt-get install -y -q $missing
