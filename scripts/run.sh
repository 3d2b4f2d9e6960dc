#!/usr/bin/env bash
# Installs what is missing, builds, and starts the configurator. Without a
# display it runs the headless demonstration: one real backup in a sandbox home.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
BUILD_DIR="${CV_BUILD_DIR:-build}"

has_display() {
  if [ -n "${WAYLAND_DISPLAY:-}" ]; then return 0; fi
  [ -n "${DISPLAY:-}" ] || return 1
  command -v xdpyinfo >/dev/null 2>&1 || return 0
  xdpyinfo >/dev/null 2>&1
}

if has_display; then
  echo "==> Starting Corvantis"
  exec "$BUILD_DIR/Corvantis.app/Contents/MacOS/Corvantis"
fi

echo "==> No display available: running the headless demonstration instead."
exec bash scripts/demo.sh "$BUILD_DIR"
