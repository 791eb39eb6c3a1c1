#!/bin/sh
# Runs rc.d/pelmor_sign against the rc.subr stand-in, the built pelmor-sign and a private
# emulated facility, and checks what it prints, its status, and the state it leaves the
# facility in.
#   pelmor_sign_test.sh SOURCE_DIR PELMOR_SIGN VERIEXEC_EMULATOR
. "$(dirname "$0")/common.sh"

# check CASE STATUS STATE STDOUT STDERR MANIFEST [RC_CONF_LINE...]: `start` on a facility just
# booted (whose enforce then fails with $enforce_error, when set, for this check only), with an
# rc.conf that enables the script and names the built program, the manifest of the work
# directory and the lines given, does this to the facility.
enforce_error=
check() {
    case_name=$1
    (manifest=$6 && shift 6 && printf '%s\n' pelmor_sign_enable=YES "pelmor_sign_program=$sign" \
        "pelmor_sign_manifest=$work/$manifest" "pelmor_sign_pubkey=$work/none.pub" "$@") >"$RC_CONF"
    "$emulator" boot && { [ -z "$enforce_error" ] || "$emulator" fail Enforce "$enforce_error"; }
    enforce_error=
    sh "$script" start >"$work/out" 2>"$work/err"
    same status "$2" "$?"
    same state "$3" "$("$emulator" show | sed -n 's/^state //p')"
    same "stdout|stderr" "$4|$5" "$(cat "$work/out")|$(cat "$work/err")"
}

# loaded ERRORS MANIFEST [STEP...]: the load summary, then the state changes in order.
loaded() {
    echo "Loaded $(grep -c sha512= "$work/$2") entries ($1 errors) from $work/$2"
    shift 2
    [ $# -eq 0 ] || printf "Veriexec state set to '%s'\n" "$@"
}

check disabled 0 0x00 "Cannot 'start' pelmor_sign. Set pelmor_sign_enable to YES in \
/etc/rc.conf or use 'onestart' instead of 'start'." "" good pelmor_sign_enable=NO

check default 0 0x03 "$(loaded 0 good activate)" "" good
same status "$(printf 'Veriexec state: 03\n  LOADED\n  ACTIVE')" "$(sh "$script" status)"

for row in "loaded 0x01" "active 0x03 activate" "enforce 0x07 activate enforce" \
    "locked 0x0f activate enforce lock"; do
    # shellcheck disable=SC2086 # name, state and steps
    set -- $row
    name=$1 state=$2 && shift 2
    check "$name" 0 "$state" "$(loaded 0 good "$@")" "" good "pelmor_sign_state=$name"

    # A load with errors still reaches loaded and active; enforce and locked stop at active.
    warning="$script: WARNING: loading $work/bad reported errors" left=$name
    case $name in enforce | locked) set -- activate && state=0x03 left=active \
        warning="$warning: refusing '$name'" ;;
    esac
    check "bad manifest, $name" 1 "$state" "$(loaded 1 bad "$@")" "pelmor-sign: line 4: missing \
'=' in attribute
$warning
$script: WARNING: veriexec left $left" bad "pelmor_sign_state=$name"
done

# Under enforce only a trusted program may lock: without one, the script says so.
check "lock without a trusted program" 1 0x07 "$(loaded 0 untrusted activate enforce)" \
    "pelmor-sign: cannot set veriexec state 'lock': Operation not permitted
$script: WARNING: veriexec refused 'lock': under enforce only a program loaded as trusted may \
lock it, and $sign is not: give it [\"trusted\"] in the configuration's \"flags\", generate the \
manifest again and reboot
$script: WARNING: veriexec left enforce" untrusted pelmor_sign_state=locked

# With a public key installed, only a manifest it verifies is loaded.
cp "$work/good" "$work/signed"
"$sign" sign -k "$work/sign.key" --serial 5 "$work/signed" >/dev/null
check "signed manifest" 0 0x03 "Verified $work/signed: serial 5, key $key_id, signature \
$work/signed.sig
$(loaded 0 signed activate)" "" signed "pelmor_sign_pubkey=$work/key.pub" \
    "pelmor_sign_serial_file=$work/serial"

# A refused state change ends the climb: no lock after a failed enforce.
enforce_error=EPERM
check "refused enforce" 1 0x03 "$(loaded 0 good activate)" "pelmor-sign: cannot set veriexec \
state 'enforce': Operation not permitted
$script: WARNING: veriexec left active" good pelmor_sign_state=locked

# A program changed since the manifest was made: check refuses enforce and locked, unless
# the administrator turned it off.
printf 'echo changed\n' >>"$work/tool"
check "changed program" 1 0x03 "$(loaded 0 good activate)" "$script: WARNING: checking \
$work/good found 1 problems: refusing 'enforce'; run 'pelmor-sign check $work/good' to see them
$script: WARNING: veriexec left active" good pelmor_sign_state=enforce
check "changed program, check off" 0 0x07 "$(loaded 0 good activate enforce)" "" good \
    pelmor_sign_state=enforce pelmor_sign_check=NO
# A check that cannot be made, here of an image that is not there, refuses them in its own words.
printf '#!/bin/sh\n[ "$1" != check ] || set -- "$@" -R /none\nexec "%s" "$@"\n' "$sign" >"$work/p"
chmod 755 "$work/p"
check "check not made" 1 0x03 "$(loaded 0 good activate)" "Error: cannot use root directory \
/none: No such file or directory
$script: WARNING: could not check $work/good: refusing 'enforce'; run 'pelmor-sign check \
$work/good' to see why
$script: WARNING: veriexec left active" good pelmor_sign_state=enforce "pelmor_sign_program=$work/p"

# refresh CASE STATUS LAST_LINE [RC_CONF_LINE...]: `refresh` of the manifest m, a plain file
# copied from $in_place (good by default, and again after each refresh), ends with this line,
# on standard error if it printed any; what it printed is left in out and err.
refresh() {
    case_name=$1
    (shift 3 && rc_conf "$@")
    rm -f "$work/m" "$work/m.sig" "$work/m.new" "$work/m.new.sig"
    cp "$work/${in_place:-good}" "$work/m" && in_place=good
    sh "$script" refresh >"$work/out" 2>"$work/err"
    same status "$2" "$?"
    same "last line" "$3" "$(cat "$work/out" "$work/err" | tail -n 1)"
}
cp "$work/tool" "$image$work/tool"
new_manifest="$work/tool sha512=$(sha512sum "$work/tool" | cut -d ' ' -f 1)"
"$emulator" boot && "$sign" load "$work/good" >/dev/null && "$sign" activate >/dev/null

refresh "refresh without a signing key" 0 \
    "  pelmor-sign load --key $work/key.pub --serial-file $work/serial $work/m"
same manifest "$(cat "$work/good")" "$(cat "$work/m")"
same new "$new_manifest" "$(cat "$work/m.new")"
same diff "removed: $sign
Compared 2 entries with 1: 0 added, 1 removed, 1 changed, 0 flags changed" \
    "$(grep -e '^removed: ' -e '^Compared ' "$work/out")"

# The new pair takes a slot, and one rename of the link m puts it in place.
refresh "refresh with a signing key" 0 "$work/m replaced by the new manifest, loaded" \
    "pelmor_sign_signing_key=$work/sign.key"
same stderr "" "$(cat "$work/err")"
same manifest "$new_manifest" "$(sed 1d "$work/m")"
same link "m.a" "$(readlink "$work/m")"
same serial "$(sed -n '1s/# pelmor-sign serial //p' "$work/m")" "$(cat "$work/serial")"
# One refresh at a time: another that is at work holds the lock.
ln -s $$ "$work/m.lock"
refresh "a second refresh at once" 1 "$script: ERROR: process $$ is refreshing $work/m already \
($work/m.lock); veriexec left active"
rm "$work/m.lock"
# A manifest in place that diff cannot compare stops the refresh before it signs.
in_place=bad
refresh "refresh over a bad manifest" 1 "$script: ERROR: comparing $work/m.new with $work/m \
failed: $work/m left as it is; veriexec left active" "pelmor_sign_signing_key=$work/sign.key"
# A check that cannot be made, here of a second root, says so in its own words.
refresh "refresh whose check is not made" 1 "$script: ERROR: could not check $work/m.new: \
$work/m left as it is; veriexec left active" "pelmor_sign_program=$work/p"

# Under enforce the program is trusted, but only the installed key's manifests load: a failing
# load switches back and leaves the manifest as it was.
"$sign" enforce >/dev/null
refresh "refresh under enforce with another key" 1 "$script: ERROR: loading $work/m.new failed: \
$work/m left as it is; veriexec left enforce" "pelmor_sign_signing_key=$work/sign.key"
same manifest "$(cat "$work/good")" "$(cat "$work/m")"
same refusal 1 "$(grep -c "^Error: veriexec is enforcing: only the key .* is accepted$" \
    "$work/err")"
same new "$new_manifest" "$(sed 1d "$work/m.new")"

check "unknown state" 1 0x00 "" "$script: ERROR: pelmor_sign_state is 'enforcing': use \
loaded, active, enforce or locked; veriexec left inactive" good pelmor_sign_state=enforcing
# The defaults lie under the port's PREFIX; an empty setting takes the default too.
check "missing default manifest" 1 0x00 "" "$script: ERROR: no manifest \
$work/prefix/etc/pelmor-sign.manifest; veriexec left inactive" good pelmor_sign_manifest=
exit $failed
