#!/usr/bin/env bash
# Installs what is missing, builds both configurations (plain and AddressSanitizer+UBSan) and
# runs every test in each; then the static checks, a short run of every fuzz target and the
# ThreadSanitizer run of the server's tests. This is what CI runs; any failing step fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
timings=()

# Runs one step, notes how long it took and whether it passed, and goes on either way.
step() {
    local name=$1 start=$SECONDS result=ok
    shift
    echo "=== $name"
    "$@" || { result=FAILED; status=1; }
    timings+=("$(printf '%-40s %-6s %5d s' "$name" "$result" $((SECONDS - start)))")
}

for config in release asan; do
    step "$config: build" scripts/build.sh "$config"
    # One test at a time: several groups bind the same loopback web and SIP ports.
    step "$config: test" ctest --test-dir "build/$config" --output-on-failure
done
# The server alone builds without the client's packages; the client's libraries link downward.
step "link graph, server-only build" scripts/check-link-graph.sh build/release
# The calls of the lab of routers (a release test): each one's path and set-up time.
if [[ -f build/release/tests/nat/nat_lab_report.txt ]]; then
    echo "=== calls through routers (tests/nat)"
    cat build/release/tests/nat/nat_lab_report.txt
fi
step "clang-tidy (changed and a sample)" scripts/tidy.sh --changed
# The fuzz targets set their own sanitizer options (leak checks on).
step "fuzz targets, 20 s each" env -u ASAN_OPTIONS -u UBSAN_OPTIONS scripts/fuzz.sh 20
# The server's ThreadSanitizer script may not be in every checkout yet.
if [[ -f scripts/tsan-server.sh ]]; then step "ThreadSanitizer server tests" scripts/tsan-server.sh; fi

echo "=== summary"
printf '%s\n' "${timings[@]}"
exit $status
