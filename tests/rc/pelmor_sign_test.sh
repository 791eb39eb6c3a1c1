#!/bin/sh
# Runs rc.d/pelmor_sign against the rc.subr stand-in, the built pelmor-sign and a private
# emulated facility, and checks what it prints, its status, and the state it leaves the
# facility in.
#   pelmor_sign_test.sh SOURCE_DIR PELMOR_SIGN VERIEXEC_EMULATOR
. "$(dirname "$0")/common.sh"

# check CASE STATUS STATE STDOUT STDERR MANIFEST [RC_CONF_LINE...]: `start` on a facility just
# booted (whose enforce then fails with $enforce_error, when set, for this check only), with an
# rc.conf that enables the script and names the built program, the manifest of the work
# directory and the lines given, does this to the facility. Without pelmor_sign_pubkey among
# the lines the host has no key at the default, and a load, which then loads unsigned, starts
# with the warning that says so; the manifest signed has the work directory's key and serial
# file before the lines.
enforce_error=
check() {
    case_name=$1
    (manifest=$6 && shift 6 && printf '%s\n' pelmor_sign_enable=YES "pelmor_sign_program=$sign" \
        "pelmor_sign_manifest=$work/$manifest" && [ "$manifest" != signed ] ||
        printf '%s\n' "pelmor_sign_pubkey=$work/key.pub" "pelmor_sign_serial_file=$work/serial"
        printf '%s\n' "$@") >"$RC_CONF"
    "$emulator" boot && { [ -z "$enforce_error" ] || "$emulator" fail Enforce "$enforce_error"; }
    enforce_error=
    sh "$script" start >"$work/out" 2>"$work/err"
    same status "$2" "$?"
    same state "$3" "$("$emulator" show | sed -n 's/^state //p')"
    expected_err=$5
    case "$4|$*" in
    *pelmor_sign_pubkey=*) ;;
    Loaded*) expected_err="$script: WARNING: $work/$6 is loaded unsigned: there is no public \
key at $work/prefix/etc/pelmor-sign/manifest.pub, the default of pelmor_sign_pubkey, and whoever \
can write the manifest decides what runs${5:+
$5}" ;;
    esac
    same "stdout|stderr" "$4|$expected_err" "$(cat "$work/out")|$(cat "$work/err")"
}

# loaded ERRORS MANIFEST [STEP...]: the load summary, then the state changes in order.
loaded() {
    echo "Loaded $(grep -c sha512= "$work/$2") entries ($1 errors) from $work/$2"
    shift 2
    [ $# -eq 0 ] || printf "Veriexec state set to '%s'\n" "$@"
}

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
$(loaded 0 signed activate)" "" signed

# A keys file that expires within 30 days, or has expired, is warned of at every boot, never
# stopping the load; one further off, or none (as above), says nothing. Its one key is the root
# itself, so that the manifest verifies whether the host verifies with the root or with the keys
# file.
# keys_expiring DAYS FILE: a keys file signed by the root to expire DAYS days from now.
keys_expiring() {
    "$sign" keys add "$2" "$work/key.pub" >/dev/null && "$sign" keys sign -k "$work/sign.key" \
        --expires "$(date -u -d "+$1 days" +%Y-%m-%dT%H:%M:%SZ)" "$2" >/dev/null
}
keys_conf="pelmor_sign_keys=$work/keys"
loaded_signed="Verified $work/signed: serial 5, key $key_id, signature $work/signed.sig
$(loaded 0 signed activate)"
keys_expiring 10 "$work/keys10"
expiring="$script: WARNING: the keys file $work/keys10 expires at \
$(sed -n 's/^expires //p' "$work/keys10"), within 10 days: sign the next one where the root key \
lives and install it with 'pelmor-sign keys install'"
check "keys file expiring" 0 0x03 "$loaded_signed" "$expiring" signed \
    "pelmor_sign_keys=$work/keys10"
keys_expiring 60 "$work/keys"
check "keys file in 60 days" 0 0x03 "$loaded_signed" "" signed "$keys_conf"
# Expired, which keys sign refuses to make: signed by hand, over its context.
printf 'pelmor-sign keys 1\nserial 2\nexpires 2001-01-01T00:00:00Z\n' >"$work/keys"
{ printf 'pelmor-sign keys file signature 1\n' && cat "$work/keys"; } >"$work/keys.signed"
openssl pkeyutl -sign -rawin -inkey "$work/sign.key" -in "$work/keys.signed" -out "$work/keys.sig"
check "keys file expired" 0 0x03 "$loaded_signed" "$script: WARNING: the keys file $work/keys \
EXPIRED at 2001-01-01T00:00:00Z: a newer manifest cannot load until a new keys file, signed \
where the root key lives, is installed with 'pelmor-sign keys install'" signed "$keys_conf"
printf 'pelmor-sign keys 2\n' >"$work/keys"
check "keys file unreadable" 0 0x03 "$loaded_signed" "Error: bad keys file $work/keys: line 1: \
the first line must be 'pelmor-sign keys 1'
$script: WARNING: cannot read when the keys file $work/keys expires" signed "$keys_conf"

# A key named in rc.conf is used or nothing is loaded: missing, not a file that can be read, or
# no key, it never means an unsigned load.
refusing="refusing to load $work/signed without it; veriexec left inactive"
check "named key missing" 1 0x00 "" "$script: ERROR: pelmor_sign_pubkey names $work/none.pub, \
which does not exist: $refusing" signed "pelmor_sign_pubkey=$work/none.pub"
check "named key no key" 1 0x00 "" "Error: unsupported key $work/good: not a PEM public key
$script: ERROR: loading $work/signed failed: nothing of it was loaded; veriexec left inactive" \
    signed "pelmor_sign_pubkey=$work/good"
# Left at its default (an empty setting takes it too) with no key there, the manifest loads
# unsigned, and a signature beside it that nothing reads is named, louder.
check "no key, a signature beside" 0 0x03 "$(loaded 0 signed activate)" "$script: WARNING: \
$work/signed.sig lies beside $work/signed, but NOTHING CHECKS IT: there is no public key at \
$work/prefix/etc/pelmor-sign/manifest.pub, the default of pelmor_sign_pubkey, so $work/signed is \
loaded UNSIGNED; install the key there, or set pelmor_sign_pubkey to it" signed pelmor_sign_pubkey=

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
    "  pelmor-sign load --key $work/key.pub --serial-file $work/serial \
--keys $work/prefix/etc/pelmor-sign/keys $work/m"
same manifest "$(cat "$work/good")" "$(cat "$work/m")"
same new "$new_manifest" "$(cat "$work/m.new")"
same diff "removed: $sign
Compared 2 entries with 1: 0 added, 1 removed, 1 changed, 0 flags changed" \
    "$(grep -e '^removed: ' -e '^Compared ' "$work/out")"
# refresh and apply warn of an expiring keys file too, once, and go on.
refresh "refresh and apply, keys file expiring" 0 "$expiring" "pelmor_sign_keys=$work/keys10" \
    "pelmor_sign_signing_key=$work/sign.key"
same "its end" "$work/m replaced by the new manifest, loaded|$expiring" \
    "$(tail -n 1 "$work/out")|$(cat "$work/err")"

# The new pair takes a slot, and one rename of the link m puts it in place.
refresh "refresh with a signing key" 0 "$work/m replaced by the new manifest, loaded" \
    "pelmor_sign_signing_key=$work/sign.key"
same stderr "" "$(cat "$work/err")"
same manifest "$new_manifest" "$(sed 1,2d "$work/m")"
same link "m.a" "$(readlink "$work/m")"
same serial "$(sed -n '1s/# pelmor-sign serial //p' "$work/m")" "$(cat "$work/serial")"

# One refresh or apply at a time, by the system's lock: while a refresh waits in its generate,
# on a FIFO that the test holds open once the refresh reads it, a second refresh and an apply
# are refused at once, and run no step (the first generate alone waits, so that a second one
# that ran would show); then the first goes on to its end. With flock(1), and with a stand-in
# of FreeBSD's lockf(1) made of it, which takes only the options the script gives it.
mkfifo "$work/hold" && mkdir "$work/lockf"
cat >"$work/held" <<END
#!/bin/sh
[ "\$1" = status ] || echo "\$1" >>"$work/steps"
[ "\$1" != generate ] || ! rm "$work/first" 2>/dev/null || cat "$work/hold" >/dev/null
exec "$sign" "\$@"
END
printf '#!/bin/sh\n[ "$1 $2 $3 $4" = "-k -s -t 0" ] || exit 64\nshift 4\nexec flock -n -E 75 "$@"\n' \
    >"$work/lockf/lockf"
chmod 755 "$work/held" "$work/lockf/lockf"
: >"$work/m.lock" && chmod 644 "$work/m.lock"  # as older versions left it
for locker in flock lockf; do
    lock_path=$PATH && [ $locker = flock ] || lock_path="$work/lockf:$PATH"
    rc_conf "pelmor_sign_program=$work/held"
    rm -f "$work/steps" "$work/m.new" && touch "$work/first"
    PATH=$lock_path sh "$script" refresh >"$work/out" 2>&1 &
    exec 8>"$work/hold"
    for directive in refresh apply; do
        case_name="a second $directive at once, with $locker"
        PATH=$lock_path sh "$script" "$directive" >"$work/second" 2>&1
        same status 1 $?
        same "what it said" "$script: ERROR: another refresh or apply holds $work/m.lock: \
$work/m left as it is; veriexec left active" "$(cat "$work/second")"
    done
    same "steps while held" generate "$(cat "$work/steps")"
    exec 8>&-
    wait $!
    same "the first refresh's status" 0 $?
    same "its steps" "generate check diff" "$(tr '\n' ' ' <"$work/steps" | sed 's/ $//')"
    same "the lock's mode, that no other user may hold it" 600 "$(stat -c %a "$work/m.lock")"
done
# A link in the lock's place is refused, never followed.
echo kept >"$work/victim" && mv "$work/m.lock" "$work/m.lock.was" && ln -s victim "$work/m.lock"
same "refresh through a linked lock" "$script: ERROR: refusing $work/m.lock: not a regular file of \
root's: $work/m left as it is; veriexec left active" "$(sh "$script" refresh 2>&1)"
same "the link's target" "kept 644" "$(cat "$work/victim") $(stat -c %a "$work/victim")"
mv "$work/m.lock.was" "$work/m.lock"
# A key named in rc.conf that is missing stops refresh before its work; apply wants a key even
# at the default.
refresh "refresh with a named key missing" 1 "$script: ERROR: pelmor_sign_pubkey names \
$work/none.pub, which does not exist: refusing to load $work/m without it; veriexec left active" \
    "pelmor_sign_pubkey=$work/none.pub" "pelmor_sign_signing_key=$work/sign.key"
same "nothing made" "" "$(ls "$work/m.new" 2>/dev/null)"
case_name="apply without a key"
rc_conf pelmor_sign_pubkey=
same "what it said" "$script: ERROR: there is no public key at \
$work/prefix/etc/pelmor-sign/manifest.pub to verify $work/m.new with: $work/m left as it is; \
veriexec left active" "$(sh "$script" apply 2>&1)"
# A MANIFEST.new that no longer matches the disk (the tool changed above) is refused with what
# check found.
case_name="apply of a manifest that the disk no longer matches"
rc_conf && cp "$work/good" "$work/m.new" &&
    "$sign" sign -k "$work/sign.key" "$work/m.new" >/dev/null
sh "$script" apply >"$work/out" 2>"$work/err"
same status 1 $?
same "what it said" "changed: $work/tool
$script: ERROR: $work/m.new does not verify or does not match the disk: $work/m left as it is; \
veriexec left active" "$(grep -v -e '^Checked ' -e '^Verified ' "$work/err")"
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
same new "$new_manifest" "$(sed 1,2d "$work/m.new")"

check "unknown state" 1 0x00 "" "$script: ERROR: pelmor_sign_state is 'enforcing': use \
loaded, active, enforce or locked; veriexec left inactive" good pelmor_sign_state=enforcing
# The defaults lie under the port's PREFIX; an empty setting takes the default too.
check "missing default manifest" 1 0x00 "" "$script: ERROR: no manifest \
$work/prefix/etc/pelmor-sign.manifest; veriexec left inactive" good pelmor_sign_manifest=
exit $failed
