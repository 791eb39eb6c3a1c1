#!/bin/sh
# Checks the FreeBSD port against the install layout: pkg-plist lists exactly what
# `cmake --install` lays out on FreeBSD, and each USE_RC_SUBR script is the rc.d script of the
# source tree (the framework installs it and adds it to the package itself).
#   plist_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -u
cmake=$1
build_dir=$2
source_dir=$3
port=$source_dir/packaging/freebsd
work=$(mktemp -d /tmp/pelmor-plist.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0

if ! "$cmake" --install "$build_dir" --prefix "$work/root" >"$work/log" 2>&1; then
    cat "$work/log"
    exit 1
fi

# This host's tree as FreeBSD lays it out: no emulator, since the kernel has the facility,
# and manual pages under man/ rather than share/man/, which the ports framework compresses.
(cd "$work/root" && find . ! -type d) | sed 's|^\./||' |
    grep -v -x -e 'sbin/veriexec-emulator' -e 'share/man/man8/veriexec-emulator\.8' |
    sed 's|^share/man/\(man[1-9]/.*\)$|man/\1.gz|' | sort >"$work/installed"
sed 's/^@sample //' "$port/pkg-plist" | sort >"$work/listed"
if ! diff "$work/installed" "$work/listed"; then
    echo "pkg-plist (>) differs from the FreeBSD install layout (<)"
    failed=1
fi

scripts=$(sed -n 's/^USE_RC_SUBR=[[:space:]]*//p' "$port/Makefile")
[ -n "$scripts" ] || { echo "the port installs no rc.d script"; failed=1; }
for script in $scripts; do
    if ! [ "$port/files/$script.in" -ef "$source_dir/rc.d/$script" ]; then
        echo "files/$script.in of the port is not rc.d/$script"
        failed=1
    fi
done
exit $failed
