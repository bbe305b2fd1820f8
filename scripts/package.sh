#!/usr/bin/env bash
# Builds the release tree and makes the Debian packages, one per program (colloqchat-client and
# colloqchat-server), in build/release/packages; prints their paths.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release colloqchat colloqchat-server
out=$PWD/build/release/packages
mkdir -p "$out"
rm -f "$out"/*.deb
if ! (cd build/release && cpack -G DEB -B "$out") >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log" >&2
    exit 1
fi
# A program linked while cpack copied it (another build of the same tree) would be packed empty.
for deb in "$out"/*.deb; do
    if dpkg-deb -c "$deb" | awk '$6 ~ /^\.\/usr\/bin\/./ && $3 == 0 { bad = 1 } END { exit !bad }'; then
        echo "package.sh: $deb holds an empty program; was the tree being built meanwhile? Run again." >&2
        exit 1
    fi
done
ls -1 "$out"/*.deb
