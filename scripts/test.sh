#!/bin/sh
# Installs what is missing, builds and runs the whole test suite, and, where clang is
# installed, each fuzz target for a few seconds.
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

install_missing
dir=build${sanitize:+-$sanitize}
build "$dir" -DPELMOR_SANITIZE="$sanitize"
ctest --test-dir "$dir" --output-on-failure -j "$(processors)"
# ctest names the tests it skipped but not why; GoogleTest wrote the reason into its log.
awk '/: Skipped$/ { getline reason }
     /^\[  SKIPPED \] [^ ]+ \(/ { print "Skipped " $4 ": " reason }' \
    "$dir/Testing/Temporary/LastTest.log"

# Each fuzz target replays all its seeds, the inputs of faults once found among them, and
# fuzzes for a few seconds. Not with --sanitize: the fuzz build has sanitizers of its own.
if [ -z "$sanitize" ] && command -v clang++ >/dev/null 2>&1; then
    scripts/fuzz.sh 5
fi
