#!/bin/sh
# Runs scripts/test.sh in a copy of the scripts with stand-ins of the build, of ctest (which
# writes a JUnit report of canned counts and exits with a canned status) and of the fuzz script:
# in each case, the script's last line and its status.
#   summary_test.sh SOURCE_DIR
set -u
work=$(mktemp -d /tmp/pelmor-summary.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
mkdir -p "$work/tree/scripts" "$work/tree/tests/fuzz/corpus/one" \
    "$work/tree/tests/fuzz/corpus/two" "$work/bin"
cp "$1/scripts/test.sh" "$1/scripts/setup.sh" "$work/tree/scripts/"
# The fuzz script, of the targets one and two: each case's own.
printf '#!/bin/sh\n. "$WORK/fuzz"\n' >"$work/tree/scripts/fuzz.sh"
# ctest: TESTS FAILURES SKIPPED STATUS from $work/ctest.
cat >"$work/bin/ctest" <<'END'
#!/bin/sh
read -r tests failures skipped status <"$WORK/ctest"
while [ "$1" != --output-junit ]; do shift; done
mkdir -p "${2%/*}"
printf '<?xml version="1.0"?>\n<testsuite name="(empty)"\n\ttests="%s"\n\tfailures="%s"\n\tdisabled="0"\n\tskipped="%s"\n\t>\n</testsuite>\n' \
    "$tests" "$failures" "$skipped" >"$2"
mkdir -p build/Testing/Temporary && : >build/Testing/Temporary/LastTest.log
exit "$status"
END
printf '#!/bin/sh\necho "install ok installed"\n' >"$work/bin/dpkg-query"
printf '#!/bin/sh\n' >"$work/bin/cmake"
printf '#!/bin/sh\n' >"$work/bin/clang++"
chmod 755 "$work/bin/"* "$work/tree/scripts/fuzz.sh"
export WORK="$work" PATH="$work/bin:$PATH"

# run CASE CTEST FUZZ LAST STATUS: test.sh after ctest's "TESTS FAILURES SKIPPED STATUS" and
# the fuzz script FUZZ; LAST is its last line, STATUS its status.
fuzzed='echo Fuzzing one && echo Fuzzing two'
run() {
    echo "$2" >"$work/ctest" && echo "$3" >"$work/fuzz"
    actual=$(sh "$work/tree/scripts/test.sh" 2>&1; echo "/ status $?")
    actual=$(printf '%s\n' "$actual" | tail -n 2 | tr '\n' ' ')
    [ "$actual" = "$4 / status $5 " ] ||
        { printf '%s: expected "%s / status %s", got "%s"\n' "$1" "$4" "$5" "$actual"; failed=1; }
}
run "all passed" "60 0 0 0" "$fuzzed" "62 passed, 0 failed" 0
run "a test failed" "60 2 0 8" "$fuzzed" "60 passed, 2 failed" 1
run "a fuzz target failed" "60 0 0 0" "$fuzzed && echo 'two FAILED: in findings' && exit 1" \
    "61 passed, 1 failed" 1
run "the fuzz build failed" "60 0 0 0" "echo cannot build >&2 && exit 1" "60 passed, 2 failed" 1
exit $failed
