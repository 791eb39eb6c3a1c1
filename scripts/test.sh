#!/bin/sh
# Installs what is missing, builds and runs the whole test suite, and, where clang is
# installed, each fuzz target for a few seconds; ends with "N passed, N failed" over them all,
# and exits with status 1 when any failed.
#   scripts/test.sh                      plain build, in build/
#   scripts/test.sh --sanitize=address   AddressSanitizer and UndefinedBehaviorSanitizer
#   scripts/test.sh --sanitize=thread    ThreadSanitizer
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh

sanitize=""
for argument in "$@"; do
    case $argument in
    --sanitize=address | --sanitize=thread) sanitize=${argument#--sanitize=} ;;
    *)
        echo "usage: $0 [--sanitize=address|thread]" >&2
        exit 2
        ;;
    esac
done

# A software TPM and SoftHSM for the tests of keys that never leave a token.
install_missing swtpm swtpm-tools tpm2-openssl tpm2-tools libtss2-tcti-swtpm0 softhsm2
dir=build${sanitize:+-$sanitize}
build "$dir" -DPELMOR_SANITIZE="$sanitize"
# Every test, the shell tests among them, is a ctest test; its JUnit report gives the counts.
results=$PWD/$dir/Testing/results.xml
rm -f "$results"
ctest_status=0
ctest --test-dir "$dir" --output-on-failure -j "$(processors)" --output-junit "$results" ||
    ctest_status=$?
# ctest names the tests it skipped but not why; GoogleTest wrote the reason into its log.
awk '/: Skipped$/ { getline reason }
     /^\[  SKIPPED \] [^ ]+ \(/ { print "Skipped " $4 ": " reason }' \
    "$dir/Testing/Temporary/LastTest.log"
# count NAME: the attribute NAME of the report's testsuite, 0 without a report.
count() {
    [ -f "$results" ] || { echo 0 && return; }
    tr '\n' ' ' <"$results" |
        sed -n "s/.*<testsuite [^>]*[[:space:]]$1=\"\([0-9]*\)\".*/\1/p" | grep . || echo 0
}
skipped=$(($(count skipped) + $(count disabled)))
failed=$(count failures)
passed=$(($(count tests) - failed - skipped))
if [ "$ctest_status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    echo "ctest failed with status $ctest_status"
    failed=1
fi

# Each fuzz target replays all its seeds, the inputs of faults once found among them, and
# fuzzes for a few seconds; each counts as a test. Not with --sanitize: the fuzz build has
# sanitizers of its own.
if [ -z "$sanitize" ] && command -v clang++ >/dev/null 2>&1; then
    log=$dir/fuzz.log
    fuzz_status=0
    piped "tee '$log'" sh -c 'scripts/fuzz.sh 5 2>&1' || fuzz_status=$?
    targets=$(find tests/fuzz/corpus -mindepth 1 -maxdepth 1 -type d | wc -l)
    fuzzed=$(($(grep -c '^Fuzzing ' "$log" || :) - $(grep -c ' FAILED: ' "$log" || :)))
    passed=$((passed + fuzzed))
    # A fuzz build that failed ran no target at all.
    [ "$fuzz_status" -eq 0 ] || failed=$((failed + targets - fuzzed))
fi
summary="$passed passed, $failed failed"
[ "$skipped" -eq 0 ] || summary="$summary, $skipped skipped"
echo "$summary"
[ "$failed" -eq 0 ] || exit 1
