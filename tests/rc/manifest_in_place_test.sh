#!/bin/sh
# Every documented way of putting a manifest in place, each after every other, on one host that
# has refreshed before and on one that has not: `generate -o MANIFEST` then `sign MANIFEST`; a
# copy of a manifest and its .sig onto MANIFEST and MANIFEST.sig; `refresh` with a signing key;
# `apply` of a MANIFEST.new signed elsewhere. After each the host boots to enforce, which it must
# reach with the newest manifest loaded.
#   manifest_in_place_test.sh SOURCE_DIR PELMOR_SIGN VERIEXEC_EMULATOR
. "$(dirname "$0")/common.sh"

# Each step first adds a program to the host and to the image, the same file in both, so that
# the newest manifest, made of the image, is the one that lists it.
count=0
add_program() {
    count=$((count + 1))
    mkdir -p "$work/bin" "$image$work/bin"
    printf '#!/bin/sh\necho %s\n' $count >"$work/bin/p$count" && chmod 755 "$work/bin/p$count"
    cp -p "$work/bin/p$count" "$image$work/bin/p$count"
}
made() { "$sign" generate -R "$image" -d "$work" -o "$1" >/dev/null 2>&1; }
signed() { "$sign" sign -k "$work/sign.key" "$1" >/dev/null; }

# step NAME: generate, copy, refresh or apply, as an administrator runs it.
step() {
    case $1 in
    generate) made "$work/m" && signed "$work/m" ;;
    copy) made "$work/web" && signed "$work/web" && cp "$work/web" "$work/m" &&
        cp "$work/web.sig" "$work/m.sig" ;;
    refresh) sh "$script" refresh >"$work/out" 2>&1 || { cat "$work/out"; false; } ;;
    apply) made "$work/m.new" && signed "$work/m.new" &&
        { sh "$script" apply >"$work/out" 2>&1 || { cat "$work/out"; false; }; } ;;
    esac
}

# boot STATE: the facility booted again, and `start` to STATE.
boot() {
    "$emulator" boot && rc_conf "pelmor_sign_signing_key=$work/sign.key" "pelmor_sign_state=$1" &&
        sh "$script" start >"$work/out" 2>&1
}

# Under enforce the built program loads only what the installed key signed, which no test can
# sign with: each step runs on a host booted to active, as a refresh after a reboot would.
previous=none
for name in generate generate copy generate refresh generate apply copy copy refresh copy apply \
    refresh refresh apply apply generate generate copy generate refresh; do
    case_name="$name after $previous"
    previous=$name
    add_program
    step "$name" || same "the step's status" 0 1
    boot enforce
    same "start's status" 0 $?
    same "start's last line" "Veriexec state set to 'enforce'" "$(tail -n 1 "$work/out")"
    same table "$(printf '%s\n' "$work/bin/p"* | sort)" \
        "$("$emulator" show | cut -f 5 -s | sort)"
    boot active || { cat "$work/out" && same "booted to active" 0 1; }
done

# An apply whose load fails switches back to the manifest in place, here a copy that only the
# signature beside the link verifies: apply keeps that signature, and the host boots with it.
case_name="apply whose load fails, after copy"
add_program && step copy && boot active
copied=$(printf '%s\n' "$work/bin/p"* | sort)
add_program && "$emulator" fail LoadEntry EIO
step apply >/dev/null && same "apply's status" 1 0
same "the signature beside the link" "$(cat "$work/web.sig")" "$(cat "$work/m.sig")"
boot enforce
same "start's last line" "Veriexec state set to 'enforce'" "$(tail -n 1 "$work/out")"
same table "$copied" "$("$emulator" show | cut -f 5 -s | sort)"
exit $failed
