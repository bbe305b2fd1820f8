#!/usr/bin/env bash
# Installs what is missing, builds both configurations (plain and AddressSanitizer+UBSan) and
# runs every test in each. This is what CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for config in release asan; do
    echo "=== $config: build"
    scripts/build.sh "$config"
    echo "=== $config: test"
    # One test at a time: several groups bind the same loopback web and SIP ports.
    ctest --test-dir "build/$config" --output-on-failure || status=1
done
exit $status
