#!/usr/bin/env bash
# cpack -G DEB from the built tree, inspected with dpkg-deb as apt would meet
# it: the files under /usr with their modes and owners, a desktop entry that
# names /usr/bin/corvantis, a Depends line that covers every shared library
# the programs link and names only packages that exist, stripped programs
# whose debug symbols come in a package of their own, and nothing lintian or
# appstreamcli objects to.
source "$(dirname "$0")/common.sh"
need dpkg-deb
need desktop-file-validate
need lintian
need appstreamcli

OUT="$SCRATCH/out"
if ! (cd "$BUILD_DIR" && cpack -G DEB -B "$OUT") >"$SCRATCH/cpack.log" 2>&1; then
  cat "$SCRATCH/cpack.log"; fail "cpack -G DEB"; finish
fi
shopt -s nullglob
debs=("$OUT"/corvantis_*.deb)
check "one package named corvantis_<version>_<arch>.deb" test "${#debs[@]}" -eq 1
[ "${#debs[@]}" -eq 1 ] || finish
DEB="${debs[0]}"
arch="$(dpkg --print-architecture)"
check "file name carries version and architecture" \
  test "$(basename "$DEB")" = "corvantis_$(dpkg-deb -f "$DEB" Version)_$arch.deb"
check "package name" test "$(dpkg-deb -f "$DEB" Package)" = corvantis

# The listing: "mode owner/group size date time ./path".
dpkg-deb -c "$DEB" >"$SCRATCH/listing"
mode_of() { awk -v p="./usr/$1" '$6 == p { print $1 }' "$SCRATCH/listing"; }
for f in "${EXECUTABLES[@]}"; do
  check "/usr/$f is executable in the package" test "$(mode_of "$f")" = "-rwxr-xr-x"
done
for f in "${DATA_FILES[@]}"; do
  check "/usr/$f is a plain file in the package" test "$(mode_of "$f")" = "-rw-r--r--"
done
check "everything is owned by root" test -z "$(awk '$2 != "root/root"' "$SCRATCH/listing")"
check "nothing outside /usr" test -z "$(awk '$6 != "./" && $6 !~ /^\.\/usr\//' "$SCRATCH/listing")"

ROOT="$SCRATCH/root"
dpkg-deb -x "$DEB" "$ROOT"
check_entry_and_icons "$ROOT/usr" /usr/bin/corvantis
check "the entry's StartupWMClass is the window class" \
  test "$(entry_value "$ROOT/usr/share/applications/$APP_ID.desktop" StartupWMClass)" = Corvantis

# What Debian's own tools say. Tags of the levels error and warning fail;
# lintian's exit status alone would also fail on its own internal notes.
lintian --tag-display-limit 0 "$DEB" >"$SCRATCH/lintian" 2>&1
lintian_status=$?
check "lintian ran on the package ($lintian_status)" test "$lintian_status" -le 1
check "lintian reports no error and no warning" test -z "$(grep -E '^[EW]: ' "$SCRATCH/lintian")"
grep -E '^[EW]: ' "$SCRATCH/lintian"
METAINFO="$ROOT/usr/share/metainfo/$APP_ID.metainfo.xml"
check "AppStream metadata is installed" test -f "$METAINFO"
# With its network checks on: an address that cannot be reached is a warning.
check "appstreamcli validate accepts the metadata" appstreamcli validate "$METAINFO"
check "the metadata and the copyright file name the GPL, version 3 or later" sh -c \
  "grep -qF '<project_license>GPL-3.0-or-later</project_license>' '$METAINFO' &&
   grep -q '^License: GPL-3.0+\$' '$ROOT/usr/share/doc/corvantis/copyright'"
check "the metadata launches the desktop entry" \
  grep -qF "<launchable type=\"desktop-id\">$APP_ID.desktop</launchable>" "$METAINFO"
check "a manual page for corvantis" sh -c "zcat '$ROOT/usr/share/man/man1/corvantis.1.gz' | grep -q '^\.TH CORVANTIS 1'"
check "a machine-readable copyright file" \
  grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/' "$ROOT/usr/share/doc/corvantis/copyright"
check "a changelog for this version" sh -c \
  "zcat '$ROOT/usr/share/doc/corvantis/changelog.Debian.gz' | head -1 | grep -qF '($(dpkg-deb -f "$DEB" Version))'"

# Stripped programs; their symbols are in the dbgsym package, by build id.
dbgsyms=("$OUT"/corvantis-dbgsym_*.ddeb)
check "a debug symbols package beside it" test "${#dbgsyms[@]}" -eq 1
DBG="$SCRATCH/dbg"
[ "${#dbgsyms[@]}" -eq 1 ] && dpkg-deb -x "${dbgsyms[0]}" "$DBG"
for f in "${EXECUTABLES[@]:1}"; do
  bin="$ROOT/usr/$f"
  check "$(basename "$f") is stripped" sh -c "file -L '$bin' | grep -q ', stripped'"
  id="$(readelf -n "$bin" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')"
  check "$(basename "$f") has its debug symbols in the dbgsym package" \
    test -s "$DBG/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
done
check "no path of the build machine in the installed text files" \
  test -z "$(grep -rlF -e "$BUILD_DIR" -e "$SCRATCH" "$ROOT/usr/share" "$ROOT/usr/bin")"

# Depends: every package named exists here, the service packages are there,
# and each library an installed program links comes from a declared package.
depends="$(dpkg-deb -f "$DEB" Depends)"
declared=()
IFS=',' read -ra items <<<"$depends"
for item in "${items[@]}"; do
  name="$(sed -e 's/^ *//' -e 's/[ (].*//' <<<"$item")"
  declared+=("$name")
  check "dependency $name is a Debian package" \
    sh -c "dpkg-query -W '$name' >/dev/null 2>&1 || apt-cache show '$name' >/dev/null 2>&1"
done
is_declared() { local d; for d in "${declared[@]}"; do [ "$d" = "$1" ] && return 0; done; return 1; }
for service in cron dbus; do
  check "depends on $service" is_declared "$service"
done
# The libraries each program names itself (not what those pull in), where the
# loader finds them here, and the package that owns that file. Debian 12 keeps
# some libraries under /lib and others under /usr/lib, one the link of the other.
owner_of() {
  local real candidate
  real="$(readlink -f "$1")"
  for candidate in "$real" "${real#/usr}" "$1"; do
    dpkg -S "$candidate" 2>/dev/null | head -1 | cut -d: -f1 | grep . && return 0
  done
  return 1
}
declare -A linked=()
for f in "${EXECUTABLES[@]:1}"; do
  bin="$ROOT/usr/$f"
  for lib in $(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    # The loader itself is listed by its path alone, without "=>".
    path="$(ldd "$bin" | awk -v l="$lib" '$1 == l && $2 == "=>" { print $3 } $1 ~ ("/" l "$") { print $1 }')"
    linked["$lib"]="${linked[$lib]:-$path}"
  done
done
check "the programs link shared libraries at all" test "${#linked[@]}" -gt 0
for lib in "${!linked[@]}"; do
  if [ -z "${linked[$lib]}" ] || ! owner="$(owner_of "${linked[$lib]}")"; then
    fail "$lib: not found, or in no package"; continue
  fi
  check "$lib comes from a declared package ($owner)" is_declared "$owner"
done
finish
