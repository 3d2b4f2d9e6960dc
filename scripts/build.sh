#!/usr/bin/env bash
# Configures and builds everything into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${CV_BUILD_DIR:-build}"
echo "==> Configuring (${BUILD_DIR})"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "==> Building"
if ! cmake --build "$BUILD_DIR" -j "$(nproc)"; then echo "==> Build failed" >&2; exit 1; fi
