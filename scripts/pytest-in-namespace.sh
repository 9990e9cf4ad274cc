# Sourced by the pytest runners (the Python package's, the gateway's):
#   . scripts/pytest-in-namespace.sh
#   enter_test_namespace "$0" "$@"
# starts the runner again inside a network namespace of its own (exit 77, the
# test skipped, where namespaces are not permitted) that holds only loopback
# and the veth pair spw-host <-> spw-bridge; `run_pytest PYTHON ARGS...` then
# runs pytest, and fails when it collects no test.

enter_test_namespace() {
    local script=$1
    shift
    if [[ "${SPWETH_TEST_NETNS:-}" != 1 ]]; then
        if ! unshare -n true 2>/dev/null; then
            echo "unshare -n is not permitted: test skipped"
            exit 77
        fi
        exec unshare -n env SPWETH_TEST_NETNS=1 bash "$script" "$@"
    fi
    bash "$(dirname "${BASH_SOURCE[0]}")/veth-pair.sh"
}

run_pytest() {
    local python=$1 status=0
    shift
    PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -p no:cacheprovider -q -rs "$@" || status=$?
    if ((status == 5)); then
        echo "pytest collected no tests: failed"
        return 1
    fi
    return "$status"
}
