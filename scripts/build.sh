#!/usr/bin/env bash
# Configures and builds into build/: the given CMake targets, or everything.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${CV_BUILD_DIR:-build}"
echo "==> Configuring (${BUILD_DIR})"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
if [ "$#" -gt 0 ]; then
  echo "==> Building $*"
  targets=(--target "$@")
else
  echo "==> Building"
fi
if ! cmake --build "$BUILD_DIR" -j "$(nproc)" "${targets[@]}"; then echo "==> Build failed" >&2; exit 1; fi
