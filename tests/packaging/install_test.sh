#!/bin/sh
# Installs the build into a temporary prefix as an administrator would, over an existing
# pelmor-sign.json, and checks the tree: programs in sbin, manual pages in section 8, the
# sample configuration beside the administrator's file, which stays as it was. Checks the
# FreeBSD port against it: pkg-plist lists exactly what the install lays out on FreeBSD with
# the pkg trigger and periodic script the port adds, and each USE_RC_SUBR script is the rc.d
# script of the source tree (the framework installs it and adds it to the package itself).
#   install_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -u
cmake=$1 build_dir=$2 source_dir=$3
port=$source_dir/packaging/freebsd
work=$(mktemp -d /tmp/pelmor-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root
failed=0

mkdir -p "$root/etc"
printf '{"dirs": ["/opt/site"]}\n' | tee "$work/own" >"$root/etc/pelmor-sign.json"
chmod 600 "$root/etc/pelmor-sign.json"
"$cmake" --install "$build_dir" --prefix "$root" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }

tree=$(cd "$root" && find . ! -type d -printf '%m %P\n' | sort -k 2)
expected='600 etc/pelmor-sign.json
644 etc/pelmor-sign.json.sample
755 sbin/pelmor-sign
755 sbin/veriexec-emulator
644 share/man/man8/pelmor-sign.8
644 share/man/man8/veriexec-emulator.8'
[ "$tree" = "$expected" ] ||
    { printf 'installed:\n%s\nexpected:\n%s\n' "$tree" "$expected"; failed=1; }
cmp "$work/own" "$root/etc/pelmor-sign.json" || failed=1
"$root/sbin/pelmor-sign" -v | grep -qx 'pelmor-sign version: [0-9a-f]\{8\}' ||
    { echo "installed pelmor-sign -v printed no version"; failed=1; }

# The package puts the sample in force where no configuration exists yet: it must be valid JSON
# that adds no type, signs only the trusted public key and the program beside the built-in
# directories, and makes the installed program trusted, so that loads and lock work under
# enforce.
printf '%s\n' 'file(READ "${SAMPLE}" text)' 'string(JSON types LENGTH "${text}" types)' \
    'string(JSON dirs LENGTH "${text}" dirs)' 'string(JSON key GET "${text}" dirs 0)' \
    'string(JSON program GET "${text}" dirs 1)' \
    'string(JSON flags GET "${text}" flags "/usr/local/sbin/pelmor-sign")' \
    'if(NOT types EQUAL 0 OR NOT dirs EQUAL 2' \
    '   OR NOT key STREQUAL "/usr/local/etc/pelmor-sign/manifest.pub"' \
    '   OR NOT program STREQUAL "/usr/local/sbin/pelmor-sign"' \
    '   OR NOT flags MATCHES "^\\[ *\"trusted\" *\\]$")' \
    'message(FATAL_ERROR "sample adds more than the key and the trusted program: ${text}")' \
    'endif()' >"$work/sample.cmake"
"$cmake" -DSAMPLE="$root/etc/pelmor-sign.json.sample" -P "$work/sample.cmake" || failed=1

# The installed tree as FreeBSD lays it out: no emulator, since the kernel has the facility,
# manual pages under man/ rather than share/man/, which the ports framework compresses, and
# the pkg trigger and periodic script, which the port itself installs with its PREFIX in place.
{ printf '%s\n' "$tree" | sed 's/^[0-7]* //' | grep -v -x -e 'etc/pelmor-sign\.json' \
    -e 'sbin/veriexec-emulator' -e 'share/man/man8/veriexec-emulator\.8' |
    sed 's|^share/man/\(man[1-9]/.*\)$|man/\1.gz|' && echo share/pkg/triggers/pelmor-sign.ucl &&
    echo etc/periodic/security/450.pelmor-sign; } |
    sort >"$work/installed"
# linked NAME FILE: the port's files/NAME is FILE of the source tree.
linked() {
    [ "$port/files/$1" -ef "$source_dir/$2" ] || { echo "files/$1 of the port is not $2"; failed=1; }
}
linked pelmor-sign.ucl.in packaging/freebsd/pelmor-sign.ucl
linked 450.pelmor-sign.in periodic/security/450.pelmor-sign
sed 's/^@sample //' "$port/pkg-plist" | sort | diff "$work/installed" - ||
    { echo "pkg-plist (>) differs from the FreeBSD install layout (<)"; failed=1; }
# The files that the port substitutes name its PREFIX, never /usr/local.
grep -l /usr/local "$source_dir/rc.d/pelmor_sign" "$port/pelmor-sign.ucl" \
    "$source_dir/periodic/security/450.pelmor-sign" \
    "$port/files/pkg-message.in" && { echo "/usr/local where the prefix belongs"; failed=1; }
scripts=$(sed -n 's/^USE_RC_SUBR=[[:space:]]*//p' "$port/Makefile")
[ -n "$scripts" ] || { echo "the port installs no rc.d script"; failed=1; }
for script in $scripts; do linked "$script.in" "rc.d/$script"; done
exit $failed
