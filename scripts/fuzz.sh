#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan) in build/fuzz and runs each on
# its seed corpus for a bounded time. Any finding (crash, sanitizer report, broken property,
# time-out, memory blow-up) fails the script; the input that caused it is left in
# build/fuzz/artifacts/<target>/.
#   scripts/fuzz.sh [SECONDS] [TARGET...]    default: 60 seconds each, every target
# New inputs the fuzzer finds go to build/fuzz/corpus/<target>/, never into the repository; a
# later run starts from them as well as from fuzz/corpus/<target>/. FUZZ_BUILD_DIR names another
# build tree. Long campaigns (millions of inputs per target, niced): fuzz/campaign.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 1)); then
    echo "usage: $0 [SECONDS] [TARGET...]" >&2
    exit 2
fi

dir=${FUZZ_BUILD_DIR:-build/fuzz}
if [[ ! -f $dir/CMakeCache.txt ]]; then
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    CC=clang CXX=clang++ cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCOLLOQ_FUZZ=ON -DCOLLOQ_BUILD_TESTS=OFF
fi

targets=("$@")
if ((${#targets[@]} == 0)); then
    for seeds in fuzz/corpus/*/; do
        targets+=("$(basename "$seeds")")
    done
fi
cmake --build "$dir" -j2 --target "${targets[@]}"

export QT_QPA_PLATFORM=offscreen
# The fuzzer checks every input for leaks; the report at exit would only list what Qt and the
# font libraries keep for the life of the process.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:leak_check_at_exit=0:abort_on_error=1:allocator_may_return_null=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/fuzz/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The targets write settings files and a store in a temporary folder: in memory where possible.
if [[ -z ${TMPDIR:-} && -d /dev/shm && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi

status=0
summary=()
for target in "${targets[@]}"; do
    work=$dir/corpus/$target
    artifacts=$dir/artifacts/$target
    mkdir -p "$work" "$artifacts"
    log=$dir/$target.log
    echo "=== $target: ${seconds}s"
    max_len=$(awk -v t="$target" '$1 == t { print $2 }' fuzz/max_len)
    if "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -max_len="${max_len:-4096}" \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
        tail -n 60 "$log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    summary+=("$target: $result, ${runs:-?} executions")
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $status
