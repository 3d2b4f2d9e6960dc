#!/usr/bin/env bash
# Renders the pictures in docs/screenshots/ that the README shows: the real
# configurator and the real engine on a private X server, driven from outside
# with xdotool as a person would, in a throwaway home.
#
#   bash scripts/screenshots.sh [--no-build]
#
# Nothing real is touched: the programs run in a mount and process namespace of
# their own (unprivileged users get one through a user namespace), where a
# stand-in takes the place of /usr/bin/crontab, a process named cron stands
# for the cron service, and HOME, the session bus and the X server are
# temporary. Besides the packages of install-deps.sh it needs ImageMagick's
# import (capture), pngquant (small palette PNGs) and xcompmgr (without a
# compositor the translucent bubbles would show black corners); it installs
# them itself when they are missing, through sudo when not root.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
BUILD_DIR="${CV_BUILD_DIR:-build}"
OUT="$ROOT/docs/screenshots"
MAX_BYTES=$((100 * 1024))

# ---------------------------------------------------------------------------
# Outside: packages, build, then the same script again inside the namespace.
if [ "${1:-}" != --inside ]; then
  build=1
  for arg in "$@"; do
    case "$arg" in
      --no-build) build=0 ;;
      *) echo "usage: bash scripts/screenshots.sh [--no-build]" >&2; exit 2 ;;
    esac
  done
  bash scripts/install-deps.sh
  extra=()
  for p in imagemagick pngquant xcompmgr; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || extra+=("$p")
  done
  if [ "${#extra[@]}" -gt 0 ]; then
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
    echo "==> Installing what the pictures need: ${extra[*]}"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${extra[@]}"
  fi
  if [ "$build" -eq 1 ]; then bash scripts/build.sh; fi
  [ -x "$BUILD_DIR/Corvantis.app/Contents/MacOS/Corvantis" ] || { echo "==> No build in $BUILD_DIR" >&2; exit 1; }

  work="$(mktemp -d "${TMPDIR:-/tmp}/cv-screenshots.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
  ns=(unshare --mount --propagation private --pid --fork --mount-proc --kill-child)
  [ "$(id -u)" -eq 0 ] || ns=(unshare --map-root-user "${ns[@]:1}")
  mkdir -p "$OUT"
  echo "==> Rendering into docs/screenshots/"
  "${ns[@]}" env CV_BUILD_DIR="$BUILD_DIR" bash "$ROOT/scripts/screenshots.sh" --inside "$work"
  exit $?
fi

# ---------------------------------------------------------------------------
# Inside: everything below sees only the stand-ins and the temporary home.
W="$2"
APP="$(realpath "$BUILD_DIR")/Corvantis.app"
CONFIGURATOR="$APP/Contents/MacOS/Corvantis"
DITTO="$APP/Contents/Resources/CVEngine.app/Contents/Resources/bin/ditto"

say() { echo "    $*"; }
# On failure the screen as it was is kept in the build folder to look at.
fail() {
  if [ -n "${CV_SCREENSHOTS_LOG:-}" ] && [ -f "${LOG:-}" ]; then cp "$LOG" "$CV_SCREENSHOTS_LOG"; fi
  echo "==> $*" >&2
  if [ -n "${DISPLAY:-}" ] && import -silent -window root "$BUILD_DIR/screenshots-failure.png" 2>/dev/null; then
    echo "    The screen at that moment: $BUILD_DIR/screenshots-failure.png" >&2
  fi
  if [ -f "$LOG" ]; then tail -n 20 "$LOG" >&2; fi
  exit 1
}

unset DISPLAY XAUTHORITY DBUS_SESSION_BUS_ADDRESS XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME \
      XDG_STATE_HOME SESSION_MANAGER WAYLAND_DISPLAY QT_QPA_PLATFORM QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS
mkdir -p "$W/crontab" "$W/bin" "$W/raw" "$W/homes"
mkdir -m 700 "$W/runtime"

# A home with an ordinary name, since its paths show in the pictures: a
# fresh /home holding it, with every real home (this checkout may be in one)
# bound back in place, untouched.
person=""
for n in sam robin kim; do [ -e "/home/$n" ] || { person="$n"; break; }; done
[ -n "$person" ] || { echo "==> No free name under /home for the sample home" >&2; exit 1; }
mount --bind /home "$W/homes"
mount -t tmpfs -o mode=755 cv-home /home
for d in "$W"/homes/* "$W"/homes/.[!.]*; do
  [ -e "$d" ] || continue
  name="${d##*/}"
  if [ -d "$d" ]; then mkdir "/home/$name"; else touch "/home/$name"; fi
  mount --bind "$d" "/home/$name"
done
mkdir "/home/$person"

export HOME="/home/$person" USER="$person" LOGNAME="$person" XDG_RUNTIME_DIR="$W/runtime" \
       CV_FAKE_CRONTAB_DIR="$W/crontab" LANG=C.UTF-8 LC_ALL=C.UTF-8 TZ=UTC
LOG="$HOME/Library/Logs/Corvantis.log"

# The crontab the configurator edits is a file in the work folder.
mount --bind "$ROOT/tests/crontab/fake_crontab.sh" /usr/bin/crontab
# A running service, as on an ordinary desktop; only this namespace sees it.
cp /bin/sleep "$W/bin/cron"
"$W/bin/cron" infinity &
# A copy slow enough for the progress bubble to be seen at work.
cat >"$W/bin/ditto" <<EOF
#!/bin/sh
sleep 4
exec "$DITTO" "\$@"
EOF
chmod +x "$W/bin/ditto"
# With a ditto on the PATH the engine adds none of its own commands.
ln -s "${DITTO%/ditto}/osascript" "$W/bin/osascript"
export PATH="$W/bin:$PATH"

# Mail data to back up and a place for it.
mkdir -p "$HOME/.thunderbird/cv.default/Mail/Local Folders" "$HOME/Backups"
printf '[Profile0]\nName=default\nIsRelative=1\nPath=cv.default\n' >"$HOME/.thunderbird/profiles.ini"
printf 'From - Sun Dec  6 10:00:00 2026\nSubject: hello\n\nhi\n' >"$HOME/.thunderbird/cv.default/Mail/Local Folders/Inbox"

exec 3>"$W/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$W/xvfb.log" 2>&1 &
exec 3>&-
for _ in $(seq 100); do [ -s "$W/display" ] && break; sleep 0.1; done
[ -s "$W/display" ] || fail "Xvfb did not start"
DISPLAY=":$(cat "$W/display")"
export DISPLAY
eval "$(dbus-launch --sh-syntax)"
xcompmgr >/dev/null 2>&1 &
sleep 0.5

# Waits until FILE contains TEXT (a fixed string), for up to SECONDS.
wait_for_text() { # FILE TEXT SECONDS
  local n=$(( $3 * 10 ))
  while [ "$n" -gt 0 ]; do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1; n=$((n - 1))
  done
  return 1
}

# The viewable top-level windows whose name matches. (xdotool's
# search misses the translucent bubbles.)
viewable_windows() { # NAME-REGEX
  local id name
  xwininfo -root -children 2>/dev/null |
    awk '$1 ~ /^0x/ { name = ""; if (match($0, /"[^"]*"/)) name = substr($0, RSTART + 1, RLENGTH - 2); print $1, name }' |
    while read -r id name; do
      [[ "$name" =~ $1 ]] || continue
      if [[ "$(xwininfo -id "$id" 2>/dev/null)" == *"Map State: IsViewable"* ]]; then echo $((id)); fi
    done
}

# Prints the id of the first visible window whose name matches, other than
# the one given, waiting for it.
wait_for_window() { # NAME-REGEX SECONDS [EXCEPT-ID]
  local n=$(( $2 * 10 )) id
  while [ "$n" -gt 0 ]; do
    id="$(viewable_windows "$1" | grep -vx -- "${3:-none}" | head -n 1 || true)"
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1; n=$((n - 1))
  done
  return 1
}

# Prints the id of a viewable window that is not among the ids given, waiting
# for one.
wait_for_new_window() { # "ID ..." SECONDS
  local n=$(( $2 * 10 )) id
  while [ "$n" -gt 0 ]; do
    for id in $(viewable_windows '.*'); do
      case " $1 " in *" $id "*) ;; *) echo "$id"; return 0 ;; esac
    done
    sleep 0.1; n=$((n - 1))
  done
  return 1
}

# X Y WIDTH HEIGHT of a window.
geometry() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  echo "$X $Y $WIDTH $HEIGHT"
}

# Saves a rectangle of the screen as docs/screenshots/NAME.png, in a palette
# when that is smaller, and insists on the size limit.
shoot() { # NAME X Y WIDTH HEIGHT
  local raw="$W/raw/$1.png" out="$OUT/$1.png"
  sleep 0.6 # let the last repaint and the compositor settle
  import -silent -window root -crop "${4}x${5}+${2}+${3}" +repage "$raw"
  pngquant --force --skip-if-larger --quality=85-100 --output "$out" -- "$raw" 2>/dev/null || cp "$raw" "$out"
  local size; size="$(stat -c %s "$out")"
  [ "$size" -lt "$MAX_BYTES" ] || fail "$1.png is $size bytes, over the limit"
  say "$1.png ($4x$5, $((size / 1024)) KB)"
}

shoot_window() { # NAME WINDOW [MARGIN]
  local m="${3:-0}" x y w h
  read -r x y w h < <(geometry "$2")
  shoot "$1" $((x - m)) $((y - m)) $((w + 2 * m)) $((h + 2 * m))
}

key() { xdotool key --clearmodifiers "$@"; sleep 0.3; }

"$CONFIGURATOR" &
CONFIGURATOR_PID=$!
MAIN="$(wait_for_window '^Corvantis$' 20)" || fail "the main window did not appear"
wait_for_text "$LOG" "Corvantis launched" 10 || fail "the configurator did not finish starting"
# Without a window manager nothing gives the window the keyboard.
xdotool windowfocus --sync "$MAIN"
sleep 0.5

# 1. First start: nothing chosen yet.
shoot_window main-window-empty "$MAIN"

# 2. A destination but no day: the bubble beside the day boxes asks for one.
key alt+l; xdotool type --delay 40 "Thunderbird"; sleep 0.3
key alt+d; xdotool type --delay 20 "$HOME/Backups"; key Tab
key alt+m; key alt+m
BUBBLE="$(wait_for_window '^Corvantis$' 5 "$MAIN")" || fail "the day bubble did not appear"
read -r mx my mw mh < <(geometry "$MAIN")
read -r bx by bw bh < <(geometry "$BUBBLE")
left=$(( (bx < mx ? bx : mx) - 8 )); top=$(( (by < my ? by : my) - 8 ))
right=$(( (bx + bw > mx + mw ? bx + bw : mx + mw) + 8 )); bottom=$(( (by + bh > my + mh ? by + bh : my + mh) + 8 ))
shoot day-bubble "$left" "$top" $((right - left)) $((bottom - top))

# 3. Three days, a time, relaunch, saved with Ctrl+S into the (stand-in) crontab.
key alt+m; key alt+w; key alt+f
key alt+i; xdotool type --delay 120 "0930"; key Right Right Right Up; key Tab
key alt+r
key ctrl+s
wait_for_text "$W/crontab/table" "CVEngine" 5 || fail "saving wrote no crontab line"
say "crontab: $(grep -F CVEngine "$W/crontab/table")"

# 4. Run Now: the engine's bubble at work (the copy is slowed down), then done.
key ctrl+r
ENGINE_BUBBLE="$(wait_for_window '^CVEngine$' 20)" || fail "the engine's bubble did not appear"
sleep 1.5
shoot_window progress-running "$ENGINE_BUBBLE" 12
wait_for_text "$LOG" "Backup completed successfully" 30 || fail "the backup did not complete"
# The configurator hears of the end and shows the new last-backup time.
sleep 3
xdotool windowfocus --sync "$MAIN"
shoot_window main-window-configured "$MAIN"

# 5. A run whose destination has gone: the bubble lists the errors and waits.
rm -rf "$HOME/Backups"
key ctrl+r
ENGINE_BUBBLE="$(wait_for_window '^CVEngine$' 20)" || fail "the engine's bubble did not appear"
wait_for_text "$LOG" "Backup failed" 30 || fail "the failing run did not report"
sleep 1
shoot_window progress-errors "$ENGINE_BUBBLE" 12
ENGINE_PID="$(xdotool getwindowpid "$ENGINE_BUBBLE")"
kill "$ENGINE_PID" 2>/dev/null || true

# 6. The about box, from the Corvantis menu.
xdotool windowfocus --sync "$MAIN"
before="$(viewable_windows '.*' | tr '\n' ' ')"
xdotool mousemove --window "$MAIN" 30 8 click 1
MENU="$(wait_for_new_window "$before" 5)" || fail "the Corvantis menu did not open"
key a
ABOUT="$(wait_for_new_window "$before $MENU" 5)" || fail "the about box did not appear"
shoot_window about-box "$ABOUT"
# It closes itself after a few seconds; until then the main window waits.
for _ in $(seq 120); do
  case " $(viewable_windows '.*' | tr '\n' ' ') " in *" $ABOUT "*) sleep 0.1 ;; *) break ;; esac
done

# 7. The preferences, from the same menu.
xdotool windowfocus --sync "$MAIN"
sleep 0.5
before="$(viewable_windows '.*' | tr '\n' ' ')"
xdotool mousemove --window "$MAIN" 30 8 click 1
MENU="$(wait_for_new_window "$before" 5)" || fail "the Corvantis menu did not open"
key p
PREFERENCES="$(wait_for_new_window "$before $MENU" 5)" || fail "the preferences did not appear"
shoot_window preferences "$PREFERENCES"

kill "$CONFIGURATOR_PID" 2>/dev/null || true
if [ -n "${CV_SCREENSHOTS_LOG:-}" ]; then cp "$LOG" "$CV_SCREENSHOTS_LOG"; fi
echo "==> Done"
