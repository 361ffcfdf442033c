# Counting checks in the test scripts: `pass NAME` and `fail NAME` print one
# line each; `checks_summary` prints the "N passed, N failed" closing line
# that scripts/test.sh reads and fails when any check failed.
passed=0
failed=0

pass() {
    passed=$((passed + 1))
    echo "ok: $1"
}

fail() {
    failed=$((failed + 1))
    echo "FAILED: $1"
}

checks_summary() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
