#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite under a
# private session bus with the offscreen platform; the few real-window tests
# start their own X server through xvfb-run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
BUILD_DIR="${CV_BUILD_DIR:-build}"
echo "==> Running the test suite"
cd "$BUILD_DIR"
exec dbus-run-session -- env QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2 "$@"
