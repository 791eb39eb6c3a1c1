#!/bin/sh
# Installs what is missing, builds, boots an emulated veriexec facility of its own and drives
# it with pelmor-sign as an administrator would: a signed manifest, enforce, an upgrade loaded
# without a reboot, and lock.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh

install_missing
# A build of its own, which trusts the demo's key under enforce as an installed program trusts
# PREFIX/etc/pelmor-sign/manifest.pub, and keeps the serial record and the keys file (none
# unless one is installed) in the demo's own folders.
demo=$PWD/build-demo
keys=$demo/keys
echo "== Build pelmor-sign in build-demo/: some minutes the first time, each step shown"
# The build's own percentage lines say how far it is; its errors come through whole.
piped "grep --line-buffered '^\[ *[0-9]*%\]'" build "$demo" -DPELMOR_BUILD_TESTS=OFF \
    -DPELMOR_TRUSTED_KEY="$keys/manifest.pub" -DPELMOR_SERIAL_FILE="$demo/serial" \
    -DPELMOR_KEYS_FILE="$keys/keys"
echo
bin=$demo

# A private facility, so that the demo leaves any other emulated facility of this host alone.
PELMOR_VERIEXEC_EMULATOR=$demo/facility
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

echo "== A signing key (it belongs off the host; here it sits beside the build)"
rm -rf "$keys" "$demo/serial" "$demo/cache"
mkdir -p "$keys"
openssl genpkey -algorithm ed25519 -out "$keys/sign.key" 2>/dev/null
chmod 0400 "$keys/sign.key"
run openssl pkey -in "$keys/sign.key" -pubout -out "$keys/manifest.pub"

echo "== Generate a manifest of this host's system directories, one worker per processor"
echo "   (this walks and hashes every executable under the built-in directories: a minute or so)"
manifest=$demo/manifest
tool=$demo/tool
printf '#!/bin/sh\necho version 1\n' >"$tool"
chmod 755 "$tool"
# Scripts that name their interpreter are described after it; the configuration adds those,
# makes pelmor-sign trusted, so that it may load and lock under enforce, and signs the key.
cat >"$demo/config.json" <<JSON
{"types": ["python3 script", "Bourne-Again shell script"],
 "dirs": ["$keys/manifest.pub"],
 "flags": {"$bin/pelmor-sign": ["trusted"]}}
JSON
generate() {
    "$bin/pelmor-sign" generate -o "$manifest" -j "$(processors)" -c "$demo/config.json" \
        -f "$tool" -f "$bin/pelmor-sign" --cache "$demo/cache" >"$demo/generate.log" 2>&1 ||
        echo "(exit status $?)"
    grep -v -e '^Job queue' -e '^Signing types' -e '^\[' -e '^ *Time ' "$demo/generate.log"
}
generate
echo "... the rows of the largest jobs:"
grep '^ *Time ' "$demo/generate.log"
grep '^\[' "$demo/generate.log" | sort -t'[' -k4 -n -r | head -n 5
echo
run grep -e " trusted$" "$manifest"
load() {
    run "$bin/pelmor-sign" load --key "$keys/manifest.pub" --serial-file "$demo/serial" "$manifest"
}

echo "== Sign it, check that it matches the disk, load it and activate"
run "$bin/pelmor-sign" sign -k "$keys/sign.key" "$manifest"
run head -n 2 "$manifest"
run "$bin/pelmor-sign" check -j "$(processors)" --key "$keys/manifest.pub" \
    --serial-file "$demo/serial" "$manifest"
load
run "$bin/pelmor-sign" activate

echo "== A manifest changed after signing is refused"
cp "$manifest" "$demo/forged"
cp "$manifest.sig" "$demo/forged.sig"
echo "/bin/sh sha512=$(printf '%0128d' 0)" >>"$demo/forged"
run "$bin/pelmor-sign" load --key "$keys/manifest.pub" --serial-file "$demo/serial" \
    "$demo/forged"

echo "== An update changes a program: check catches it before enforce would refuse it"
printf '#!/bin/sh\necho version 2\n' >"$tool"
run "$bin/pelmor-sign" check -j "$(processors)" "$manifest"

echo "== Generate again: with the cache, only what changed is read again; sign, load, enforce"
generate
run "$bin/pelmor-sign" sign -k "$keys/sign.key" "$manifest"
load
run "$bin/pelmor-sign" enforce
run "$bin/pelmor-sign" status
binaries="/usr/bin/true /usr/bin/env /usr/bin/dash"
printf '#!/bin/sh\necho hello\n' >"$demo/new-script"
run "$bin/veriexec-emulator" verify $binaries "$tool" "$demo/new-script"

echo "== An upgrade under enforce: the new program is refused until its entry is loaded"
printf '#!/bin/sh\necho version 3\n' >"$tool"
run "$bin/veriexec-emulator" verify "$tool"
generate
echo "   An unsigned manifest is not loaded under enforce:"
run "$bin/pelmor-sign" load "$manifest"
echo "   The signed one is, by pelmor-sign, which the manifest makes trusted: no reboot needed"
run "$bin/pelmor-sign" sign -k "$keys/sign.key" "$manifest"
load
run "$bin/veriexec-emulator" verify "$tool"

echo "== Lock it: no further change is possible until the next boot"
run "$bin/pelmor-sign" lock
run "$bin/pelmor-sign" status
run "$bin/pelmor-sign" enforce
head -n 3 "$manifest" >"$demo/small"
"$bin/pelmor-sign" sign -k "$keys/sign.key" "$demo/small" >/dev/null
run "$bin/pelmor-sign" load --key "$keys/manifest.pub" --serial-file "$demo/serial" "$demo/small"

run "$bin/veriexec-emulator" shutdown
echo "== Shown: a manifest of this host made, signed, checked and loaded, a forged one refused," \
    "a changed program caught, enforce, an upgrade loaded without a reboot, and lock"
