#!/bin/sh
# Installs the build into a temporary prefix as an administrator would, over an existing
# pelmor-sign.json, and checks the tree: programs in sbin, manual pages in section 8, the
# sample configuration beside the administrator's file, which stays as it was.
#   install_test.sh CMAKE BUILD_DIR
set -u
cmake=$1
build_dir=$2
work=$(mktemp -d /tmp/pelmor-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root
failed=0

fail() {
    printf '%s\n' "$@"
    failed=1
}

own_config='{"dirs": ["/opt/site"]}'
mkdir -p "$root/etc"
printf '%s\n' "$own_config" >"$root/etc/pelmor-sign.json"
if ! "$cmake" --install "$build_dir" --prefix "$root" >"$work/log" 2>&1; then
    cat "$work/log"
    exit 1
fi

tree=$(cd "$root" && find . ! -type d | sort)
expected='./etc/pelmor-sign.json
./etc/pelmor-sign.json.sample
./sbin/pelmor-sign
./sbin/veriexec-emulator
./share/man/man8/pelmor-sign.8
./share/man/man8/veriexec-emulator.8'
[ "$tree" = "$expected" ] || fail "installed:" "$tree" "expected:" "$expected"
[ "$(cat "$root/etc/pelmor-sign.json")" = "$own_config" ] ||
    fail "the install changed the existing pelmor-sign.json"

version=$("$root/sbin/pelmor-sign" -v)
expr "$version" : 'pelmor-sign version: [0-9a-f]\{8\}$' >/dev/null ||
    fail "installed pelmor-sign -v printed: $version"
[ -x "$root/sbin/veriexec-emulator" ] || fail "veriexec-emulator is not executable"

# The package puts the sample in force where no configuration exists yet, so it must be valid
# JSON whose two lists add nothing.
cat >"$work/sample.cmake" <<'CMAKE'
file(READ "${SAMPLE}" text)
foreach(key dirs types)
  string(JSON length ERROR_VARIABLE error LENGTH "${text}" ${key})
  if(error OR NOT length EQUAL 0)
    message(FATAL_ERROR "'${key}' of the sample is not an empty list: ${length} ${error}")
  endif()
endforeach()
CMAKE
"$cmake" -DSAMPLE="$root/etc/pelmor-sign.json.sample" -P "$work/sample.cmake" ||
    fail "bad sample configuration"
exit $failed
