# Sourced by the boot script's tests: the script as installed but reading the rc.subr stand-in,
# a private emulated facility, a tool with manifests for it and a signing key, in a work folder
# removed at exit. Sets source_dir, sign, emulator, work, script, key_id.
#   . common.sh SOURCE_DIR PELMOR_SIGN VERIEXEC_EMULATOR
set -u
source_dir=$1 sign=$2 emulator=$3
work=$(mktemp -d /tmp/pelmor-rc.XXXXXX)
trap 'rm -rf "$work"' EXIT
export PELMOR_VERIEXEC_EMULATOR="$work/facility" RC_CONF="$work/rc.conf"
failed=0

sh -n "$source_dir/rc.d/pelmor_sign" || exit 1
# The script as the build installs it, with its prefix (here $work/prefix) and the program's
# paths under it in place, but reading the stand-in instead of /etc/rc.subr (which no host that
# runs this test has, so a script that still read it would fail every check).
script=$work/pelmor_sign
sed -e "s|^\. /etc/rc\.subr\$|. $source_dir/tests/rc/rc.subr|" \
    -e "s|%%PELMOR_TRUSTED_KEY%%|$work/prefix/etc/pelmor-sign/manifest.pub|g" \
    -e "s|%%PELMOR_SERIAL_FILE%%|$work/prefix/var/db/serial|g" -e "s|%%PREFIX%%|$work/prefix|g" \
    -e "s|%%PELMOR_KEYS_FILE%%|$work/prefix/etc/pelmor-sign/keys|g" \
    "$source_dir/rc.d/pelmor_sign" >"$script"
! grep -n '%%' "$script" || exit 1

# A program and manifests for it, which also make pelmor-sign trusted so that it may lock under
# enforce: one good, one whose fourth line has no attribute, and one without pelmor-sign.
printf '#!/bin/sh\n' >"$work/tool" && chmod 755 "$work/tool"
entry="$work/tool sha512=$(sha512sum "$work/tool" | cut -d ' ' -f 1)"
trusted="$sign sha512=$(sha512sum "$sign" | cut -d ' ' -f 1) trusted"
printf '# tools\n%s\n%s\n' "$entry" "$trusted" >"$work/good"
printf '# tools\n%s\n%s\n%s\n' "$entry" "$trusted" "$work/tool sha512" >"$work/bad"
printf '# tools\n%s\n' "$entry" >"$work/untrusted"
openssl genpkey -algorithm ed25519 -out "$work/sign.key" 2>/dev/null && chmod 400 "$work/sign.key"
openssl pkey -in "$work/sign.key" -pubout -out "$work/key.pub"
key_id=$(openssl pkey -in "$work/sign.key" -pubout -outform DER | sha256sum | cut -c 1-16)
# refresh walks an image, which the tests make hold the tool where the host has it.
image=$work/image
mkdir -p "$image$work"

same() {
    [ "$2" = "$3" ] ||
        { printf '%s: %s\n--- expected\n%s\n--- actual\n%s\n' "$case_name" "$@"; failed=1; }
}

# rc_conf LINE...: the rc.conf of a refresh of the manifest m over the image, with the lines
# given after the defaults.
rc_conf() {
    printf '%s\n' pelmor_sign_enable=YES "pelmor_sign_program=$sign" \
        "pelmor_sign_manifest=$work/m" "pelmor_sign_cache=$work/db/cache" \
        "pelmor_sign_generate_flags='-R $image -d $work'" \
        "pelmor_sign_pubkey=$work/key.pub" "pelmor_sign_serial_file=$work/serial" "$@" \
        >"$RC_CONF"
}

# The state word of the facility, as the script's last lines name it.
state_word() {
    case $("$emulator" show | sed -n 's/^state //p') in
    0x00) echo inactive ;; 0x01) echo loaded ;; 0x03) echo active ;; 0x07) echo enforce ;;
    *) echo locked ;;
    esac
}
