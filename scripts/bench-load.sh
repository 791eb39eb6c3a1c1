#!/bin/sh
# Times `pelmor-sign load` on manifests of 10,000 and 100,000 entries, and of 100,000 entries
# and a line of 16 MiB, through a private emulated facility and prints the elapsed time and
# peak memory of each load, to show that a load's memory does not grow with the manifest.
# Prints figures; checks nothing.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh

bench_start

# The emulated kernel refuses an entry whose path names no file, so every entry gets a file
# of its own. They are empty, so the digest of nothing is their true fingerprint.
largest=100000
mkdir "$work/files"
(cd "$work/files" && seq -f 'f%.0f' 1 "$largest" | xargs touch)
fingerprint=$(sha512sum </dev/null | cut -d ' ' -f 1)

# The last manifest ends with one more line, of 16 MiB: memory follows the longest line.
echo "entries   seconds   peak RSS (KiB)   summary"
for count in 10000 "$largest" "$largest+"; do
    seq -f "$work/files/f%.0f sha512=$fingerprint" 1 "${count%+}" >"$work/manifest"
    if [ "$count" != "${count%+}" ]; then
        head -c 16777216 /dev/zero | tr '\0' p >>"$work/manifest"
        echo " sha512=$fingerprint" >>"$work/manifest"
    fi
    "$bin/veriexec-emulator" boot
    measure "$bin/pelmor-sign" load "$work/manifest"
    loaded=$("$bin/veriexec-emulator" show | grep -c '^entry')
    printf '%7s   %7s   %14s   %s (%d in the table)\n' "$count" "$seconds" "$rss" \
        "$(sed "s|$work/||" "$work/out")" "$loaded"
done
