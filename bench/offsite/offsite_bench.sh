#!/usr/bin/env bash
# CVOffsite against restic run by hand on the same data and the same kind of
# repository, alternately (farm-bench): the first upload of a mailbox folder
# into a new repository, and a repeat after 1 % of it changed. Then the peak
# memory of CVOffsite itself (restic's apart), read from /proc while it runs.
#
#   bash bench/offsite/offsite_bench.sh [build dir] [megabytes, default 1024] [runs, default 3]
#
# Runs in a throwaway home under a private session bus with its own keyring;
# nothing of the real home is touched. Needs restic, gnome-keyring,
# secret-tool, python3 and farm-bench.
set -euo pipefail
BUILD="$(cd "${1:-build}" && pwd)"
MB="${2:-1024}"
RUNS="${3:-3}"
OFFSITE="$BUILD/CVEngine.app/Contents/MacOS/CVOffsite"
[ -x "$OFFSITE" ] || { echo "no $OFFSITE: build the CVOffsite target first" >&2; exit 1; }

# The throwaway home is set before the bus starts, and the bus activates
# nothing: no keyring with the real home can be started by a lookup.
if [ -z "${CV_BENCH_INNER:-}" ]; then
  WORK="$(mktemp -d /var/tmp/cv-offsite-bench-XXXXXX)"
  export CV_BENCH_WORK="$WORK" HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/run"
  unset XDG_DATA_HOME XDG_CACHE_HOME XDG_CONFIG_HOME
  mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  status=0
  env CV_BENCH_INNER=1 dbus-run-session --config-file="$(dirname "$0")/../../tests/offsite/session-bus.conf" -- \
    bash "$0" "$BUILD" "$MB" "$RUNS" || status=$?
  rm -rf "$WORK"
  exit "$status"
fi

WORK="$CV_BENCH_WORK"
printf 'bench-keyring' | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
KEYRING_PID=$!
trap 'kill "$KEYRING_PID" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true' && break
  sleep 0.2
done

PASSWORD='bench-password-not-secret'
DATA="$HOME/Backups/Mail"
REPO_A="$WORK/repo-offsite"   # CVOffsite's
REPO_B="$WORK/repo-byhand"    # restic's by hand
SUPPORT="$HOME/Library/Application Support/Tallowmere/Corvantis"
mkdir -p "$DATA/Mail/Local Folders" "$SUPPORT" "$HOME/Library/Preferences"

echo "==> $MB MB of mailbox data in 1 MB..64 MB files"
python3 - "$DATA" "$MB" <<'PY'
import os, sys, random
root, mb = sys.argv[1], int(sys.argv[2])
random.seed(1)
left, i = mb, 0
while left > 0:
    size = min(left, random.choice([1, 4, 16, 64]))
    with open(os.path.join(root, "Mail", "Local Folders", f"box{i:03}"), "wb") as f:
        f.write(os.urandom(size * 1000 * 1000))
    left -= size; i += 1
PY

python3 - "$HOME" "$DATA" "$REPO_A" "$SUPPORT" <<'PY'
import plistlib, sys, datetime
home, data, repo, support = sys.argv[1:]
with open(f"{home}/Library/Preferences/com.tallowmere.Corvantis.plist", "wb") as f:
    plistlib.dump({"OffsiteEnabled": True, "OffsiteRepository": repo, "keepVersions": 31}, f)
with open(f"{support}/Config.plist", "wb") as f:
    plistlib.dump({"Destination": data, "Client": "Thunderbird"}, f)
PY
printf '%s' "$PASSWORD" | secret-tool store --label=bench application com.tallowmere.Corvantis repository "$REPO_A"

# The weekly forget and monthly check are not due, so both sides only send.
cat > "$WORK/fresh-record.py" <<PY
import plistlib, datetime
now = datetime.datetime.utcnow()
with open("$SUPPORT/offsite.plist", "wb") as f:
    plistlib.dump({"LastForget": now, "LastCheck": now, "NextCheckSlice": 1, "Succeeded": True}, f)
PY
cat > "$WORK/first-a.sh" <<EOF2
rm -rf "$REPO_A" && printf '%s\n' '$PASSWORD' | restic -q -r "$REPO_A" init >/dev/null && python3 "$WORK/fresh-record.py" && exec "$OFFSITE"
EOF2
cat > "$WORK/first-b.sh" <<EOF2
rm -rf "$REPO_B" && printf '%s\n' '$PASSWORD' | restic -q -r "$REPO_B" init >/dev/null && python3 "$WORK/fresh-record.py" && printf '%s\n' '$PASSWORD' | exec restic -r "$REPO_B" backup --json --tag Thunderbird --exclude "$DATA/.corvantis-versions" "$DATA" >/dev/null
EOF2
# 1 % of the bytes rewritten at a random place, then the send.
cat > "$WORK/change.py" <<PY
import os, random
root = "$DATA/Mail/Local Folders"
files = sorted(os.listdir(root))
total = sum(os.path.getsize(os.path.join(root, n)) for n in files)
left = total // 100
while left > 0:
    name = random.choice(files)
    path = os.path.join(root, name)
    size = os.path.getsize(path)
    n = min(left, size, 2 * 1000 * 1000)
    with open(path, "r+b") as f:
        f.seek(random.randrange(0, size - n + 1)); f.write(os.urandom(n))
    left -= n
PY
cat > "$WORK/repeat-a.sh" <<EOF2
python3 "$WORK/change.py" && python3 "$WORK/fresh-record.py" && exec "$OFFSITE"
EOF2
cat > "$WORK/repeat-b.sh" <<EOF2
python3 "$WORK/change.py" && python3 "$WORK/fresh-record.py" && printf '%s\n' '$PASSWORD' | exec restic -r "$REPO_B" backup --json --tag Thunderbird --exclude "$DATA/.corvantis-versions" "$DATA" >/dev/null
EOF2
printf '%s\n' "$PASSWORD" | restic -q -r "$REPO_B" init >/dev/null

echo "==> first upload: A = CVOffsite, B = restic by hand"
farm-bench -n "$RUNS" --timeout 3000 --vs "sh $WORK/first-b.sh" -- sh "$WORK/first-a.sh"
echo "==> repeat with 1 % changed: A = CVOffsite, B = restic by hand"
farm-bench -n "$RUNS" --timeout 3000 --vs "sh $WORK/repeat-b.sh" -- sh "$WORK/repeat-a.sh"

echo "==> CVOffsite's own peak memory (VmHWM), restic apart, during a repeat"
python3 "$WORK/change.py"; python3 "$WORK/fresh-record.py"
"$OFFSITE" & pid=$!
peak=0
while kill -0 "$pid" 2>/dev/null; do
  v="$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)"
  [ -n "$v" ] && [ "$v" -gt "$peak" ] && peak="$v"
  sleep 0.05
done
wait "$pid" || true
echo "CVOffsite peak resident memory: $((peak / 1024)) MB ($peak kB)"
python3 -c "import plistlib; r = plistlib.load(open('$SUPPORT/offsite.plist', 'rb')); print('last outcome:', 'sent' if r.get('Succeeded') else 'failed: ' + r.get('Reason', ''))"
