#!/usr/bin/env bash
# Installs what is missing, builds, and starts the configurator. Without a
# display it runs the headless demonstration: one real backup in a sandbox home.
#
# Run it as yourself: the configurator schedules backups in the crontab of the
# user who runs it and keeps its settings in that user's home. Only a missing
# Debian package asks for sudo. Started through sudo anyway, it starts the
# configurator as the person who called sudo, in that person's own session.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${CV_BUILD_DIR:-build}"
source scripts/build-owner.sh
cv_check_build_dir
trap cv_give_back_build_dir EXIT
bash scripts/install-deps.sh
# Only what runs here: the configurator, with the engine and its commands
# inside its bundle (the demonstration uses that copy too). The tests and
# benchmarks are built by scripts/test.sh.
bash scripts/build.sh Corvantis cv_embed_engine
cv_give_back_build_dir
CONFIGURATOR="$(realpath "$BUILD_DIR")/Corvantis.app/Contents/MacOS/Corvantis"

# How the configurator is started: directly, or as SUDO_USER with that
# person's own environment (nothing of root's is passed on).
as_person=()
person=""
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] \
   && entry="$(getent passwd "$SUDO_USER")"; then
  person="$SUDO_USER"
  IFS=: read -r _ _ uid gid _ home shell <<<"$entry"
  runtime="/run/user/$uid"
  vars=(HOME="$home" USER="$person" LOGNAME="$person" SHELL="${shell:-/bin/sh}"
        PATH=/usr/local/bin:/usr/bin:/bin)
  for v in LANG LANGUAGE LC_ALL LC_CTYPE LC_MESSAGES LC_TIME DISPLAY WAYLAND_DISPLAY; do
    if [ -n "${!v:-}" ]; then vars+=("$v=${!v}"); fi
  done
  if [ -n "${XAUTHORITY:-}" ]; then vars+=(XAUTHORITY="$XAUTHORITY")
  elif [ -f "$runtime/gdm/Xauthority" ]; then vars+=(XAUTHORITY="$runtime/gdm/Xauthority")
  fi
  if [ -d "$runtime" ]; then vars+=(XDG_RUNTIME_DIR="$runtime"); fi
  if [ -S "$runtime/bus" ]; then vars+=(DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus")
  elif [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then vars+=(DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS")
  fi
  workdir="$home"; [ -d "$workdir" ] || workdir=/
  as_person=(setpriv --reuid="$uid" --regid="$gid" --init-groups -- env -i -C "$workdir" "${vars[@]}")
fi

has_display() { # as the configurator would see it
  if [ -n "${WAYLAND_DISPLAY:-}" ]; then return 0; fi
  [ -n "${DISPLAY:-}" ] || return 1
  command -v xdpyinfo >/dev/null 2>&1 || return 0
  "${as_person[@]}" xdpyinfo >/dev/null 2>&1
}

if has_display; then
  if [ -n "$person" ]; then
    if ! "${as_person[@]}" test -x "$CONFIGURATOR"; then
      echo "==> $person cannot reach $CONFIGURATOR, so Corvantis is not started." >&2
      echo "    Run it from a checkout of your own, as yourself: bash scripts/run.sh" >&2
      exit 1
    fi
    echo "==> Started through sudo: starting Corvantis as $person, not as root."
    echo "    The schedule goes into $person's crontab; settings and log stay under $home."
    exec "${as_person[@]}" "$CONFIGURATOR"
  fi
  if [ "$(id -u)" -eq 0 ]; then
    echo "==> Running as root: Corvantis will schedule root's backups. Run as yourself for your own."
  fi
  echo "==> Starting Corvantis"
  exec "$CONFIGURATOR"
fi

echo "==> No display available: running the headless demonstration instead."
bash scripts/demo.sh "$BUILD_DIR"
