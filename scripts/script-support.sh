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

# Runs the calling script again in a network namespace of its own with only loopback up, where the
# system allows it: the phone's fixed ports (TCP 8090, UDP 8092) are then the test's alone, whatever
# else on the machine listens on them. Elsewhere the script goes on as it is. Call it with "$@".
own_network_namespace() {
    [ -n "${HM_OWN_NETNS:-}" ] && return 0
    command -v unshare >/dev/null && command -v ip >/dev/null || return 0
    unshare -n true 2>/dev/null || return 0
    HM_OWN_NETNS=1 exec unshare -n bash -c 'ip link set lo up && exec "$@"' bash "$0" "$@"
}
