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
# The script as installed, but reading the stand-in instead of /etc/rc.subr (which no host
# that runs this test has, so a script that still read it would fail every check).
script=$work/pelmor_sign
sed "s|^\. /etc/rc\.subr\$|. $source_dir/tests/rc/rc.subr|" "$source_dir/rc.d/pelmor_sign" \
    >"$script"

# A program and manifests for it, which also make pelmor-sign trusted so that it may lock under
# enforce: one good, one whose fourth line has no attribute, and one without pelmor-sign.
printf '#!/bin/sh\n' >"$work/tool"
chmod 755 "$work/tool"
entry="$work/tool sha512=$(sha512sum "$work/tool" | cut -d ' ' -f 1)"
trusted="$sign sha512=$(sha512sum "$sign" | cut -d ' ' -f 1) trusted"
printf '# tools\n%s\n%s\n' "$entry" "$trusted" >"$work/good"
printf '# tools\n%s\n%s\n%s\n' "$entry" "$trusted" "$work/tool sha512" >"$work/bad"
printf '# tools\n%s\n' "$entry" >"$work/untrusted"
bad_line="pelmor-sign: line 4: missing '=' in attribute"
openssl genpkey -algorithm ed25519 -out "$work/sign.key" 2>/dev/null
chmod 400 "$work/sign.key"
openssl pkey -in "$work/sign.key" -pubout -out "$work/key.pub"
key_id=$(openssl pkey -in "$work/sign.key" -pubout -outform DER | sha256sum | cut -c 1-16)

same() {
    if [ "$2" != "$3" ]; then
        printf '%s: %s\n--- expected\n%s\n--- actual\n%s\n' "$case_name" "$1" "$2" "$3"
        failed=1
    fi
}

# check CASE STATUS STATE STDOUT STDERR MANIFEST [RC_CONF_LINE...]: `start`, with an rc.conf
# that names the built program, the manifest of the work directory and the lines given,
# does this to the facility as it is.
check() {
    case_name=$1
    (manifest=$6 && shift 6 && printf '%s\n' "pelmor_sign_program=$sign" \
        "pelmor_sign_manifest=$work/$manifest" "pelmor_sign_pubkey=$work/none.pub" "$@") \
        >"$RC_CONF"
    sh "$script" start >"$work/out" 2>"$work/err"
    same status "$2" "$?"
    same state "$3" "$("$emulator" show | sed -n 's/^state //p')"
    same stdout "$4" "$(cat "$work/out")"
    same stderr "$5" "$(cat "$work/err")"
}

# loaded ERRORS MANIFEST [STEP...]: the load summary, then the state changes in order.
loaded() {
    echo "Loaded $(grep -c sha512= "$work/$2") entries ($1 errors) from $work/$2"
    shift 2
    [ $# -eq 0 ] || printf "Veriexec state set to '%s'\n" "$@"
}

"$emulator" boot
check disabled 0 0x00 "Cannot 'start' pelmor_sign. Set pelmor_sign_enable to YES in \
/etc/rc.conf or use 'onestart' instead of 'start'." "" good

check default 0 0x03 "$(loaded 0 good activate)" "" good pelmor_sign_enable=YES
same status "$(printf 'Veriexec state: 03\n  LOADED\n  ACTIVE')" "$(sh "$script" status)"

for row in "loaded 0x01" "active 0x03 activate" "enforce 0x07 activate enforce" \
    "locked 0x0f activate enforce lock"; do
    # shellcheck disable=SC2086 # name, state and steps
    set -- $row
    name=$1 state=$2
    shift 2
    "$emulator" boot
    check "$name" 0 "$state" "$(loaded 0 good "$@")" "" good pelmor_sign_enable=YES \
        "pelmor_sign_state=$name"

    # A load with errors still reaches loaded and active; enforce and locked stop at active.
    warning="$script: WARNING: loading $work/bad reported errors"
    case $name in
    enforce | locked)
        set -- activate
        state=0x03 warning="$warning: refusing '$name', leaving veriexec active"
        ;;
    esac
    "$emulator" boot
    check "bad manifest, $name" 1 "$state" "$(loaded 1 bad "$@")" "$bad_line
$warning" bad pelmor_sign_enable=YES "pelmor_sign_state=$name"
done

# Under enforce only a trusted program may lock: without one, the script says so.
"$emulator" boot
check "lock without a trusted program" 1 0x07 "$(loaded 0 untrusted activate enforce)" \
    "pelmor-sign: cannot set veriexec state 'lock': Operation not permitted
$script: WARNING: veriexec refused 'lock': under enforce only a program loaded as trusted may \
lock it, and $sign is not: give it [\"trusted\"] in the configuration's \"flags\", generate the \
manifest again and reboot" untrusted pelmor_sign_enable=YES pelmor_sign_state=locked

# With a public key installed, only a manifest it verifies is loaded.
cp "$work/good" "$work/signed"
"$sign" sign -k "$work/sign.key" --serial 5 "$work/signed" >/dev/null
"$emulator" boot
check "signed manifest" 0 0x03 "Verified $work/signed: serial 5, key $key_id
$(loaded 0 signed activate)" "" signed pelmor_sign_enable=YES \
    "pelmor_sign_pubkey=$work/key.pub" "pelmor_sign_serial_file=$work/serial"

# A refused state change ends the climb: no lock after a failed enforce.
"$emulator" boot
"$emulator" fail Enforce EPERM
check "refused enforce" 1 0x03 "$(loaded 0 good activate)" \
    "pelmor-sign: cannot set veriexec state 'enforce': Operation not permitted" good \
    pelmor_sign_enable=YES pelmor_sign_state=locked

# A program changed since the manifest was made: check refuses enforce and locked, unless
# the administrator turned it off.
printf 'echo changed\n' >>"$work/tool"
"$emulator" boot
check "changed program" 1 0x03 "$(loaded 0 good activate)" "$script: WARNING: checking \
$work/good found 1 problems: refusing 'enforce', leaving veriexec active; run 'pelmor-sign \
check $work/good' to see them" good pelmor_sign_enable=YES pelmor_sign_state=enforce
"$emulator" boot
check "changed program, check off" 0 0x07 "$(loaded 0 good activate enforce)" "" good \
    pelmor_sign_enable=YES pelmor_sign_state=enforce pelmor_sign_check=NO

# refresh CASE STATUS [RC_CONF_LINE...]: `refresh` of the manifest m, over an image that holds
# the tool where the host has it; what it printed is left in out and err.
image=$work/image
mkdir -p "$image$work"
refresh() {
    case_name=$1
    (shift 2 && printf '%s\n' pelmor_sign_enable=YES "pelmor_sign_program=$sign" \
        "pelmor_sign_manifest=$work/m" "pelmor_sign_cache=$work/db/cache" \
        "pelmor_sign_generate_flags='-R $image -d $work'" \
        "pelmor_sign_pubkey=$work/key.pub" "pelmor_sign_serial_file=$work/serial" "$@") \
        >"$RC_CONF"
    rm -f "$work/m.new" "$work/m.new.sig"
    cp "$work/good" "$work/m"
    sh "$script" refresh >"$work/out" 2>"$work/err"
    same status "$2" "$?"
}
cp "$work/tool" "$image$work/tool"
new_manifest="$work/tool sha512=$(sha512sum "$work/tool" | cut -d ' ' -f 1)"
"$emulator" boot
"$sign" load "$work/good" >/dev/null
"$sign" activate >/dev/null

refresh "refresh without a signing key" 0
same manifest "$(cat "$work/good")" "$(cat "$work/m")"
same new "$new_manifest" "$(cat "$work/m.new")"
same stdout "$work/m.new is ready. Sign it where the key lives, then load it:" \
    "$(grep 'is ready' "$work/out")"

refresh "refresh with a signing key" 0 "pelmor_sign_signing_key=$work/sign.key"
same stderr "" "$(cat "$work/err")"
same "last line" "$work/m replaced by the new manifest, loaded" "$(tail -n 1 "$work/out")"
same manifest "$new_manifest" "$(sed 1d "$work/m")"
"$sign" load --key "$work/key.pub" --serial-file "$work/serial-copy" "$work/m" >/dev/null ||
    same "signed manifest loads" 0 1

# Under enforce the program is trusted, but only the installed key's manifests load: a failing
# step leaves the manifest as it was.
"$sign" enforce >/dev/null
refresh "refresh under enforce with another key" 1 "pelmor_sign_signing_key=$work/sign.key"
same manifest "$(cat "$work/good")" "$(cat "$work/m")"
same stderr "loading $work/m.new failed: $work/m left as it is" \
    "$(sed -n 's/.*ERROR: //p' "$work/err")"
same refusal 1 "$(grep -c "^Error: veriexec is enforcing: only the key .* is accepted$" \
    "$work/err")"

"$emulator" boot
check "missing manifest" 1 0x00 "" "$script: ERROR: no manifest $work/missing: veriexec left \
as it is" missing pelmor_sign_enable=YES pelmor_sign_state=enforce
check "unknown state" 1 0x00 "" "$script: ERROR: pelmor_sign_state is 'enforcing': use \
loaded, active, enforce or locked" good pelmor_sign_enable=YES pelmor_sign_state=enforcing
exit $failed
