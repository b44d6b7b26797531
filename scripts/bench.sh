#!/bin/sh
# Runs the benchmarks of a build folder and prints their results.
#   scripts/bench.sh <build folder>      (make bench uses build/release)
set -eu
build=${1:?usage: scripts/bench.sh <build folder>}
"$build/bench/logwriter_bench"
"$build/bench/usb_bench"
"$build/bench/serial_bench"
"$build/bench/line-events/line_event_bench"
"$build/bench/trace-capture/trace_capture_bench"
