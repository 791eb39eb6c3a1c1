#!/bin/sh
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each from its seeds.
#   scripts/fuzz.sh [SECONDS [TARGET...]]   SECONDS per target (default 60); all targets
#                                           unless some are named
# New inputs go to build-fuzz/corpus/TARGET, never into the committed seeds; an input that
# crashes a target or breaks one of its properties is saved in build-fuzz/findings/TARGET/,
# and the script then exits with status 1.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh

seconds=${1:-60}
case $seconds in
'' | *[!0-9]*)
    echo "usage: $0 [SECONDS [TARGET...]]" >&2
    exit 2
    ;;
esac
if [ $# -gt 0 ]; then
    shift
fi
targets=${*:-$(ls tests/fuzz/corpus)}

install_missing clang libclang-rt-14-dev
dir=build-fuzz
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DPELMOR_FUZZ=ON -DPELMOR_BUILD_TESTS=OFF
cmake --build "$dir" -j "$(processors)" --target $targets

status=0
for target in $targets; do
    mkdir -p "$dir/corpus/$target" "$dir/findings/$target" "$dir/logs"
    log=$dir/logs/$target.log
    echo "Fuzzing $target for $seconds s"
    if "$dir/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$dir/findings/$target/" \
        "$dir/corpus/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE|^Done [0-9]+ runs' "$log"
    else
        status=1
        grep -E 'ERROR|property broken|Test unit written' "$log" || tail -n 20 "$log"
        echo "$target FAILED: reproducer in $dir/findings/$target/, log in $log" >&2
    fi
done
exit $status
