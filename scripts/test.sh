#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite under a
# private session bus with the offscreen platform; the few real-window tests
# start their own X server through xvfb-run.
#
# As yourself, the crontab tests use a stand-in crontab program. As root (or
# through sudo) they also run against the real crontab of a throwaway user,
# and the build folder is handed back to its owner afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${CV_BUILD_DIR:-build}"
source scripts/build-owner.sh
cv_check_build_dir
trap cv_give_back_build_dir EXIT
bash scripts/install-deps.sh
bash scripts/build.sh
echo "==> Running the test suite"
status=0
(cd "$BUILD_DIR" && dbus-run-session -- env QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2 "$@") || status=$?
exit "$status"
