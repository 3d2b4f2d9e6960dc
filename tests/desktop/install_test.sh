#!/usr/bin/env bash
# cmake --install into a prefix of a person's own (with a space in it): the
# bundle with its programs runnable, a launcher that finds the bundle however
# it is reached, a valid desktop entry naming that launcher, theme icons.
source "$(dirname "$0")/common.sh"
need desktop-file-validate

PREFIX="$SCRATCH/home dir/.local"
if ! cmake --install "$BUILD_DIR" --prefix "$PREFIX" >"$SCRATCH/install.log" 2>&1; then
  cat "$SCRATCH/install.log"; fail "cmake --install"; finish
fi

for f in "${EXECUTABLES[@]}"; do
  check "$f is an executable file" test -f "$PREFIX/$f" -a -x "$PREFIX/$f"
done
for f in "${DATA_FILES[@]}"; do
  check "$f is a plain, non-executable file" test -f "$PREFIX/$f" -a ! -x "$PREFIX/$f"
done
check "the engine carried by the bundle is the built one" \
  cmp -s "$BUILD_DIR/CVEngine.app/Contents/MacOS/CVEngine" \
         "$PREFIX/lib/corvantis/Corvantis.app/Contents/Resources/CVEngine.app/Contents/MacOS/CVEngine"
missing_libs="$(for f in "${EXECUTABLES[@]:1}"; do ldd "$PREFIX/$f"; done | grep 'not found')"
check "every library of the installed programs is found" test -z "$missing_libs"

check_entry_and_icons "$PREFIX" "$PREFIX/bin/corvantis"

# The launcher, reached directly, through a link in another folder and by
# PATH, starts the bundle's program with the arguments unchanged. A stand-in
# takes the program's place and reports how it was started.
program="$PREFIX/lib/corvantis/Corvantis.app/Contents/MacOS/Corvantis"
cat >"$program" <<'STANDIN'
#!/bin/sh
printf '%s\n' "$0" "$#" "$@"
STANDIN
expected="$(printf '%s\n' "$program" 3 "one two" "" "--x")"
mkdir -p "$SCRATCH/elsewhere"
ln -s "$PREFIX/bin/corvantis" "$SCRATCH/elsewhere/corvantis"
check "launcher started directly" \
  test "$("$PREFIX/bin/corvantis" "one two" "" --x)" = "$expected"
check "launcher started through a symbolic link" \
  test "$("$SCRATCH/elsewhere/corvantis" "one two" "" --x)" = "$expected"
check "launcher started by PATH lookup from another folder" \
  test "$(cd / && PATH="$PREFIX/bin:/usr/bin:/bin" corvantis "one two" "" --x)" = "$expected"

finish
