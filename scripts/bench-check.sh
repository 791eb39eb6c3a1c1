#!/bin/sh
# What --format json costs a check: `check -j 2` of a manifest that generate made of the host's
# default directories, against the same check with --format json, interleaved over ROUNDS
# rounds (each round runs them in the other order than the last), in one run; and the same
# pair on a manifest of a million entries that are all missing, a million problems to report.
# Prints the medians of the elapsed time and peak memory of each and their ratios (target:
# 1.05 or less).
#   scripts/bench-check.sh [ROUNDS]    at least 1 (default 5)
# Prints figures; checks only that both found the same counts.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh

bench_rounds 1 5 "${1:-}"
bench_start python3
"$bin/veriexec-emulator" boot

# The manifest of the host's default directories; this run also fills the page cache.
measure "$bin/pelmor-sign" generate -j 2 -o "$work/manifest"
echo "Manifest: $(grep -c ' sha512=' "$work/manifest") entries, made in $seconds s"
seq -f '/nonexistent/pelmor-bench/f%07.0f sha512=00' 1 1000000 >"$work/million"

: >"$work/times"
# run MANIFEST LABEL [OPTION...]: one check, its figures noted under LABEL.
run() {
    manifest=$1 label=$2
    shift 2
    measure "$bin/pelmor-sign" check -j 2 "$@" "$work/$manifest"
    echo "$label $seconds $rss" >>"$work/times"
    mv "$work/out" "$work/out-$label"
}
for round in $(seq "$rounds"); do
    for manifest in manifest million; do
        if [ $((round % 2)) -eq 1 ]; then
            run "$manifest" "text-$manifest" && run "$manifest" "json-$manifest" --format json
        else
            run "$manifest" "json-$manifest" --format json && run "$manifest" "text-$manifest"
        fi
    done
    echo "round $round done" >&2
done

ratio() {
    awk "BEGIN { printf \"%.3f\", $1 / $2 }"
}
echo "Medians of $rounds rounds:"
for manifest in manifest million; do
    text_time=$(median "text-$manifest" 1) json_time=$(median "json-$manifest" 1)
    text_rss=$(median "text-$manifest" 2) json_rss=$(median "json-$manifest" 2)
    [ "$manifest" = manifest ] && echo "The host's default directories:" ||
        echo "A million entries, all missing:"
    echo "  check -j 2                 $text_time s, peak RSS $text_rss KiB"
    echo "  check -j 2 --format json   $json_time s, peak RSS $json_rss KiB"
    echo "  ratios, json/text: time $(ratio "$json_time" "$text_time")," \
        "memory $(ratio "$json_rss" "$text_rss")"
    # The same counts in both reports.
    counts=$(python3 -c 'import json, sys
c = json.load(open(sys.argv[1]))["counts"]
print("Checked %d entries: %d unchanged, %d changed, %d missing, %d unreadable" % (c["entries"],
      c["unchanged"], c["changed"], c["missing"], c["unreadable"]))' "$work/out-json-$manifest")
    [ "$counts" = "$(tail -n 1 "$work/out-text-$manifest")" ] && same=yes || same=NO
    echo "  same counts in both: $same ($counts)"
done
