#!/usr/bin/env bash
# The headless demonstration: one real backup by the real engine in a sandbox
# home under the build folder. No real home folder is touched.
set -euo pipefail
BUILD_DIR="$(cd "${1:-build}" && pwd)"
SANDBOX="$BUILD_DIR/demo-home"
SUPPORT="$SANDBOX/Library/Application Support/Tallowmere/Corvantis"
DEST="$SANDBOX/Backups/Mail Backup"
ENGINE_SRC="$BUILD_DIR/Corvantis.app/Contents/Resources/CVEngine.app"

xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'; }
plist() { # key/value pairs of strings
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n'
  while [ $# -gt 0 ]; do
    printf '\t<key>%s</key>\n\t<string>%s</string>\n' "$1" "$(printf '%s' "$2" | xml_escape)"
    shift 2
  done
  printf '</dict>\n</plist>\n'
}

echo "==> Preparing a sandbox home at $SANDBOX"
rm -rf "$SANDBOX"
mkdir -p "$SANDBOX/Library/Thunderbird/Profiles/demo.default/Mail/Local Folders" \
         "$SANDBOX/Library/Preferences" "$SUPPORT" "$DEST"
TB="$SANDBOX/Library/Thunderbird"
printf '[Profile0]\nName=default\nPath=Profiles/demo.default\n' > "$TB/profiles.ini"
printf 'user_pref("mail.check_all_imap_folders", true);\n' > "$TB/Profiles/demo.default/prefs.js"
for box in Inbox Sent Archive; do
  for i in 1 2 3; do
    printf 'From demo@example.org\nSubject: %s message %s\n\nHello from the sandbox.\n\n' "$box" "$i"
  done > "$TB/Profiles/demo.default/Mail/Local Folders/$box"
done

# What the configurator would have saved for "Run Now only".
plist currentConfiguration "Corvantis is currently configured to backup Thunderbird on Run Now only." \
  > "$SANDBOX/Library/Preferences/com.tallowmere.Corvantis.plist"
plist Destination "$DEST" Client "Thunderbird" > "$SUPPORT/Config.plist"
# Installed as the configurator installs it: the copy it carries.
cp -a "$ENGINE_SRC" "$SUPPORT/"

echo "==> Running the engine"
engine_cmd=(env -u DISPLAY -u WAYLAND_DISPLAY HOME="$SANDBOX" QT_QPA_PLATFORM=offscreen
            "$SUPPORT/CVEngine.app/Contents/MacOS/CVEngine")
status=0
if command -v dbus-run-session >/dev/null 2>&1; then
  # A private bus, so the completion notice has somewhere to go.
  dbus-run-session -- "${engine_cmd[@]}" 2>/dev/null || status=$?
else
  "${engine_cmd[@]}" || status=$?
fi
echo "==> The engine exited with status $status"

echo "==> Log ($SANDBOX/Library/Logs/Corvantis.log):"
cat "$SANDBOX/Library/Logs/Corvantis.log" 2>/dev/null || echo "(no log)"
echo "==> Destination listing ($DEST):"
(cd "$DEST" && find . -mindepth 1 | sort | while IFS= read -r p; do ls -ld "$p"; done)
echo "==> Last backup marker:"
if [ -e "$SUPPORT/lastbackup" ]; then
  echo "lastbackup modified at $(date -r "$SUPPORT/lastbackup" '+%Y-%m-%d %H:%M:%S %Z')"
else
  echo "no marker: the backup did not succeed"
fi
exit "$status"
