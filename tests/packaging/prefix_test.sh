#!/bin/sh
# Configures the project, without building it, for a prefix of its own and checks the boot
# script, the periodic script, the pkg trigger and the sample that the build writes: the prefix
# and the program's paths filled in, no placeholder left, nothing under another prefix. Installs
# them (the component "scripts") with --prefix elsewhere and into a DESTDIR, then configures
# again for other prefixes: the paths built from the prefix follow it, one set with -D stays.
#   prefix_test.sh CMAKE SOURCE_DIR
set -u
cmake=$1 source_dir=$2
work=$(mktemp -d /tmp/pelmor-prefix.XXXXXX)
trap 'rm -rf "$work"' EXIT
build=$work/build
failed=0
fail() { printf '%s: %s\n' "$case_name" "$*"; failed=1; }

# configure OPTION...: the build configured again; its output is in $work/log.
configure() {
    "$cmake" -S "$source_dir" -B "$build" -DPELMOR_BUILD_TESTS=OFF "$@" >"$work/log" 2>&1 ||
        { cat "$work/log"; exit 1; }
}

# written ROOT PREFIX KEY SERIAL KEYS: the four files under ROOT, laid out as under the prefix,
# run PREFIX/sbin/pelmor-sign and take KEY, SERIAL and KEYS as their defaults, with nothing left
# to fill.
written() {
    for file in etc/rc.d/pelmor_sign etc/periodic/security/450.pelmor-sign \
        share/pkg/triggers/pelmor-sign.ucl etc/pelmor-sign.json.sample; do
        [ -f "$1/$file" ] || { fail "no $1/$file"; continue; }
        grep -n -e '%%' -e /usr/local/sbin/pelmor -e /usr/local/etc/pelmor "$1/$file" &&
            fail "$1/$file holds a placeholder or names /usr/local"
        grep -qF "$2/sbin/pelmor-sign" "$1/$file" ||
            fail "$1/$file does not run $2/sbin/pelmor-sign"
    done
    for script in etc/rc.d/pelmor_sign etc/periodic/security/450.pelmor-sign; do
        [ -x "$1/$script" ] && sh -n "$1/$script" || fail "$1/$script is no script to run"
    done
    for default in "pelmor_sign_manifest:=\"$2/etc/pelmor-sign.manifest\"" \
        "pelmor_sign_pubkey:=\"$3\"" "pelmor_sign_serial_file:=\"$4\"" \
        "pelmor_sign_keys:=\"$5\"" \
        "security_status_pelmorsign_manifest:=\"$2/etc/pelmor-sign.manifest\"" \
        "security_status_pelmorsign_pubkey:=\"$3\"" \
        "security_status_pelmorsign_keys:=\"$5\""; do
        grep -qxF ": \${$default}" "$1/etc/rc.d/pelmor_sign" \
            "$1/etc/periodic/security/450.pelmor-sign" || fail "no default $default"
    done
    grep -qF "\"dirs\": [\"$3\", \"$2/sbin/pelmor-sign\"]" "$1/etc/pelmor-sign.json.sample" ||
        fail "the sample does not sign $3 and $2/sbin/pelmor-sign"
}
# follows PREFIX KEY SERIAL: the program and the written files use the paths given.
follows() {
    for path in "$2" "$3" "$1/etc/pelmor-sign.json"; do
        grep -qF "\"$path\"" "$build/generated/installed_files.cpp" ||
            fail "the program does not use $path: $(cat "$build/generated/installed_files.cpp")"
    done
    written "$build" "$@" "$1/etc/pelmor-sign/keys"
}

case_name="configured for a prefix"
configure -DCMAKE_INSTALL_PREFIX="$work/a" -DPELMOR_SERIAL_FILE="$work/db/serial"
follows "$work/a" "$work/a/etc/pelmor-sign/manifest.pub" "$work/db/serial"

case_name="installed with --prefix"
"$cmake" --install "$build" --component scripts --prefix "$work/p" >"$work/log" 2>&1 ||
    { cat "$work/log"; exit 1; }
# The program keeps the key it was built with, and the scripts name that one; the install says
# that the program uses files under the other prefix.
written "$work/p" "$work/p" "$work/a/etc/pelmor-sign/manifest.pub" "$work/db/serial" \
    "$work/a/etc/pelmor-sign/keys"
grep -rlF -e "$work/a/sbin" -e "$work/a/etc/pelmor-sign.manifest" "$work/p" &&
    fail "names the prefix $work/a"
tr -s ' \n' '  ' <"$work/log" | grep -qF "pelmor-sign was built for the prefix $work/a: \
installed under $work/p, it still uses $work/a/etc/pelmor-sign.json, \
$work/a/etc/pelmor-sign/manifest.pub, $work/a/etc/pelmor-sign/keys and \
$work/a/etc/pelmor-sign.manifest." ||
    fail "no warning: $(cat "$work/log")"

case_name="installed into DESTDIR"
DESTDIR=$work/stage "$cmake" --install "$build" --component scripts >"$work/log" 2>&1 ||
    { cat "$work/log"; exit 1; }
written "$work/stage$work/a" "$work/a" "$work/a/etc/pelmor-sign/manifest.pub" "$work/db/serial" \
    "$work/a/etc/pelmor-sign/keys"
grep -q Warning "$work/log" && fail "warns: $(cat "$work/log")"

case_name="a key set with -D"
configure -DCMAKE_INSTALL_PREFIX="$work/c" -DPELMOR_TRUSTED_KEY="$work/keys/manifest.pub"
follows "$work/c" "$work/keys/manifest.pub" "$work/db/serial"
configure -DCMAKE_INSTALL_PREFIX="$work/d"
follows "$work/d" "$work/keys/manifest.pub" "$work/db/serial"

case_name="a key set empty"
configure -DPELMOR_TRUSTED_KEY=
follows "$work/d" "$work/d/etc/pelmor-sign/manifest.pub" "$work/db/serial"
exit $failed
