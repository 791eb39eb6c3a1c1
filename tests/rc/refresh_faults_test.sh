#!/bin/sh
# `refresh` with each of its steps failing in turn, and crashing (the whole script killed)
# before each step and file operation, from a manifest that is a plain file, from one that is
# already a link to a slot, and from a link of the administrator's own to a file named like a
# slot; and `keys install` cut short before its record. After each, the host boots again:
# `start` must reach enforce with the old manifest or the new one, and each last line must name
# the state it left.
#   refresh_faults_test.sh SOURCE_DIR PELMOR_SIGN VERIEXEC_EMULATOR
. "$(dirname "$0")/common.sh"

# Every program step and every mv, ln and rm of the script passes through `fault`, which counts
# them and, at the FAULT_AT-th (or at the program step named FAULT_AT), fails it (FAULT=fail),
# kills the whole refresh (FAULT=crash), runs FAULT_RUN first (FAULT=run), or runs it and then
# dies as if killed, what it did done (FAULT=die).
bin=$work/bin && mkdir "$bin"
cat >"$bin/fault" <<END
#!/bin/sh
n=\$((\$(cat "$work/count") + 1)) && echo \$n >"$work/count"
if [ "\$n" = "\$FAULT_AT" ] || [ "\$2" = "\$FAULT_AT" ]; then
    case \$FAULT in
    fail) exit 1 ;; crash) kill -KILL "-\$(cat "$work/group")" ;; run) sh -c "\$FAULT_RUN" ;;
    die) "\$@"; kill -KILL \$\$ ;;
    esac
fi
exec "\$@"
END
for tool in "$sign" "$(command -v mv)" "$(command -v ln)" "$(command -v rm)"; do
    printf '#!/bin/sh\nexec %s/fault %s "$@"\n' "$bin" "$tool" >"$bin/${tool##*/}"
done
chmod 755 "$bin"/*

cp "$work/tool" "$image$work/tool"
cp "$work/good" "$work/old"
"$sign" sign -k "$work/sign.key" --serial 1 "$work/old" >/dev/null
paths() { "$emulator" show | cut -f 5 -s | sort | tr '\n' ' '; }
# Sorted as paths() sorts them, wherever the checkout lies: the old manifest makes pelmor-sign
# trusted, the new one, of the image, lists the tool alone.
old_table=$(printf '%s\n' "$work/tool" "$sign" | sort | tr '\n' ' ')
new_table="$work/tool "

# attempt FROM FAULT AT: a refresh of the old pair, in place as FROM (plain, link or own), with
# the fault at AT; then a boot.
attempt() {
    case_name="from a $1 manifest, $2 at $3"
    # A lock left by a crash stays, for the next refresh to take over.
    (cd "$work" && rm -rf m m.sig m.a m.a.sig m.b m.b.sig m.new m.new.sig m.link own) &&
        echo 1 >"$work/serial" && echo 0 >"$work/count"
    case $1 in plain) slot=m ;; link) slot=m.b ;; own) slot=own/m.b && mkdir "$work/own" ;; esac
    cp "$work/old" "$work/$slot" && cp "$work/old.sig" "$work/$slot.sig"
    [ "$1" = plain ] || ln -s "$slot" "$work/m"
    "$emulator" boot && rc_conf && sh "$script" start >/dev/null
    rc_conf "pelmor_sign_program=$bin/${sign##*/}" "pelmor_sign_signing_key=$work/sign.key"
    FAULT=$2 FAULT_AT=$3 PATH="$bin:$PATH" setsid -w sh -c \
        'echo $$ >"$0/group" && exec sh "$1" refresh' "$work" "$script" >"$work/refresh.out" 2>&1
    killed=$?
    last=$(tail -n 1 "$work/refresh.out")
    case $2$last in
    crash*) [ "$(cat "$work/count")" -lt "$3" ] || same "killed at its fault" 137 "$killed" ;;
    *"veriexec left "*) same "refresh's last line" "veriexec left $(state_word)" \
        "veriexec left ${last##*veriexec left }" ;;
    *replaced*loaded) same "state after refresh" active "$(state_word)" ;;
    esac
    "$emulator" boot
    rc_conf pelmor_sign_state=enforce
    sh "$script" start >"$work/out" 2>&1
    same "start's status" 0 $?
    same "start's last line" "Veriexec state set to 'enforce'" "$(tail -n 1 "$work/out")"
    same state enforce "$(state_word)"
    case $(paths) in
    "$old_table" | "$new_table") ;;
    *) same table "the old manifest's or the new one's" "$(paths)" ;;
    esac
}

for from in plain link own; do
    at=1
    while attempt "$from" crash "$at" && [ "$(cat "$work/count")" -ge "$at" ]; do
        attempt "$from" fail "$at"
        at=$((at + 1))
    done
done

# The load's process dies after it raised the record: the old pair, older than the record now,
# would be refused at boot, so the new pair stays in place and the refresh says why.
for from in plain link own; do
    attempt "$from" die load
    same "refresh's last line" "$script: ERROR: loading $work/m.new failed after it raised the \
serial record $work/serial to $(cat "$work/serial"): $work/m stays the new manifest, since the \
record refuses the old one; veriexec left active" "$(tail -n 1 "$work/refresh.out")"
    same "the record" "$(sed -n '1s/^# pelmor-sign serial //p' "$work/m")" "$(cat "$work/serial")"
    same "the table booted" "$new_table" "$(paths)"
done

# keys install cut short between putting the keys file (and the manifest it takes) in place and
# raising the record: the install made whole, then its record put back as the cut left it. On a
# host's first install the record only announces the keys file; on a later one it names the one
# installed before. Either way the next boot verifies the new manifest with the keys file that
# the record does not name yet, and reaches enforce.
case_name="keys install cut short before its record"
keys=$work/prefix/etc/pelmor-sign/keys && mkdir -p "${keys%/*}"
# keys_of NAME SERIAL: the keys file NAME.keys, signed by the root, listing the new key NAME.
keys_of() {
    openssl genpkey -algorithm ed25519 -out "$work/$1.key" 2>/dev/null &&
        chmod 400 "$work/$1.key" && openssl pkey -in "$work/$1.key" -pubout -out "$work/$1.pub" &&
        "$sign" keys add "$work/$1.keys" "$work/$1.pub" >/dev/null &&
        "$sign" keys sign -k "$work/sign.key" --serial "$2" --expires 2099-01-01T00:00:00Z \
            "$work/$1.keys" >/dev/null
}
keys_of b 1 && keys_of c 2 && cp "$work/old" "$work/next.b" && cp "$work/old" "$work/next.c" &&
    "$sign" sign -k "$work/b.key" --serial 2 "$work/next.b" >/dev/null &&
    "$sign" sign -k "$work/c.key" --serial 3 "$work/next.c" >/dev/null || failed=1
(cd "$work" && rm -rf m m.sig m.a m.a.sig m.b m.b.sig m.new m.new.sig) && echo 1 >"$work/serial" &&
    cp "$work/old" "$work/m" && cp "$work/old.sig" "$work/m.sig"
"$emulator" boot && rc_conf && sh "$script" start >/dev/null
install_keys() {
    "$sign" keys install --key "$work/key.pub" --keys "$keys" --serial-file "$work/serial" \
        --manifest "$work/m" --with "$work/$1" "$work/$2" >"$work/out" 2>&1
    same "keys install of $2" 0 $?
}
# boots_to_enforce SERIAL: a boot reaches enforce, the serial record at SERIAL.
boots_to_enforce() {
    "$emulator" boot && rc_conf pelmor_sign_state=enforce
    sh "$script" start >"$work/out" 2>&1
    same "start's last line" "Veriexec state set to 'enforce'" "$(tail -n 1 "$work/out")"
    same "the table booted" "$old_table" "$(paths)"
    same "the serial record" "$1" "$(cat "$work/serial")"
}
install_keys next.b b.keys && cp "$work/serial" "$work/serial.before" &&
    cp "$work/serial.keys" "$work/serial.keys.before"
printf 'pelmor-sign keys record 1\npending-digest %s\n' "$(sha256sum <"$keys" | cut -d ' ' -f 1)" \
    >"$work/serial.keys" && echo 1 >"$work/serial"
boots_to_enforce 2
# Out of enforce again: under it, keys install takes only the build's own key and files.
cp "$work/serial.before" "$work/serial" && cp "$work/serial.keys.before" "$work/serial.keys" &&
    "$emulator" boot
install_keys next.c c.keys
cp "$work/serial.before" "$work/serial" && cp "$work/serial.keys.before" "$work/serial.keys"
boots_to_enforce 3
rm -rf "${keys%/*}" "$work/serial.keys"

# A load that fails after some entries were sent: the table holds them, and the manifest in
# place stays the old one.
cp "$work/tool" "$work/tool2" && cp "$work/tool" "$image$work/tool2"
export FAULT_RUN="rm $work/tool2"
attempt plain run load
same "refresh's last line" "$script: ERROR: loading $work/m.new failed: the loaded table now \
holds 1 entries of it; $work/m was not replaced; veriexec left active" \
    "$(tail -n 1 "$work/refresh.out")"
same manifest "$(cat "$work/old")" "$(cat "$work/m")"
exit $failed
