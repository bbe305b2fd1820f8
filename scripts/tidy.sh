#!/usr/bin/env bash
# Runs clang-tidy (with the repository's .clang-tidy) over the project's sources, one folder at
# a time, and fails when any warning is found in a checked folder's sources or headers.
#   scripts/tidy.sh [FOLDER...]         default: every source folder of the project
#   scripts/tidy.sh --changed [BASE]    only the sources changed since the merge base with BASE
#                                       (default origin/main, else the previous commit), the
#                                       sources beside a changed header, and a fixed sample of
#                                       every tenth source: the quick check CI runs
# The compile commands come from a clang build tree of its own, build/tidy (configured here; only
# the generated headers are built, nothing is compiled). Prints which folders are clean.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [[ -z $tidy ]]; then
    echo "tidy: clang-tidy is not installed (scripts/install-deps.sh installs it)" >&2
    exit 2
fi

changed_mode=0
base=""
if [[ ${1:-} == --changed ]]; then
    changed_mode=1
    base=${2:-}
    set --
fi

folders=("$@")
if ((${#folders[@]} == 0)); then
    folders=(wire platform core history call chatlink web forms desktop callui app chatserver tests fuzz bench tools)
fi
for folder in "${folders[@]}"; do
    if [[ ! -d $folder || $folder == build* ]]; then
        echo "tidy: no source folder $folder" >&2
        exit 2
    fi
done

dir=build/tidy
if [[ ! -f $dir/CMakeCache.txt ]]; then
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    CC=clang CXX=clang++ cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug \
        -DCOLLOQ_FUZZ=ON >/dev/null
else
    cmake "$dir" >/dev/null
fi
# The moc output some sources include must exist before they can be parsed. The moc steps run
# straight from their settings: through the build they would wait for every library and program
# their targets depend on to be compiled.
find "$dir" -path '*_autogen.dir/AutogenInfo.json' -print0 |
    xargs -0 -r -I{} -P 2 cmake -E cmake_autogen {} Debug >/dev/null

# Every translation unit of ours in the compile commands, by folder (generated ones excluded).
mapfile -t units < <(python3 - "$dir/compile_commands.json" "$root" <<'PY'
import json, os, sys
root = sys.argv[2]
for entry in json.load(open(sys.argv[1])):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if not rel.startswith(("build", "..")):
        print(rel)
PY
)

# In the quick mode only the chosen units are checked (a whole run takes too long for every change).
declare -A chosen=()
if ((changed_mode)); then
    if [[ -z $base ]]; then
        if git rev-parse -q --verify origin/main >/dev/null; then base=origin/main; else base=HEAD~1; fi
    fi
    changed=()
    from=$(git merge-base HEAD "$base" 2>/dev/null || true)
    # On the main line itself the merge base is the commit checked: its own changes are the news.
    if [[ -n $from && $from == $(git rev-parse HEAD) ]]; then from=$(git rev-parse -q --verify HEAD~1 || true); fi
    if [[ -n $from ]]; then
        mapfile -t changed < <(git diff --name-only "$from" -- '*.cpp' '*.h')
    else
        echo "tidy: no merge base with $base: the sample only"
    fi
    # Uncommitted changes count as well.
    mapfile -t -O "${#changed[@]}" changed < <(git diff --name-only HEAD -- '*.cpp' '*.h')
    index=0
    for unit in $(printf '%s\n' "${units[@]}" | sort -u); do
        ((index++ % 10 == 0)) && chosen[$unit]=1
        for path in "${changed[@]}"; do
            [[ $unit == "$path" || $unit == "${path%.h}.cpp" ]] && chosen[$unit]=1
        done
    done
    echo "tidy: ${#chosen[@]} of ${#units[@]} sources (changed since ${from:-nothing} and a sample)"
fi

status=0
report=()
for folder in "${folders[@]}"; do
    folder=${folder%/}
    files=()
    for unit in "${units[@]}"; do
        ((changed_mode)) && [[ -z ${chosen[$unit]:-} ]] && continue
        [[ $unit == "$folder"/* ]] && files+=("$root/$unit")
    done
    if ((${#files[@]} == 0)); then
        if ((changed_mode)); then report+=("$folder: none chosen"); else report+=("$folder: no sources in the build"); fi
        continue
    fi
    echo "=== $folder (${#files[@]} files)"
    # Headers of this folder only: another folder's header is reported with that folder.
    failed=0
    printf '%s\0' "${files[@]}" |
        xargs -0 -n 1 -P 2 "$tidy" -p "$dir" --quiet --header-filter="^$root/$folder/.*\.h$" >"$dir/$folder.log" 2>&1 ||
        failed=1
    findings=$(grep -E '(warning|error):' "$dir/$folder.log" | sort -u || true)
    if [[ -z $findings && $failed == 0 ]]; then
        report+=("$folder: clean")
    else
        status=1
        count=0
        if [[ -n $findings ]]; then
            echo "$findings"
            count=$(wc -l <<<"$findings")
        fi
        report+=("$folder: $count findings (see $dir/$folder.log)")
    fi
done

echo "=== summary"
printf '%s\n' "${report[@]}"
exit $status
