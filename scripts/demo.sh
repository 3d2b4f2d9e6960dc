#!/usr/bin/env bash
# One real backup with the real engine, in a sandbox home under the build folder.
set -euo pipefail
BUILD_DIR="$(cd "${1:-build}" && pwd)"
echo "The demonstration is not yet available: the engine cannot run a backup yet."
