#!/usr/bin/env bash
# ThreadSanitizer run of the chat server's tests: builds them alone (no client, no widgets) in
# build/tsan, or the folder given as the first argument, and runs them. Exit status: that of the
# build or of ctest. JOBS sets the build's parallelism (2 by default).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/tsan}
targets=(chatserver_store_tests chatserver_loopback_tests chatserver_process_tests)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCOLLOQ_TSAN=ON >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target "${targets[@]}" colloqchat-server

export QT_QPA_PLATFORM=offscreen
# The tests start helper programs (nginx, the PostgreSQL scripts) while a SQLite store's
# checkpoint thread runs; the forked child only executes the program.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$root/scripts/tsan-server.supp ${TSAN_OPTIONS:-}"
# ThreadSanitizer maps its shadow memory at fixed places, which the kernel's full address
# randomisation can collide with; the tests run without it (their children inherit that).
run=()
if [[ $(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 28) -gt 28 ]] && command -v setarch >/dev/null; then
    run=(setarch "$(uname -m)" -R)
fi
cd "$build"
"${run[@]}" ctest -R '^chatserver_(store|loopback|process)_tests$' --output-on-failure --timeout 600 </dev/null
