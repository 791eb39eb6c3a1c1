#!/bin/sh
# Installs what is missing, builds and runs the whole test suite.
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
