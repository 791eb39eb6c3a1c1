#!/bin/sh
# Installs what is missing, builds, boots an emulated veriexec facility of its own and drives
# it with pelmor-sign as an administrator would.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh

install_missing
build build >/dev/null
bin=$PWD/build

# A private facility, so that the demo leaves any other emulated facility of this host alone.
PELMOR_VERIEXEC_EMULATOR=$PWD/build/demo-facility
export PELMOR_VERIEXEC_EMULATOR

run() {
    echo "\$ $*"
    "$@" 2>&1 || echo "(exit status $?)"
    echo
}

echo "== Before the facility is booted, every command says what is missing"
run "$bin/pelmor-sign" status

echo "== Boot the emulated facility"
run "$bin/veriexec-emulator" boot
run "$bin/pelmor-sign" status

echo "== Nothing is loaded yet, so the facility cannot be activated"
run "$bin/pelmor-sign" activate

echo "== Generate a manifest of this host's system directories, one worker per processor"
echo "   (this walks and hashes every executable under the built-in directories: a minute or so)"
manifest=$PWD/build/demo-manifest
tool=$PWD/build/demo-tool
printf '#!/bin/sh\necho version 1\n' >"$tool"
chmod 755 "$tool"
# Scripts that name their interpreter are described after it; the configuration adds those.
cat >build/demo-config.json <<'JSON'
{"types": ["python3 script", "Bourne-Again shell script"]}
JSON
# The cache lets the next run read only what changed; a fresh demo starts without one.
rm -f build/demo-cache
generate() {
    "$bin/pelmor-sign" generate -o "$manifest" -j "$(processors)" -c build/demo-config.json \
        -f "$tool" --cache build/demo-cache >build/demo-generate.log 2>&1 ||
        echo "(exit status $?)"
    grep -v -e '^Job queue' -e '^Signing types' -e '^\[' build/demo-generate.log
}
generate
echo "... progress lines of the largest jobs:"
grep '^\[' build/demo-generate.log | sort -t'[' -k4 -n -r | head -n 5
echo
run head -n 3 "$manifest"

echo "== Check that it matches the disk, load it and activate"
run "$bin/pelmor-sign" check -j "$(processors)" "$manifest"
run "$bin/pelmor-sign" load "$manifest"
run "$bin/pelmor-sign" activate

echo "== An update changes a program: check catches it before enforce would refuse it"
printf '#!/bin/sh\necho version 2\n' >"$tool"
run "$bin/pelmor-sign" check -j "$(processors)" "$manifest"

echo "== Generate again: with the cache, only what changed is read again"
generate
echo "== Check again, load the new manifest and enforce it"
run "$bin/pelmor-sign" check -j "$(processors)" "$manifest"
run "$bin/pelmor-sign" load "$manifest"
run "$bin/pelmor-sign" enforce
run "$bin/pelmor-sign" status
binaries="/usr/bin/true /usr/bin/env /usr/bin/dash"
printf '#!/bin/sh\necho hello\n' >build/demo-new-script
run "$bin/veriexec-emulator" verify $binaries "$tool" "$PWD/build/demo-new-script"

echo "== Lock it: no further change is possible until the next boot"
run "$bin/pelmor-sign" lock
run "$bin/pelmor-sign" status
run "$bin/pelmor-sign" enforce
head -n 2 "$manifest" >build/demo-small-manifest
run "$bin/pelmor-sign" load build/demo-small-manifest

run "$bin/veriexec-emulator" shutdown
