# Shell functions the scripts and the desktop tests share. Set fail_prefix before sourcing to name
# the script in its failure lines.

fail() {
    echo "${fail_prefix:-FAIL:} $*" >&2
    exit 1
}

# Waits up to the given number of tenths of a second for a command to succeed.
await() {
    local what="$1" tenths="$2"
    shift 2
    for _ in $(seq "$tenths"); do
        if "$@" 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    fail "timed out waiting for $what"
}

# Exits 77 (the tests' "skipped") when one of the programs is not installed.
require_programs() {
    local program
    for program in "$@"; do
        if ! command -v "$program" >/dev/null; then
            echo "SKIP: $program is not installed (scripts/install-deps.sh installs it)"
            exit 77
        fi
    done
}
