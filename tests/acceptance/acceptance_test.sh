#!/usr/bin/env bash
# The whole product as a person meets it. The built configurator runs under
# a real X server with a small window manager, as the throwaway user with a
# fresh home and a session bus of its own, and is driven only with keystrokes
# and clicks. The test reads what a person would see: files, the user's real
# crontab, the window's state, and the window's content through the
# accessibility tree (the way a screen reader reads it) and screenshots.
#
#   acceptance_test.sh BUILD_DIR PROBE          as root, under xvfb-run
#
# Root prepares the user and the display, then runs this script again as the
# user ("--as-person") inside a session of its own, and finally removes the
# user's crontab and whatever of that session is still running.
# shellcheck disable=SC2317  # the small functions are called through wait_for and check
set -uo pipefail
BUILD_DIR="$(cd "$1" && pwd)"
PROBE="$2"
PERSON=cvcrontest
# The copy run as the throwaway user finds its checks beside itself.
CHECKS="$(dirname "$0")/checks.sh"
[ -f "$CHECKS" ] || CHECKS="$(cd "$(dirname "$0")/../support" && pwd)/checks.sh"
source "$CHECKS"
# wait_for SECONDS command...: polls until the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

if [ "${3:-}" != --as-person ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: needs root, to drive the configurator as the throwaway user $PERSON with a real crontab"
    exit 77
  fi
  for tool in xdotool xprop xauth openbox crontab setpriv setsid dbus-run-session; do
    command -v "$tool" >/dev/null 2>&1 ||
      { echo "FAIL: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
  done
  [ -n "${DISPLAY:-}" ] || { echo "FAIL: no display; run under xvfb-run"; exit 1; }
  getent passwd "$PERSON" >/dev/null ||
    useradd --system --no-create-home --shell /usr/sbin/nologin "$PERSON"
  # When an allow list exists, only the users on it may have a crontab.
  if [ -f /etc/cron.allow ] && ! grep -qxF "$PERSON" /etc/cron.allow; then
    printf '\n%s\n' "$PERSON" >>/etc/cron.allow
  fi
  uid="$(id -u "$PERSON")"
  gid="$(id -g "$PERSON")"

  SCRATCH="$(mktemp -d "${TMPDIR:-/tmp}/cv-accept.XXXXXX")"
  chmod 755 "$SCRATCH"
  session=""
  cleanup() {
    if [ -n "$session" ]; then
      # What the person's session left running: the bus, the accessibility
      # services.
      local pids
      pids="$(pgrep -s "$session" 2>/dev/null | tr '\n' ' ')"
      # shellcheck disable=SC2086  # one argument per process id
      [ -z "$pids" ] || kill $pids 2>/dev/null
    fi
    # An engine started by Run Now leaves the session; it runs from the
    # scratch home.
    local pid
    for pid in $(pgrep -u "$PERSON"); do
      case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in
        "$SCRATCH"/*) kill "$pid" 2>/dev/null ;;
      esac
    done
    crontab -u "$PERSON" -r 2>/dev/null
    rm -rf "$SCRATCH"
  }
  trap cleanup EXIT
  trap 'exit 1' TERM INT

  person_home="$SCRATCH/home"
  runtime="$SCRATCH/runtime"
  mkdir -m 700 "$person_home" "$runtime"
  chown "$PERSON": "$person_home" "$runtime"
  # The person's own cookie for the display, as their session would have it.
  auth="$SCRATCH/person.Xauthority"
  xauth -f "${XAUTHORITY:-$HOME/.Xauthority}" nlist "$DISPLAY" | xauth -f "$auth" nmerge - 2>/dev/null
  chown "$PERSON": "$auth"
  chmod 600 "$auth"
  crontab -u "$PERSON" -r 2>/dev/null

  as_person=(setpriv --reuid="$uid" --regid="$gid" --init-groups --)
  app="$BUILD_DIR/Corvantis.app"
  if ! "${as_person[@]}" test -x "$app/Contents/MacOS/Corvantis"; then
    # A build folder the person cannot reach: the same bundle, copied.
    cp -a "$app" "$SCRATCH/"
    app="$SCRATCH/Corvantis.app"
    chown -R "$PERSON": "$app"
  fi
  probe="$PROBE"
  if ! "${as_person[@]}" test -x "$probe"; then
    cp "$PROBE" "$SCRATCH/cv_atspi_probe"
    probe="$SCRATCH/cv_atspi_probe"
  fi
  script="$SCRATCH/acceptance_test.sh"
  cp "$0" "$script"
  cp "$CHECKS" "$SCRATCH/checks.sh"
  chmod 755 "$script"
  chmod 644 "$SCRATCH/checks.sh"

  # A session of its own, so that everything it starts can be found afterwards.
  setsid "${as_person[@]}" env -i HOME="$person_home" USER="$PERSON" LOGNAME="$PERSON" \
    SHELL=/bin/sh PATH=/usr/bin:/bin LANG=C.UTF-8 DISPLAY="$DISPLAY" XAUTHORITY="$auth" \
    XDG_RUNTIME_DIR="$runtime" \
    dbus-run-session -- bash "$script" "$BUILD_DIR" "$probe" --as-person "$app" &
  session=$!
  wait "$session"
  exit $?
fi

# ---------------------------------------------------------------------------
# As the person, in a fresh home, with a session bus of their own.
APP="$4"
CONFIGURATOR="$APP/Contents/MacOS/Corvantis"
SUPPORT="$HOME/Library/Application Support/Tallowmere/Corvantis"
ENGINE="$SUPPORT/CVEngine.app/Contents/MacOS/CVEngine"
SESSION_FILE="$SUPPORT/session.env"
MARKER="$SUPPORT/lastbackup"
LOG="$HOME/Library/Logs/Corvantis.log"
DEST="$HOME/Mail Backups"
WORK="$(mktemp -d)"
wm_pid="" configurator_pid="" spy_pid=""
stop_own() {
  local pid
  for pid in "$spy_pid" "$configurator_pid" "$wm_pid"; do
    [ -z "$pid" ] || kill "$pid" 2>/dev/null
  done
  rm -rf "$WORK"
}
trap stop_own EXIT

# A Thunderbird profile as Thunderbird leaves it in a Linux home.
PROFILE="$HOME/.thunderbird"
mkdir -p "$PROFILE/k3x9.default-release/Mail/Local Folders" "$DEST"
printf '[Profile0]\nName=default-release\nIsRelative=1\nPath=k3x9.default-release\n' >"$PROFILE/profiles.ini"
printf 'From someone@example.org\nSubject: kept\n\nhello\n' >"$PROFILE/k3x9.default-release/Mail/Local Folders/Inbox"

# The person's own lines, which every change must keep byte for byte; one
# of them even has cron's % in it.
SEED="$WORK/seed"
printf '%s\n' '# my own jobs; leave them alone' 'MAILTO=""' \
  "$(printf '30 6 * * 1-5\tdate +%%H:%%M >/dev/null  # trailing spaces stay   ')" \
  '@reboot true' >"$SEED"
crontab "$SEED" || fail "the person's crontab can be written"

# A minimal window manager, so that windows can be minimised, restored and
# closed as on a desktop.
openbox --sm-disable >"$WORK/openbox.log" 2>&1 &
wm_pid=$!
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
wait_for 10 wm_ready ||
  { fail "the window manager started"; cat "$WORK/openbox.log"; finish; }

# The configurator's "Last backup" value as a screen reader reads it: the
# name of what the label "Last backup:" labels.
last_backup() {
  "$PROBE" labelled Corvantis "Last backup:"
}
# Extents of the last-backup value, for a photograph of it.
last_backup_extents() {
  local value
  value="$(last_backup)" && "$PROBE" find Corvantis "$value" label | cut -f1
}
main_window() {
  xdotool search --onlyvisible --name '^Corvantis$' 2>/dev/null | head -n 1
}
not_same() { [ -s "$2" ] && ! cmp -s "$1" "$2"; }
# One key chord to the configurator's focused window.
key() { xdotool key --clearmodifiers --delay 40 "$@"; }

# 1. First start ------------------------------------------------------------
echo "== first start"
# Accessibility on, as on the desktop of someone who uses a screen reader.
QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$CONFIGURATOR" >"$WORK/configurator.out" 2>&1 &
configurator_pid=$!
has_main_window() { [ -n "$(main_window)" ]; }
wait_for 20 has_main_window || { fail "the main window appeared"; cat "$WORK/configurator.out"; finish; }
WINDOW="$(main_window)"
wait_for 10 grep -q "Corvantis launched" "$LOG"
check "the Library folders exist" test -d "$HOME/Library/Preferences" -a -d "$HOME/Library/Logs"
check "the support folder exists" test -d "$SUPPORT"
check "the engine is installed" test -x "$ENGINE"
check "the engine's compatibility commands came along" \
  test -x "$SUPPORT/CVEngine.app/Contents/Resources/bin/ditto"
check "the session file is private" test "$(stat -c %a "$SESSION_FILE" 2>/dev/null)" = 600
check "the session file holds the display" grep -qxF "DISPLAY=$DISPLAY" "$SESSION_FILE"
check "the session file holds the bus" grep -qxF "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS" "$SESSION_FILE"
check "the start is logged" grep -q "Corvantis launched" "$LOG"
check "a first start leaves the crontab alone" cmp -s "$SEED" <(crontab -l)
wait_for 10 last_backup || fail "the window is in the accessibility tree"
BEFORE="$(last_backup)"
check "no backup is known yet ($BEFORE)" test "$BEFORE" = Unknown

# What the desktop and a screen reader know of the window.
wm_class="$(xprop -id "$WINDOW" WM_CLASS | sed -n 's/.*= //p')"
check "the window class is the desktop entry's StartupWMClass ($wm_class)" \
  test "$wm_class" = '"Corvantis", "Corvantis"'
check "the window carries the application's icon" sh -c "xprop -id '$WINDOW' _NET_WM_ICON | grep -q 'Icon ('"
check "Thunderbird, whose data is here, is offered" "$PROBE" find Corvantis Thunderbird "combo box"
check "the days are a group called Days" "$PROBE" find Corvantis Days
for day in Sunday Monday Tuesday Wednesday Thursday Friday Saturday; do
  check "the $day box is called $day" "$PROBE" find Corvantis "$day" "check box"
done
check "the info button has a name" "$PROBE" find Corvantis "Check the days" "push button"
check "the client picture has a name" "$PROBE" find Corvantis "Client picture"
check "the destination picture has a name" "$PROBE" find Corvantis "Destination folder picture"

# 2. Choose, then save with Ctrl+S -------------------------------------------
echo "== choose and save"
xdotool windowactivate --sync "$WINDOW" 2>/dev/null || xdotool windowfocus --sync "$WINDOW"
# The hour twelve hours away, so that the real cron never fires during the test.
HOUR=$(( ($(date +%-H) + 12) % 24 ))
MINUTE=42
HOUR12=$(( HOUR % 12 == 0 ? 12 : HOUR % 12 ))
AMPM=$([ "$HOUR" -lt 12 ] && echo AM || echo PM)
key alt+l
key Home t                      # Thunderbird, by its first letter
key alt+d ctrl+a
xdotool type --delay 20 "$DEST"
key Tab
# A day ticked and unticked again: the bubble asks for one, as an alert.
# A mnemonic clicks with a short animation that swallows a second click.
key alt+m; sleep 0.3; key alt+m
BUBBLE_TEXT="Please choose at least one day for the backup."
wait_for 10 "$PROBE" find Corvantis "$BUBBLE_TEXT" "alert message"
check "the day bubble is announced as an alert" "$PROBE" find Corvantis "$BUBBLE_TEXT" "alert message"
# Other windows of the program stay above it: the preferences, opened over it.
key ctrl+comma
prefs_window() { xdotool search --onlyvisible --name '^General$' 2>/dev/null | head -n 1; }
wait_for 10 prefs_window
PREFS="$(prefs_window)"
stacking() { xprop -root _NET_CLIENT_LIST_STACKING | sed -n 's/.*# //p' | tr -d ' ' | tr ',' '\n'; }
read -r bx by bw bh _ <<<"$("$PROBE" find Corvantis "$BUBBLE_TEXT" "alert message" | cut -f1)"
bubble_window="$(xdotool search --onlyvisible --class Corvantis 2>/dev/null | while read -r id; do
  eval "$(xdotool getwindowgeometry --shell "$id")"
  [ "$X" -le "$bx" ] && [ "$Y" -le "$by" ] && [ $((X + WIDTH)) -ge $((bx + bw)) ] &&
    [ "$WIDTH" -lt 400 ] && printf '0x%x\n' "$id"
done | head -n 1)"
prefs_hex="$(printf '0x%x' "$PREFS")"
position() { stacking | grep -nx "$1" | cut -d: -f1; }
echo "   stacking: $(stacking | tr '\n' ' ') (bubble $bubble_window, preferences $prefs_hex)"
check "the bubble stays under the preferences" \
  test "$(position "${bubble_window:-none}")" -lt "$(position "$prefs_hex")"
key Escape
wait_for 5 sh -c '[ -z "$(xdotool search --onlyvisible --name "^General$" 2>/dev/null)" ]'
check "Escape closes the preferences" test -z "$(prefs_window)"
xdotool windowactivate --sync "$WINDOW" 2>/dev/null || xdotool windowfocus --sync "$WINDOW"
key alt+m alt+w alt+f           # Monday, Wednesday, Friday
key alt+i
# Each section takes its digits and moves on; "P" alone is not yet "PM".
xdotool type --delay 40 "$(printf '%02d%02d%s' "$HOUR12" "$MINUTE" "$AMPM")"
key ctrl+s
engine_line_present() { crontab -l | grep -q 'CVEngine\.app'; }
wait_for 10 engine_line_present || fail "Ctrl+S wrote a line into the crontab"
crontab -l >"$WORK/saved"
ENGINE_LINES="$(grep -c 'CVEngine\.app' "$WORK/saved")"
check "exactly one engine line ($ENGINE_LINES)" test "$ENGINE_LINES" = 1
LINE="$(grep 'CVEngine\.app' "$WORK/saved")"
echo "   $LINE"
read -r minute hour dom month dow command <<<"$LINE"
check "at the chosen time ($hour:$minute)" test "$minute $hour" = "$MINUTE $HOUR"
check "on Monday, Wednesday and Friday ($dow)" test "$dow" = 1,3,5
check "every day of the month, every month" test "$dom $month" = "* *"
check "the person's own lines are kept" cmp -s "$SEED" <(grep -v 'CVEngine\.app' "$WORK/saved")
check "the save is logged" grep -q "Backup Schedule successfully saved." "$LOG"

# 3. The line's command, run as cron runs it ---------------------------------
echo "== the scheduled run"
# cron: the first % not escaped by a backslash ends the command; \% is %.
cron_command() {
  local field="$1" out="" c escaped=0 i
  for ((i = 0; i < ${#field}; i++)); do
    c="${field:i:1}"
    if [ "$escaped" = 1 ]; then
      [ "$c" = % ] && out="${out%\\}"
      out+="$c"; escaped=0; continue
    fi
    [ "$c" = % ] && break
    [ "$c" = "\\" ] && escaped=1
    out+="$c"
  done
  printf '%s' "$out"
}
before_shot="$WORK/before.png"
read -r x y w h <<<"$(last_backup_extents)"
"$PROBE" grab "$x" "$y" "$w" "$h" "$before_shot" || fail "the last backup line can be photographed"
env -i HOME="$HOME" LOGNAME="$LOGNAME" SHELL=/bin/sh PATH=/usr/bin:/bin \
  timeout 60 /bin/sh -c "$(cron_command "$command")" >"$WORK/cron.out" 2>&1
status=$?
check "the engine ended well ($status)" test "$status" = 0
check "the backup landed" cmp -s "$PROFILE/k3x9.default-release/Mail/Local Folders/Inbox" \
  "$DEST/k3x9.default-release/Mail/Local Folders/Inbox"
check "the marker is touched" test -f "$MARKER"
check "the success is logged" grep -q "Backup completed successfully" "$LOG"
line_changed() { [ "$(last_backup)" != "$BEFORE" ]; }
wait_for 10 line_changed
# The format the preferences store when they are first opened, as above:
# month first, 24-hour clock.
MARKER_TIME="$(LC_ALL=C date -r "$MARKER" '+%m/%d/%Y at %H:%M')"
check "the window's last backup line shows the marker's time ($(last_backup))" \
  test "$(last_backup)" = "$MARKER_TIME"
# The window paints the new text a moment after it has it.
repainted() { "$PROBE" grab "$x" "$y" "$w" "$h" "$WORK/after.png" && not_same "$before_shot" "$WORK/after.png"; }
wait_for 5 repainted
check "and looks different on the screen" repainted

# 4. Run Now with Ctrl+R ------------------------------------------------------
echo "== run now"
xprop -spy -id "$WINDOW" WM_STATE >"$WORK/states" 2>/dev/null &
spy_pid=$!
wait_for 5 test -s "$WORK/states"
runs_before="$(grep -c "Backup completed successfully" "$LOG")"
xdotool windowactivate --sync "$WINDOW" 2>/dev/null
key ctrl+r
ran_again() { [ "$(grep -c "Backup completed successfully" "$LOG")" -gt "$runs_before" ]; }
wait_for 60 ran_again
check "the engine ran again" ran_again
# The states the window manager recorded, oldest first.
states() { sed -n 's/.*window state: //p' "$WORK/states" | tr '\n' ' '; }
restored() { [[ "$(states)" == *Iconic*Normal* ]]; }
wait_for 10 restored
echo "   window states: $(states)"
check "the window was minimised" grep -q Iconic "$WORK/states"
check "and restored when the engine finished" restored
kill "$spy_pid" 2>/dev/null; spy_pid=""

# 5. Tools > Remove Schedule ---------------------------------------------------
echo "== remove schedule"
xdotool windowactivate --sync "$WINDOW" 2>/dev/null
key alt+t
# The menu takes the keyboard once it shows.
wait_for 10 "$PROBE" find Corvantis "Remove Schedule" "menu item" || fail "Alt+T opened the Tools menu"
key e
wait_for 10 eval '! engine_line_present'
check "the engine line is gone" eval '! engine_line_present'
crontab -l >"$WORK/removed"
# The engine's line stood first; the line feed that ended it stays behind.
check "every other line kept byte for byte" cmp "$WORK/removed" <(printf '\n'; cat "$SEED")
check "the removal is logged" grep -q "Configuration removed." "$LOG"

# 6. Close the window and choose Quit -------------------------------------------
echo "== quit"
xdotool windowactivate --sync "$WINDOW" 2>/dev/null
key alt+F4
# Where the button is once the window manager has placed the question.
quit_button=""
placed() {
  local now
  now="$("$PROBE" find Corvantis Quit "push button" | cut -f1)" || return 1
  [ "$now" = "$quit_button" ] && return 0
  quit_button="$now"
  return 1
}
if wait_for 10 placed; then
  read -r x y w h <<<"$quit_button"
  xdotool mousemove --sync $((x + w / 2)) $((y + h / 2)) click 1
else
  fail "closing the window asks whether to quit"
fi
wait_for 10 sh -c "! kill -0 $configurator_pid"
check "the configurator has ended" sh -c "! kill -0 $configurator_pid 2>/dev/null"
configurator_pid=""
check "\"Corvantis exited\" is in the log" grep -q "Corvantis exited" "$LOG"
[ "$FAILURES" -eq 0 ] || { echo "--- log"; cat "$LOG"; echo "--- configurator"; cat "$WORK/configurator.out"; }
finish
