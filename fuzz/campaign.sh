#!/usr/bin/env bash
# A long fuzzing campaign: every target in turn until it has run GOAL inputs, SLOTS targets at a
# time, niced, in chunks of at most CHUNK seconds (90 by default). A fuzzing process here runs
# fewer inputs a second the longer it lives (40 to 60% fewer after ten minutes, as its heap
# grows), so short chunks run more inputs in all; they also keep the counts current.
#   fuzz/campaign.sh start [GOAL] [SLOTS] [TARGET...]   build with scripts/fuzz.sh first
#   fuzz/campaign.sh count                                inputs run so far, per target
# FUZZ_BUILD_DIR names the build tree (default build/fuzz-campaign). Each chunk leaves its log in
# <dir>/logs/<target>.<n>.log; a finding stops that target and leaves its input in
# <dir>/artifacts/<target>/. <dir>/pids lists the campaign's processes (kill -STOP $(cat pids)
# pauses it, kill -CONT resumes it); new inputs go to <dir>/corpus/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${FUZZ_BUILD_DIR:-build/fuzz-campaign}
logs=$dir/logs

# Inputs run by one target: the finished chunks' final counts, plus the last progress line of a
# chunk still running.
count() {
    local target=$1 total=0 log runs
    for log in "$logs/$target".*.log; do
        [[ -f $log ]] || continue
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        [[ -n $runs ]] || runs=$(grep -ao '^#[0-9]*' "$log" | tail -n 1 | tr -d '#')
        total=$((total + ${runs:-0}))
    done
    echo "$total"
}

if [[ ${1:-} == count ]]; then
    while read -r target; do
        state=$(cat "$logs/$target.state" 2>/dev/null || echo waiting)
        printf '%-28s %12s  %s\n' "$target" "$(count "$target")" "$state"
    done <"$dir/queue.all"
    exit 0
fi
[[ ${1:-} == start ]] || {
    echo "usage: $0 start [GOAL] [SLOTS] [TARGET...] | $0 count" >&2
    exit 2
}
# A process group of its own, so that the pids file lists the campaign's processes and no others.
if [[ $(ps -o pgid= $$ | tr -d ' ') != "$$" ]]; then exec setsid "$0" "$@"; fi
goal=${2:-10000000}
slots=${3:-2}
shift $(($# < 3 ? $# : 3))
chunk=${CHUNK:-90}
targets=("$@")
if ((${#targets[@]} == 0)); then
    for seeds in fuzz/corpus/*/; do
        targets+=("$(basename "$seeds")")
    done
fi

mkdir -p "$logs"
printf '%s\n' "${targets[@]}" >"$dir/queue"
printf '%s\n' "${targets[@]}" >"$dir/queue.all"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:leak_check_at_exit=0:abort_on_error=1:allocator_may_return_null=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/fuzz/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if [[ -z ${TMPDIR:-} && -d /dev/shm && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi

# The next target of the queue, taken under a lock; nothing when the queue is empty.
next() {
    (
        flock 9
        head -n 1 "$dir/queue"
        sed -i 1d "$dir/queue"
    ) 9>"$dir/queue.lock"
}

# The group's processes, written whole and then put in place: the slots rewrite it at once.
listPids() {
    local list
    list=$(pgrep -g $$) || true
    echo "$list" >"$dir/pids.$BASHPID"
    mv -f "$dir/pids.$BASHPID" "$dir/pids"
}

slot() {
    local target ran n status max_len
    while target=$(next) && [[ -n $target ]]; do
        mkdir -p "$dir/corpus/$target" "$dir/artifacts/$target"
        while ran=$(count "$target") && ((ran < goal)); do
            n=$(find "$logs" -name "$target.*.log" | wc -l)
            echo "running" >"$logs/$target.state"
            max_len=$(awk -v t="$target" '$1 == t { print $2 }' fuzz/max_len)
            nice -n 19 "$dir/fuzz/$target" -runs=$((goal - ran)) -max_total_time="$chunk" -timeout=30 \
                -rss_limit_mb=4096 -max_len="${max_len:-4096}" -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target/" \
                "$dir/corpus/$target" "fuzz/corpus/$target" >"$logs/$target.$n.log" 2>&1 &
            listPids
            status=0
            wait $! || status=$?
            if ((status != 0)); then
                echo "FINDING (exit $status, see $logs/$target.$n.log)" >"$logs/$target.state"
                break
            fi
        done
        [[ $(cat "$logs/$target.state") == running ]] && echo "done" >"$logs/$target.state"
    done
}

for ((i = 0; i < slots; ++i)); do
    slot &
done
listPids
wait
rm -f "$dir/pids"
