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

echo "== A manifest with the real digests of a few binaries of this host"
binaries="/usr/bin/true /usr/bin/env /usr/bin/ls /usr/bin/cat"
manifest=$PWD/build/demo-manifest
{
    echo "# path sha512=digest [flags]"
    sha512sum $binaries | awk '{ print $2 " sha512=" $1 }'
} >"$manifest"
run cut -c 1-60 "$manifest"

echo "== Load it, activate, and ask what the kernel would decide when they are executed"
run "$bin/pelmor-sign" load "$manifest"
run "$bin/pelmor-sign" activate
run "$bin/pelmor-sign" status
run "$bin/veriexec-emulator" verify $binaries /usr/bin/head

echo "== Lock it: no further change is possible until the next boot"
run "$bin/pelmor-sign" lock
run "$bin/pelmor-sign" status
run "$bin/pelmor-sign" enforce
run "$bin/pelmor-sign" load "$manifest"

run "$bin/veriexec-emulator" shutdown
