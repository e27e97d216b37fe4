#!/usr/bin/env bash
# Runs both Linux programs once under valgrind's memcheck on small sample
# archives: a patch in place, a patch that rebuilds and both conversions;
# then hvrdiff on two versions of an archive and hvrdump --check on the
# patch it made.
# Prints one line per run and "N passed, M failed".
set -uo pipefail
bin=$(cd "${1:?build directory}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() {
    local name=$1; shift
    if valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
        "$@" </dev/null >"$work/out" 2>&1; then
        echo "ok   $name"; passed=$((passed + 1))
    else
        local status=$?
        # Exit 1 is an error box, which some runs expect; 99 is memcheck's.
        if [ "$status" -eq 1 ] && [ "${EXPECT_FAILURE:-}" = 1 ]; then
            echo "ok   $name (error box)"; passed=$((passed + 1))
        else
            echo "FAIL $name (status $status)"; cat "$work/out"; failed=$((failed + 1))
        fi
    fi
}
cd "$work"
"$bin/hvrgen" --format 0x0103 --entries 300 --size 2M --patch update.hvp --replace 30 >/dev/null
check "hvrupdate in place" "$bin/hvrupdate"
"$bin/hvrgen" --format 0x0200 --entries 300 --size 2M --patch update.hvp --replace 900 >/dev/null
check "hvrupdate with a rebuild" "$bin/hvrupdate"
check "hvrconv 0x0200 -> 0x0103" "$bin/hvrconv"
check "hvrconv 0x0103 -> 0x0200" "$bin/hvrconv"
"$bin/hvrgen" --archive old.hvr --format 0x0103 --entries 300 --size 2M --version new.hvr --changed 100 >/dev/null
check "hvrdiff 0x0103 -> 0x0200" "$bin/hvrdiff" old.hvr new.hvr -o made.hvp
check "hvrdump --check" "$bin/hvrdump" --check made.hvp
rm -f data.hvr
EXPECT_FAILURE=1 check "hvrupdate without data.hvr" "$bin/hvrupdate"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
