#!/usr/bin/env bash
# Checks how the programs and libraries link:
#  - a server-only tree (-DCOLLOQ_CLIENT=OFF, build/server) configures without looking for Qt
#    Widgets, D-Bus or liblinphone, and builds the server and its mail sink;
#  - in the full tree (build/release unless given) the client's libraries below the window reach
#    no widgets, and only a few test programs link the whole window.
# Usage: scripts/check-link-graph.sh [FULL_BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
full=${1:-build/release}
server=build/server

# Libraries that must stay free of Qt Widgets, and how many test programs may link colloq_app.
widget_free=(colloq_wire colloq_platform colloq_core colloq_rtc colloq_callcontrol colloq_chatlink colloq_web)
max_window_tests=3

failed=0
fail() {
    echo "check-link-graph: $*" >&2
    failed=1
}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$server" "${generator[@]}" -DCOLLOQ_CLIENT=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    --graphviz="$server/graph/colloq.dot" >"$server.configure.log" 2>&1 ||
    {
        cat "$server.configure.log" >&2
        exit 1
    }
# A package that was looked for leaves its folder in the cache, found or not.
for looked in Qt6Widgets_DIR Qt6DBus_DIR LinphoneCxx_DIR; do
    if grep -q "^$looked:" "$server/CMakeCache.txt"; then fail "the server-only tree looked for ${looked%_DIR}"; fi
done
if grep -l 'Qt6::Widgets\|Qt6::DBus\|linphone' "$server"/graph/colloq.dot* >/dev/null 2>&1; then
    fail "something in the server-only tree links widgets, D-Bus or liblinphone"
fi
cmake --build "$server" -j2 --target colloqchat-server colloqchat-mailsink

# Programs that tests only run (as add_dependencies) are left out: a test that starts a client
# process does not link the window.
echo 'set(GRAPHVIZ_IGNORE_TARGETS "e2e_client;client_startup_bench_client")' >"$full/CMakeGraphVizOptions.cmake"
rm -rf "$full/graph"
cmake -S . -B "$full" --graphviz="$full/graph/colloq.dot" >/dev/null
# What `from` reaches through the edges of the whole graph ("a -> b" in each edge's comment).
reaches() { # reaches FROM: prints every target FROM links, directly or not
    awk -v from="$1" '
        / -> / && /\/\// { split($0, parts, "// "); split(parts[2], ends, " -> "); edges[ends[1]] = edges[ends[1]] "\n" ends[2] }
        END {
            queue[1] = from; seen[from] = 1; n = 1
            for (i = 1; i <= n; i++) {
                count = split(edges[queue[i]], next_, "\n")
                for (j = 1; j <= count; j++) if (next_[j] != "" && !(next_[j] in seen)) { seen[next_[j]] = 1; queue[++n] = next_[j]; print next_[j] }
            }
        }' "$full/graph/colloq.dot"
}
for lib in "${widget_free[@]}"; do
    if reaches "$lib" | grep -qx 'Qt6::Widgets'; then fail "$lib links Qt Widgets"; fi
done
window_tests=()
for test in $(grep -o 'label = "[A-Za-z0-9_]*_tests", shape = egg' "$full/graph/colloq.dot" | sed 's/label = "\(.*\)".*/\1/' | sort -u); do
    if reaches "$test" | grep -qx colloq_app; then window_tests+=("$test"); fi
done
echo "check-link-graph: ${#window_tests[@]} test programs link colloq_app: ${window_tests[*]}"
if ((${#window_tests[@]} > max_window_tests)); then fail "more than $max_window_tests test programs link colloq_app"; fi
if ((failed == 0)); then echo "check-link-graph: ok"; fi
exit $failed
