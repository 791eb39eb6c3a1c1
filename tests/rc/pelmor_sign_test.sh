#!/bin/sh
# Runs rc.d/pelmor_sign against the rc.subr stand-in, the built pelmor-sign and a private
# emulated facility, and checks what it prints, its status, and the state it leaves the
# facility in.
#   pelmor_sign_test.sh SOURCE_DIR PELMOR_SIGN VERIEXEC_EMULATOR
set -u
source_dir=$1
sign=$2
emulator=$3
work=$(mktemp -d /tmp/pelmor-rc.XXXXXX)
trap 'rm -rf "$work"' EXIT
PELMOR_VERIEXEC_EMULATOR=$work/facility
RC_CONF=$work/rc.conf
export PELMOR_VERIEXEC_EMULATOR RC_CONF
failed=0

sh -n "$source_dir/rc.d/pelmor_sign" || exit 1

# The script as installed, but reading the stand-in instead of /etc/rc.subr.
script=$work/pelmor_sign
sed "s|^\. /etc/rc\.subr\$|. $source_dir/tests/rc/rc.subr|" "$source_dir/rc.d/pelmor_sign" \
    >"$script"
if cmp -s "$script" "$source_dir/rc.d/pelmor_sign"; then
    echo "rc.d/pelmor_sign does not read /etc/rc.subr"
    exit 1
fi

# A program and two manifests for it: one good, one whose third line has no attribute.
printf '#!/bin/sh\n' >"$work/tool"
chmod 755 "$work/tool"
entry="$work/tool sha512=$(sha512sum "$work/tool" | cut -d ' ' -f 1)"
printf '# tools\n%s\n' "$entry" >"$work/good"
printf '# tools\n%s\n%s\n' "$entry" "$work/tool sha512" >"$work/bad"

# run_start CASE MANIFEST [RC_CONF_LINE...]: `start` with an rc.conf that names the built
# program, the manifest file of the work directory, and the lines given.
run_start() {
    case_name=$1
    manifest=$work/$2
    shift 2
    printf '%s\n' "pelmor_sign_program=$sign" "pelmor_sign_manifest=$manifest" "$@" \
        >"$RC_CONF"
    sh "$script" start >"$work/out" 2>"$work/err"
    status=$?
}

# start: the same on a freshly booted facility.
start() {
    "$emulator" boot
    run_start "$@"
}

same() {
    if [ "$2" != "$3" ]; then
        printf '%s: %s\n--- expected\n%s\n--- actual\n%s\n' "$case_name" "$1" "$2" "$3"
        failed=1
    fi
}

# expect STATUS STATE STDOUT STDERR: what the last start did.
expect() {
    same status "$1" "$status"
    same state "$2" "$("$emulator" show | sed -n 's/^state //p')"
    same stdout "$3" "$(cat "$work/out")"
    same stderr "$4" "$(cat "$work/err")"
}

# What pelmor-sign prints: loaded ERRORS MANIFEST, the load summary; bad_line, the fault of
# the bad manifest; changes STEP..., the state changes in order.
loaded() {
    echo "Loaded 1 entries ($1 errors) from $work/$2"
}
bad_line() {
    echo "pelmor-sign: line 3: missing '=' in attribute"
}
changes() {
    for step; do
        echo "Veriexec state set to '$step'"
    done
}

start disabled good
expect 0 0x00 "Cannot 'start' pelmor_sign. Set pelmor_sign_enable to YES in /etc/rc.conf or\
 use 'onestart' instead of 'start'." ""

start default good pelmor_sign_enable=YES
expect 0 0x03 "$(loaded 0 good && changes activate)" ""
case_name="status after default"
same status "Veriexec state: 03
  LOADED
  ACTIVE" "$(sh "$script" status)"

for name in loaded active enforce locked; do
    case $name in
    loaded) state=0x01 steps="" ;;
    active) state=0x03 steps="activate" ;;
    enforce) state=0x07 steps="activate enforce" ;;
    locked) state=0x0f steps="activate enforce lock" ;;
    esac
    start "$name" good pelmor_sign_enable=YES "pelmor_sign_state=$name"
    # shellcheck disable=SC2086 # one word per step
    expect 0 $state "$(loaded 0 good && changes $steps)" ""
done

# A load with errors still reaches loaded and active; enforce and locked stop at active.
for name in loaded active enforce locked; do
    start "bad manifest, $name" bad pelmor_sign_enable=YES "pelmor_sign_state=$name"
    warning="$script: WARNING: loading $work/bad reported errors"
    case $name in
    loaded) expect 1 0x01 "$(loaded 1 bad)" "$(bad_line && echo "$warning")" ;;
    active)
        expect 1 0x03 "$(loaded 1 bad && changes activate)" "$(bad_line && echo "$warning")"
        ;;
    *)
        expect 1 0x03 "$(loaded 1 bad && changes activate)" "$(bad_line &&
            echo "$warning: refusing '$name', leaving veriexec active")"
        ;;
    esac
done

# A refused state change ends the climb: no lock after a failed enforce.
"$emulator" boot
"$emulator" fail Enforce EPERM
run_start "refused enforce" good pelmor_sign_enable=YES pelmor_sign_state=locked
expect 1 0x03 "$(loaded 0 good && changes activate)" \
    "pelmor-sign: cannot set veriexec state 'enforce': Operation not permitted"

start "missing manifest" missing pelmor_sign_enable=YES pelmor_sign_state=enforce
expect 1 0x00 "" "$script: ERROR: no manifest $work/missing: veriexec left as it is"

start "unknown state" good pelmor_sign_enable=YES pelmor_sign_state=enforcing
expect 1 0x00 "" "$script: ERROR: pelmor_sign_state is 'enforcing': use loaded, active,\
 enforce or locked"

exit $failed
