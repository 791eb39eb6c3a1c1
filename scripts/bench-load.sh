#!/bin/sh
# Times `pelmor-sign load` on manifests of 10,000 and 100,000 entries, and of 100,000 entries
# and a line of 16 MiB, through a private emulated facility and prints the elapsed time and
# peak memory of each load, to show that a load's memory does not grow with the manifest.
# Then times `load --key` of the same 100,000 entries, signed, against the unsigned load, and
# the same signed load on a host with an installed keys file (the key given is then the root
# key, which signs only the keys file), interleaved over ROUNDS rounds, and prints their medians
# and ratios (targets: --key / unsigned and keys file / --key 1.05 or less).
#   scripts/bench-load.sh [ROUNDS]    at least 1 (default 5)
# Prints figures; checks nothing.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh

bench_rounds 1 5 "${1:-}"
bench_start

# The emulated kernel refuses an entry whose path names no file, so every entry gets a file
# of its own. They are empty, so the digest of nothing is their true fingerprint.
largest=100000
mkdir "$work/files"
(cd "$work/files" && seq -f 'f%.0f' 1 "$largest" | xargs touch)
fingerprint=$(sha512sum </dev/null | cut -d ' ' -f 1)

# The last manifest ends with one more line, of 16 MiB, of which load keeps only 64 KiB.
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

# The same 100,000 entries, unsigned and signed with an Ed25519 key.
seq -f "$work/files/f%.0f sha512=$fingerprint" 1 "$largest" >"$work/manifest"
cp "$work/manifest" "$work/signed"
openssl genpkey -algorithm ed25519 -out "$work/sign.key" 2>/dev/null
chmod 400 "$work/sign.key"
openssl pkey -in "$work/sign.key" -pubout -out "$work/sign.pub"
"$bin/pelmor-sign" sign -k "$work/sign.key" --serial 1 "$work/signed" >/dev/null
openssl genpkey -algorithm ed25519 -out "$work/root.key" 2>/dev/null
chmod 400 "$work/root.key"
openssl pkey -in "$work/root.key" -pubout -out "$work/root.pub"
"$bin/pelmor-sign" keys add "$work/draft" "$work/sign.pub" >/dev/null
"$bin/pelmor-sign" keys sign -k "$work/root.key" --expires 2099-01-01T00:00:00Z "$work/draft" \
    >/dev/null
mkdir "$work/host"
"$bin/pelmor-sign" keys install --key "$work/root.pub" --keys "$work/host/keys" \
    --serial-file "$work/host/serial" --manifest "$work/signed" "$work/draft" >/dev/null
: >"$work/times"
for round in $(seq "$rounds"); do
    for kind in unsigned signed keys; do
        "$bin/veriexec-emulator" boot
        rm -f "$work/serial" "$work/host/serial"
        case $kind in
        signed)
            measure "$bin/pelmor-sign" load --key "$work/sign.pub" --serial-file "$work/serial" \
                "$work/signed" ;;
        keys)
            measure "$bin/pelmor-sign" load --key "$work/root.pub" --keys "$work/host/keys" \
                --serial-file "$work/host/serial" "$work/signed" ;;
        *) measure "$bin/pelmor-sign" load "$work/manifest" ;;
        esac
        grep -q "^Loaded $largest entries (0 errors)" "$work/out" ||
            { echo "$kind load failed:"; cat "$work/out" "$work/err"; exit 1; }
        echo "$kind $seconds $rss" >>"$work/times"
    done
done
unsigned=$(median unsigned 1) signed=$(median signed 1) keys=$(median keys 1)
echo
echo "load of $largest entries, medians of $rounds interleaved rounds:"
echo "  unsigned       $unsigned s, peak RSS $(median unsigned 2) KiB"
echo "  --key          $signed s, peak RSS $(median signed 2) KiB"
echo "  keys file      $keys s, peak RSS $(median keys 2) KiB"
echo "  ratio --key / unsigned: $(awk "BEGIN { printf \"%.3f\", $signed / $unsigned }")"
echo "  ratio keys file / --key: $(awk "BEGIN { printf \"%.3f\", $keys / $signed }")"
