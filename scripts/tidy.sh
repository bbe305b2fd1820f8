#!/usr/bin/env bash
# Runs clang-tidy (with the repository's .clang-tidy) over the project's sources, one folder at
# a time, and fails when any warning is found in a checked folder's sources or headers.
#   scripts/tidy.sh [FOLDER...]    default: every source folder of the project
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

folders=("$@")
if ((${#folders[@]} == 0)); then
    folders=(wire platform call server web forms app chatserver tests fuzz bench)
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
# The moc output some sources include must exist before they can be parsed.
autogen=$(cmake --build "$dir" --target help | sed -n 's/^\([A-Za-z0-9_]*_autogen\):.*/\1/p')
if [[ -n $autogen ]]; then
    # shellcheck disable=SC2086
    cmake --build "$dir" -j2 --target $autogen >/dev/null
fi

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

status=0
report=()
for folder in "${folders[@]}"; do
    folder=${folder%/}
    files=()
    for unit in "${units[@]}"; do
        [[ $unit == "$folder"/* ]] && files+=("$root/$unit")
    done
    if ((${#files[@]} == 0)); then
        report+=("$folder: no sources in the build")
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
