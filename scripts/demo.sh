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
# Scripts that name their interpreter are described after it; the configuration adds those.
cat >build/demo-config.json <<'JSON'
{"types": ["python3 script", "Bourne-Again shell script"]}
JSON
"$bin/pelmor-sign" generate -o "$manifest" -j "$(processors)" -c build/demo-config.json \
    >build/demo-generate.log 2>&1 || echo "(exit status $?)"
grep -v -e '^Job queue' -e '^Signing types' -e '^\[' build/demo-generate.log
echo "... progress lines of the largest jobs:"
grep '^\[' build/demo-generate.log | sort -t'[' -k4 -n -r | head -n 5
echo
run head -n 3 "$manifest"

echo "== Load it, activate, enforce, and ask what the kernel would decide at exec time"
run "$bin/pelmor-sign" load "$manifest"
run "$bin/pelmor-sign" activate
run "$bin/pelmor-sign" enforce
run "$bin/pelmor-sign" status
binaries="/usr/bin/true /usr/bin/env /usr/bin/dash"
printf '#!/bin/sh\necho hello\n' >build/demo-new-script
run "$bin/veriexec-emulator" verify $binaries "$PWD/build/demo-new-script"

echo "== Lock it: no further change is possible until the next boot"
run "$bin/pelmor-sign" lock
run "$bin/pelmor-sign" status
run "$bin/pelmor-sign" enforce
head -n 2 "$manifest" >build/demo-small-manifest
run "$bin/pelmor-sign" load build/demo-small-manifest

run "$bin/veriexec-emulator" shutdown
