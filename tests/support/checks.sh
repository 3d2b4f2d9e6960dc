# Sourced by the shell-driven tests: count failed checks, report each one,
# and end the test with a status that says whether all passed.
FAILURES=0
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
pass() { echo "ok:   $*"; }
check() { # check "what" command...
  local what="$1"; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
finish() {
  if [ "$FAILURES" -ne 0 ]; then echo "$FAILURES check(s) failed"; exit 1; fi
  echo "all checks passed"
  exit 0
}
