# One line per check for the end-to-end shell tests: "ok   - what" or "FAIL - what", the
# failures counted in $failures for the test's verdict at its end. Source this file, then:
#   check DESCRIPTION COMMAND...
failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   - $what"
    else
        echo "FAIL - $what"
        failures=$((failures + 1))
    fi
}
