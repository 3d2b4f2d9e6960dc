# shellcheck shell=bash disable=SC2034  # the variables are for the scripts that source this
# Shared by the desktop tests: a scratch folder, and checks that report every
# failure before the script ends with the count.
set -uo pipefail
BUILD_DIR="$(cd "$1" && pwd)"
SCRATCH="$(mktemp -d "${TMPDIR:-/tmp}/cv-desktop.XXXXXX")"
trap 'rm -rf "$SCRATCH"' EXIT
APP_ID=com.tallowmere.Corvantis
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
need() {
  command -v "$1" >/dev/null 2>&1 && return 0
  echo "FAIL: $1 is missing (scripts/install-deps.sh installs it)"; exit 1
}

# The executables of the installed tree, relative to the prefix.
EXECUTABLES=(
  bin/corvantis
  lib/corvantis/Corvantis.app/Contents/MacOS/Corvantis
  lib/corvantis/Corvantis.app/Contents/Resources/CVEngine.app/Contents/MacOS/CVEngine
  lib/corvantis/Corvantis.app/Contents/Resources/CVEngine.app/Contents/MacOS/CVAgent
  lib/corvantis/Corvantis.app/Contents/Resources/CVEngine.app/Contents/MacOS/CVOffsite
  lib/corvantis/Corvantis.app/Contents/Resources/CVEngine.app/Contents/Resources/bin/ditto
  lib/corvantis/Corvantis.app/Contents/Resources/CVEngine.app/Contents/Resources/bin/osascript
)
ICON_SIZES=(48 128 256)
DATA_FILES=(
  lib/corvantis/Corvantis.app/Contents/Info.plist
  lib/corvantis/Corvantis.app/Contents/Resources/CVEngine.app/Contents/Info.plist
  "share/applications/$APP_ID.desktop"
)
for s in "${ICON_SIZES[@]}"; do DATA_FILES+=("share/icons/hicolor/${s}x${s}/apps/$APP_ID.png"); done

# Value of KEY in the [Desktop Entry] group of FILE.
entry_value() {
  awk -v key="$2" '
    /^\[/ { group = $0; next }
    group == "[Desktop Entry]" && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }
  ' "$1"
}

# The program an Exec value runs: its first argument after undoing the
# string escapes, then the quoting.
exec_program() {
  local v="$1"
  v="${v//\\\\/\\}"
  if [ "${v:0:1}" = '"' ]; then
    v="${v:1}"; v="${v%%\" *}"; v="${v%\"}"
    v="$(printf '%s' "$v" | sed -e 's/\\\([\\"`$]\)/\1/g')"
  else
    v="${v%% *}"
  fi
  printf '%s' "$v" | sed -e 's/%%/%/g'
}

# Width and height of a PNG, from its header.
png_size() {
  od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'
}

# Checks the desktop entry and the icons of a tree installed to PREFIX whose
# launcher will live at EXPECTED_LAUNCHER.
check_entry_and_icons() {
  local root="$1" expected_launcher="$2"
  local entry="$root/share/applications/$APP_ID.desktop"
  check "desktop entry passes desktop-file-validate" desktop-file-validate "$entry"
  check "entry is an application" test "$(entry_value "$entry" Type)" = Application
  check "entry has a name" test "$(entry_value "$entry" Name)" = Corvantis
  check "entry has a comment" test -n "$(entry_value "$entry" Comment)"
  check "entry categories" test "$(entry_value "$entry" Categories)" = "Utility;Archiving;"
  local program
  program="$(exec_program "$(entry_value "$entry" Exec)")"
  check "Exec runs the installed launcher ($program)" test "$program" = "$expected_launcher"
  local icon
  icon="$(entry_value "$entry" Icon)"
  check "Icon is a theme name, not a path" test "$icon" = "$APP_ID"
  for s in "${ICON_SIZES[@]}"; do
    local png="$root/share/icons/hicolor/${s}x${s}/apps/$icon.png"
    check "icon $s: a ${s}x${s} picture" test "$(png_size "$png" 2>/dev/null)" = "${s}x${s}"
  done
}
