#!/usr/bin/env bash
# scripts/run.sh in a scratch checkout that belongs to a person (the
# throwaway user), with stand-ins for the package and build steps and for the
# configurator, which reports who it runs as and with what environment.
# Needs root, to act as sudo would; runs under xvfb-run for a display.
source "$(dirname "$0")/common.sh"
SOURCE_DIR="$(cd "$(dirname "$0")/../.." && pwd)"
if [ "$(id -u)" -ne 0 ]; then echo "skipped: needs root to act as sudo"; exit 77; fi
need xauth
PERSON=cvcrontest
getent passwd "$PERSON" >/dev/null ||
  useradd --system --no-create-home --shell /usr/sbin/nologin "$PERSON"
chmod 755 "$SCRATCH"
CO="$SCRATCH/checkout"
mkdir -p "$CO/scripts"
cp "$SOURCE_DIR/scripts/run.sh" "$SOURCE_DIR/scripts/build-owner.sh" "$CO/scripts/"
echo 'echo "==> packages present"' >"$CO/scripts/install-deps.sh"
cat >"$CO/scripts/build.sh" <<'BUILD'
set -e
mkdir -p build/Corvantis.app/Contents/MacOS build/sub
echo cache >build/CMakeCache.txt
echo object >build/sub/file.o
cat >build/Corvantis.app/Contents/MacOS/Corvantis <<'APP'
#!/bin/sh
echo "uid=$(id -u) groups=$(id -G)"
env | grep -E '^(HOME|USER|LOGNAME|PATH|DISPLAY|XAUTHORITY|SUDO_[A-Z]+)=' | sort
xdpyinfo >/dev/null 2>&1 && echo "display usable"
exit 0
APP
chmod 755 build/Corvantis.app/Contents/MacOS/Corvantis
BUILD
chown -R "$PERSON": "$CO"

# The person's own cookie for the display, as their session would have it.
AUTH="$SCRATCH/person.Xauthority"
xauth -f "${XAUTHORITY:-$HOME/.Xauthority}" nlist "$DISPLAY" | xauth -f "$AUTH" nmerge - 2>/dev/null
chown "$PERSON": "$AUTH"
uid="$(id -u "$PERSON")"

# What sudo passes on from the person's terminal.
sudo_env=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root USER=root LOGNAME=root
          SHELL=/bin/bash SUDO_USER="$PERSON" SUDO_UID="$uid" SUDO_GID="$(id -g "$PERSON")"
          DISPLAY="$DISPLAY" XAUTHORITY="$AUTH" LANG=C.UTF-8)
out="$("${sudo_env[@]}" bash "$CO/scripts/run.sh" 2>&1)"
echo "$out"
has() { local line; for line; do grep -qxF -- "$line" <<<"$out" || return 1; done; }
check "says it starts the configurator as the person" \
  grep -q "starting Corvantis as $PERSON, not as root" <<<"$out"
check "configurator runs as the person" grep -q "^uid=$uid groups=" <<<"$out"
check "no root group kept" test -z "$(grep '^uid=' <<<"$out" | grep -wE 'groups=(.* )?0')"
check "HOME is the person's" has "HOME=$(getent passwd "$PERSON" | cut -d: -f6)"
check "USER and LOGNAME are the person's" has "USER=$PERSON" "LOGNAME=$PERSON"
check "display and cookie passed on" has "DISPLAY=$DISPLAY" "XAUTHORITY=$AUTH"
check "the display works for the person" has "display usable"
check "nothing of sudo's passed on" test -z "$(grep '^SUDO_' <<<"$out")"
check "no root-owned file left in the build folder" \
  test -z "$(find "$CO/build" ! -user "$PERSON" -print -quit)"

# The person runs it again after an older run as root left a file behind:
# told how to give it back, nothing started.
touch "$CO/build/left-by-root"
out="$(setpriv --reuid="$uid" --regid="$(id -g "$PERSON")" --init-groups -- \
       env -i PATH=/usr/bin:/bin HOME=/ DISPLAY="$DISPLAY" XAUTHORITY="$AUTH" \
       bash "$CO/scripts/run.sh" 2>&1)"
status=$?
echo "$out"
check "refuses a build folder with root's files" test "$status" -ne 0
check "names the chown that fixes it" grep -q "sudo chown -R $PERSON: build" <<<"$out"
check "starts nothing then" test -z "$(grep '^uid=' <<<"$out")"
finish
