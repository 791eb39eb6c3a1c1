#!/bin/sh
# What `service pelmor_sign refresh` costs after a small upgrade, on the host's default
# directories with a warm cache: the boot script run as its tests run it (reading the stand-in
# of rc.subr, against a private emulated facility that is active), with a signing key, so that
# it generates, checks coverage, compares, signs, checks the signed manifest and loads it.
# Before each refresh one program of an upgraded folder (given to generate with -d, so that no
# file of the host changes) is changed and one is added. Then the periodic script's daily check
# (`check --coverage --cache --key` of the manifest in place, one worker). Every program step
# is timed through a wrapper, so the split by step adds up to nearly the whole.
#   scripts/bench-refresh.sh [ROUNDS [BASELINE_DIR]]   ROUNDS at least 1 (default 5)
# BASELINE_DIR holds another build's pelmor-sign and veriexec-emulator, measured in the same
# run, interleaved. Prints the medians (targets: refresh 3 s or less, daily check 2 s or less)
# and the load average; checks only that each refresh loaded its manifest.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh

bench_rounds 1 5 "${1:-}"
baseline=${2:-}
if [ -n "$baseline" ] && [ ! -x "$baseline/pelmor-sign" ]; then
    echo "$0: no pelmor-sign in $baseline" >&2
    exit 2
fi
bench_start
builds="new"
[ -z "$baseline" ] || builds="new base"
trap 'for b in $builds; do PELMOR_VERIEXEC_EMULATOR=$work/$b/facility \
    "$(program "$b" veriexec-emulator)" shutdown; done; rm -rf "$work"' EXIT

# program BUILD NAME: the program NAME of that build.
program() {
    if [ "$1" = base ]; then echo "$baseline/$2"; else echo "$bin/$2"; fi
}

openssl genpkey -algorithm ed25519 -out "$work/sign.key" 2>/dev/null && chmod 400 "$work/sign.key"
openssl pkey -in "$work/sign.key" -pubout -out "$work/key.pub"
echo 0 >"$work/added"
for b in $builds; do
    dir=$work/$b
    mkdir -p "$dir/upgraded"
    cp /bin/true "$dir/upgraded/changed"
    # The script as the tests run it; the wrapper notes each program step and its times.
    sed -e "s|^\. /etc/rc\.subr\$|. $PWD/tests/rc/rc.subr|" -e "s|%%PREFIX%%|$dir/prefix|g" \
        rc.d/pelmor_sign >"$dir/pelmor_sign"
    cat >"$dir/timed" <<END
#!/bin/bash
step=\$1
case " \$* " in *" --coverage "*) step=coverage ;; *" check "*" --key "*) step=apply-check ;; esac
start=\$EPOCHREALTIME
"$(program "$b" pelmor-sign)" "\$@"
status=\$?
echo "\$step \$start \$EPOCHREALTIME" >>"$dir/steps"
exit \$status
END
    chmod 755 "$dir/timed"
    printf '%s\n' pelmor_sign_enable=YES "pelmor_sign_program=$dir/timed" \
        "pelmor_sign_manifest=$dir/m" "pelmor_sign_cache=$dir/db/cache" \
        "pelmor_sign_generate_flags='-d $dir/upgraded'" "pelmor_sign_pubkey=$work/key.pub" \
        "pelmor_sign_serial_file=$dir/serial" "pelmor_sign_signing_key=$work/sign.key" \
        >"$dir/rc.conf"
done

# as_build BUILD COMMAND...: runs COMMAND with that build's facility and rc.conf.
as_build() {
    b=$1
    shift
    PELMOR_VERIEXEC_EMULATOR=$work/$b/facility RC_CONF=$work/$b/rc.conf "$@"
}

# A first refresh makes the manifest and fills the cache; the facility then boots with it
# active, as a host would.
for b in $builds; do
    as_build "$b" "$(program "$b" veriexec-emulator)" boot
    as_build "$b" sh "$work/$b/pelmor_sign" refresh >"$work/out" 2>&1 ||
        { echo "first refresh ($b) failed:"; cat "$work/out"; exit 1; }
    as_build "$b" sh "$work/$b/pelmor_sign" start >"$work/out" 2>&1 ||
        { echo "start ($b) failed:"; cat "$work/out"; exit 1; }
    echo "$b: $(grep '^Loaded' "$work/out")"
done

: >"$work/times"
for round in $(seq "$rounds"); do
    order=$builds
    [ $((round % 2)) -eq 1 ] || order=$(echo "$builds" | awk '{ for (i = NF; i > 0; i--) printf "%s ", $i }')
    added=$(($(cat "$work/added") + 1)) && echo "$added" >"$work/added"
    for b in $order; do
        dir=$work/$b
        # The upgrade: one program changed (it grows by a byte), one added.
        printf '\n' >>"$dir/upgraded/changed"
        cp /bin/true "$dir/upgraded/added-$added"
        : >"$dir/steps"
        start=$(date +%s.%N)
        as_build "$b" sh "$dir/pelmor_sign" refresh >"$work/out" 2>&1 ||
            { echo "refresh ($b) failed:"; cat "$work/out"; exit 1; }
        end=$(date +%s.%N)
        grep -q 'replaced by the new manifest, loaded$' "$work/out" ||
            { echo "refresh ($b) did not load:"; cat "$work/out"; exit 1; }
        echo "$b-refresh $(awk "BEGIN { print $end - $start }")" >>"$work/times"
        awk -v b="$b" '{ t[$1] += $3 - $2 } END { for (s in t) print b "-" s, t[s] }' \
            "$dir/steps" >>"$work/times"
        # The daily check, as the periodic script runs it.
        measure env PELMOR_VERIEXEC_EMULATOR="$dir/facility" "$(program "$b" pelmor-sign)" \
            check --coverage --cache "$dir/db/cache" --key "$work/key.pub" -d "$dir/upgraded" \
            "$dir/m"
        echo "$b-daily $seconds $rss" >>"$work/times"
        [ "$b" != new ] || tail -n 1 "$work/out" >"$work/daily"
    done
    echo "round $round done, load average $(cut -d ' ' -f 1-3 /proc/loadavg)" >&2
done

echo
echo "Medians of $rounds rounds, seconds; entries in the manifest:"
for b in $builds; do
    [ "$b" = new ] && echo "this build ($bin):" || echo "baseline ($baseline):"
    echo "  refresh, end to end   $(median "$b-refresh" 1)   (target: 3 s or less)"
    for step in generate coverage diff sign apply-check status load; do
        printf '    %-20s%s\n' "$step" "$(median "$b-$step" 1)"
    done
    echo "  daily check           $(median "$b-daily" 1)   (target: 2 s or less)," \
        "peak RSS $(median "$b-daily" 2) KiB"
    echo "  manifest: $(grep -c ' sha512=' "$work/$b/m") entries"
done
echo "Daily check's summary (this build): $(cat "$work/daily")"
echo "Load average at the end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
