#!/usr/bin/env bash
# Configures and builds one configuration: scripts/build.sh release|asan [targets...]
set -euo pipefail
cd "$(dirname "$0")/.."
config=${1:-release}
shift || true
case "$config" in
    release) dir=build/release; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOLLOQ_SANITIZE=OFF) ;;
    asan) dir=build/asan; flags=(-DCMAKE_BUILD_TYPE=Debug -DCOLLOQ_SANITIZE=ON) ;;
    *) echo "usage: $0 release|asan [targets...]" >&2; exit 2 ;;
esac
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [[ ! -f $dir/CMakeCache.txt ]]; then
    cmake -S . -B "$dir" "${generator[@]}" "${flags[@]}"
fi
if (($# > 0)); then
    cmake --build "$dir" -j2 --target "$@"
else
    cmake --build "$dir" -j2
fi
