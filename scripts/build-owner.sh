# Sourced by run.sh and test.sh. The build folder belongs to whoever owns the
# folder that holds it (the checkout, for build/). A run as root (through sudo,
# say) hands back what it created there, so that person's next build as
# themselves still works; a run as that person first finds any root-owned
# leftovers of an older run and says how to give them back, before a build
# fails half-way on them.

# Owner (uid:gid) of the folder that holds the build folder.
cv_build_owner() {
  stat -c '%u:%g' "$(dirname "$(realpath -m "$BUILD_DIR")")"
}

cv_check_build_dir() {
  [ "$(id -u)" -ne 0 ] && [ -d "$BUILD_DIR" ] || return 0
  local foreign
  foreign="$(find "$BUILD_DIR" ! -user "$(id -u)" -print -quit 2>/dev/null || true)"
  [ -n "$foreign" ] || return 0
  echo "==> $BUILD_DIR/ holds files that are not yours (left by an earlier run as root), such as" >&2
  echo "    $foreign" >&2
  echo "    Give them back once with:  sudo chown -R $(id -un): $BUILD_DIR" >&2
  exit 1
}

cv_give_back_build_dir() {
  [ "$(id -u)" -eq 0 ] && [ -d "$BUILD_DIR" ] || return 0
  local owner
  owner="$(cv_build_owner)"
  [ "${owner%%:*}" != 0 ] || return 0
  chown -R -h --from=0 "$owner" "$BUILD_DIR"
}
