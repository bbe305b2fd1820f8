#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it from its own folder.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release colloqchat
folder=${COLLOQ_CLIENT_DIR:-run/client-a}
mkdir -p "$folder/logs"
cp build/release/colloqchat "$folder/"
exec "$folder/colloqchat"
