# Checks of a guest test's results in $out, for the test scripts that source it.
failed=0
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: expected '$2', got '$3'"; failed=1; fi
}
field() { jq -r "$2" "$out/$1"; }
finish() {
  [ "$failed" -eq 0 ] && echo "$1: all checks passed"
  exit "$failed"
}
