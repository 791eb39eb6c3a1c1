#!/bin/sh
# Installs the build into a temporary prefix as an administrator would, over an existing
# pelmor-sign.json, and checks the tree: programs in sbin, manual pages in section 8, the boot
# script, the periodic script and the pkg trigger, the sample configuration beside the
# administrator's file, which stays as it was. Checks the FreeBSD port against it: pkg-plist
# lists exactly what the install lays out on FreeBSD.
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
755 etc/periodic/security/450.pelmor-sign
755 etc/rc.d/pelmor_sign
755 sbin/pelmor-sign
755 sbin/veriexec-emulator
644 share/man/man8/pelmor-sign.8
644 share/man/man8/veriexec-emulator.8
644 share/pkg/triggers/pelmor-sign.ucl'
[ "$tree" = "$expected" ] ||
    { printf 'installed:\n%s\nexpected:\n%s\n' "$tree" "$expected"; failed=1; }
cmp "$work/own" "$root/etc/pelmor-sign.json" || failed=1

# The package puts the sample in force where no configuration exists yet: it must be valid JSON
# that adds no type, signs only the public key that the program trusts and the program installed
# beside the built-in directories, and makes that program trusted, so that loads and lock work
# under enforce.
key=$(sed -n 's/^PELMOR_TRUSTED_KEY:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
printf '%s\n' 'file(READ "${SAMPLE}" text)' 'string(JSON text REMOVE "${text}" comment)' \
    'message("${text}")' >"$work/sample.cmake"
sample=$("$cmake" -DSAMPLE="$root/etc/pelmor-sign.json.sample" -P "$work/sample.cmake" 2>&1 |
    tr -d ' \n')
program=\"$root/sbin/pelmor-sign\"
[ "$sample" = "{\"dirs\":[\"$key\",$program],\"flags\":{$program:[\"trusted\"]},\"types\":[]}" ] ||
    { echo "sample adds more than the key and the trusted program: $sample"; failed=1; }

# The installed tree as FreeBSD lays it out: no emulator, since the kernel has the facility,
# and manual pages under man/ rather than share/man/, which the ports framework compresses.
printf '%s\n' "$tree" | sed 's/^[0-7]* //' | grep -v -x -e 'etc/pelmor-sign\.json' \
    -e 'sbin/veriexec-emulator' -e 'share/man/man8/veriexec-emulator\.8' |
    sed 's|^share/man/\(man[1-9]/.*\)$|man/\1.gz|' | sort >"$work/installed"
sed 's/^@sample //' "$port/pkg-plist" | sort | diff "$work/installed" - ||
    { echo "pkg-plist (>) differs from the FreeBSD install layout (<)"; failed=1; }
# The files that name the prefix hold placeholders, never /usr/local.
grep -l /usr/local "$source_dir/rc.d/pelmor_sign" "$port/pelmor-sign.ucl" \
    "$source_dir/periodic/security/450.pelmor-sign" \
    "$port/files/pkg-message.in" && { echo "/usr/local where the prefix belongs"; failed=1; }
exit $failed
