#!/bin/sh
# Runs the periodic(8) security script as the build installs it, reading stand-ins of FreeBSD's
# periodic.conf and security.functions, with a stand-in pelmor-sign that notes its arguments,
# prints a canned report and exits with a canned status (its keys commands are the built
# program's): in each case, what the mail would show and the status that periodic judges it by.
#   security_test.sh SOURCE_DIR PELMOR_SIGN
set -u
here=$1/tests/periodic sign=$2
work=$(mktemp -d /tmp/pelmor-periodic.XXXXXX)
trap 'rm -rf "$work"' EXIT
export PERIODIC_CONF="$work/periodic.conf" PERIODIC_LOGDIR="$work" host=pelmor.test
failed=0
sed -e "s|/etc/defaults/periodic.conf|$here/periodic.conf|" \
    -e "s|%%PELMOR_TRUSTED_KEY%%|$work/etc/pelmor-sign/manifest.pub|g" -e "s|%%PREFIX%%|$work|g" \
    -e "s|%%PELMOR_KEYS_FILE%%|$work/etc/pelmor-sign/keys|g" \
    -e "s|/etc/periodic/security/security.functions|$here/security.functions|" \
    "$1/periodic/security/450.pelmor-sign" >"$work/script"
! grep -n '%%' "$work/script" || exit 1
mkdir -p "$work/sbin" "$work/etc/pelmor-sign"
printf '#!/bin/sh\n[ "$1" != keys ] || exec %s "$@"
echo "$*" >%s/args; cat %s/out; cat %s/err >&2; exit $(cat %s/status)\n' \
    "$sign" "$work" "$work" "$work" "$work" >"$work/sbin/pelmor-sign" && chmod 755 "$work/sbin/pelmor-sign"
manifest=$work/etc/pelmor-sign.manifest
checking="
Checking the veriexec manifest $manifest:"
diffs="$checking

pelmor.test pelmor-sign check diffs:"
problems="changed: /bin/sh
missing: /bin/ls"
key="--cache $work/cache --key $work/etc/pelmor-sign/manifest.pub --keys $work/etc/pelmor-sign/keys"

# run CASE CONF STATUS REPORT EXPECTED [ERRORS]: the script, with the periodic.conf line CONF,
# after a check that printed REPORT (and ERRORS on stderr) and exited with STATUS; EXPECTED is
# what it printed, its status and the check's arguments. The diff's file lines, which name
# times, are left out.
run() {
    printf '%s\n' "security_status_pelmorsign_cache=$work/cache" "$2" >"$PERIODIC_CONF"
    printf '%s\n' "$4" >"$work/out" && echo "$3" >"$work/status" && rm -f "$work/args"
    printf "${6:+%s\n}" "${6:-}" >"$work/err"
    actual=$(sh "$work/script" 2>&1; echo "status $?"; cat "$work/args" 2>/dev/null)
    actual=$(printf '%s\n' "$actual" | grep -v -e '^--- ' -e '^+++ ' -e '^@@ ')
    [ "$actual" = "$5" ] ||
        { printf '%s\n--- expected\n%s\n--- actual\n%s\n' "$1" "$5" "$actual"; failed=1; }
}

run "no manifest" "" 0 "" "status 0"
touch "$manifest"
run "disabled" "security_status_pelmorsign_enable=NO" 0 "" "status 0"
run "clean, first run" "" 0 "Verified $manifest: serial 1, key 0123456789abcdef
Checked 9 entries: 9 unchanged" "$checking

No $work/pelmor-sign.today
status 1
check --coverage $manifest"
touch "$work/cache" "$work/etc/pelmor-sign/manifest.pub"
run "problems" "security_status_pelmorsign_flags='-j 2'" 1 "$problems" "$diffs
+changed: /bin/sh
+missing: /bin/ls
status 1
check --coverage $key -j 2 $manifest"
run "changed since the last run" "" 1 "missing: /bin/ls
unreadable: /bin/cat: Permission denied" "$diffs
-changed: /bin/sh
 missing: /bin/ls
+unreadable: /bin/cat: Permission denied
status 1
check --coverage $key $manifest"
run "a bad line, the list unchanged" "" 1 "missing: /bin/ls
unreadable: /bin/cat: Permission denied" "$checking
pelmor-sign: line 3: bad fingerprint
status 1
check --coverage $key $manifest" "pelmor-sign: line 3: bad fingerprint"
run "trouble" "" 2 "" "$checking
Error: cannot check $manifest: pelmor-sign check exited with status 2
status 2
check --coverage $key $manifest"
# Without a last run's list, as on the first run, the whole list is shown; the day after, only
# what changed.
rm "$work/pelmor-sign.today"
run "problems, first run" "" 1 "$problems" "$checking

No $work/pelmor-sign.today

pelmor.test pelmor-sign check problems:
$problems
status 1
check --coverage $key $manifest"
run "the same problems, the day after" "" 1 "$problems" "$checking
status 0
check --coverage $key $manifest"

# A keys file is said every day from 30 days before it expires, and once it has; none (as
# above) adds nothing. The check verifies with the root key (the last word of $key names the
# default one).
root=$work/etc/pelmor-sign/manifest.pub
openssl genpkey -algorithm ed25519 -out "$work/root.key" 2>/dev/null && chmod 400 "$work/root.key"
openssl pkey -in "$work/root.key" -pubout -out "$root"
# keys_file NAME EXPIRES: the keys file $work/NAME, which expires at EXPIRES, signed with the
# root key by hand, over its context, since keys sign refuses a past date.
keys_file() {
    printf 'pelmor-sign keys 1\nserial 2\nexpires %s\n' "$2" >"$work/$1"
    { printf 'pelmor-sign keys file signature 1\n' && cat "$work/$1"; } >"$work/signed"
    openssl pkeyutl -sign -rawin -inkey "$work/root.key" -in "$work/signed" -out "$work/$1.sig"
}
keys_file 10 "$(date -u -d '+10 days' +%Y-%m-%dT%H:%M:%SZ)" && keys_file expired 2001-01-01T00:00:00Z
run "keys file within 10 days" "security_status_pelmorsign_keys=$work/10" 1 "$problems" "$checking

pelmor.test pelmor-sign keys file $work/10 expires at $(sed -n 's/^expires //p' "$work/10"), \
within 10 days:
sign the next one where the root key lives and install it with 'pelmor-sign keys install'
status 1
check --coverage ${key% *} $work/10 $manifest"
run "keys file expired" "security_status_pelmorsign_keys=$work/expired" 1 "$problems" "$checking

pelmor.test pelmor-sign keys file $work/expired EXPIRED at 2001-01-01T00:00:00Z:
a newer manifest cannot load until a new keys file is installed: sign it where the root key \
lives and install it with 'pelmor-sign keys install'
status 1
check --coverage ${key% *} $work/expired $manifest"
# One that cannot be read is trouble, said as such.
run "keys file unreadable" "security_status_pelmorsign_keys=$work/etc" 1 "$problems" "$checking
Error: cannot read keys file $work/etc: Is a directory
Error: cannot read when the keys file $work/etc expires
status 2
check --coverage ${key% *} $work/etc $manifest"
exit $failed
