#!/usr/bin/env bash
# Installs the Debian packages the build, the programs and the tests need.
# Idempotent: only missing packages are fetched, and only then is sudo asked
# for (when not already root).
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev
  libplist-dev libplist-utils
  libgtest-dev googletest
  cron dbus dbus-x11 xvfb xauth xdotool
  openbox x11-utils at-spi2-core
  attr procps file
  desktop-file-utils lintian appstream
  python3-gi gir1.2-glib-2.0
  rsync
  restic libsecret-1-dev
  rclone gnome-keyring libsecret-tools
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "==> All required Debian packages are present."
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "==> Missing Debian packages: ${missing[*]}" >&2
    echo "    sudo is not available; install them as root with:" >&2
    echo "    apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  SUDO="sudo"
  echo "==> Installing missing Debian packages with sudo (it may ask for your password): ${missing[*]}"
else
  echo "==> Installing missing Debian packages: ${missing[*]}"
fi
# Through env: sudo would drop an exported variable.
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
