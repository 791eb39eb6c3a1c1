#!/bin/sh
# Runs the pkg trigger's Lua script, as the build installs it with the prefix /opt/local, in lua5.4
# against a stand-in of pkg's Lua table: every command the trigger runs is printed and fails
# when it holds a word of FAILING; every message it shows is printed.
#   trigger_test.sh SOURCE_DIR
set -u
work=$(mktemp -d /tmp/pelmor-trigger.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
sed -e '1,/^	script: <<EOS$/d' -e '/^EOS$/,$d' -e 's|%%PREFIX%%|/opt/local|g' \
    "$1/packaging/freebsd/pelmor-sign.ucl" >"$work/trigger.lua"
cat >"$work/pkg.lua" <<'END'
return {
    exec = function(argv)
        local command = table.concat(argv, " ")
        print("exec: " .. command)
        for word in (os.getenv("FAILING") or ""):gmatch("%S+") do
            if command:find(word, 1, true) then return nil end
        end
        return 4242
    end,
    print_msg = function(message) print("message: " .. message) end,
}
END

enabled="exec: /bin/sh -c service -e | grep -q '/pelmor_sign\$'"
enforcing="exec: /bin/sh -c sysctl -n security.mac.veriexec.state | grep -qw enforce"
refresh="exec: /bin/sh -c service pelmor_sign refresh"
# run CASE FAILING EXPECTED PATH...: the trigger after a transaction that installed PATHs.
run() {
    actual=$(cd "$work" && FAILING=$2 LUA_PATH='./?.lua' lua5.4 -l pkg trigger.lua "$@" 2>&1)
    [ "$actual" = "$3" ] ||
        { printf '%s\n--- expected\n%s\n--- actual\n%s\n' "$1" "$3" "$actual"; failed=1; }
}
run "not enabled" "service -e" "$enabled" /opt/local/bin/tool
run "refreshed" "" "$enabled
$refresh" /opt/local/bin/tool /opt/local/sbin/pelmor-sign-old
run "refresh fails" "refresh" "$enabled
$refresh
message: pelmor-sign: 'service pelmor_sign refresh' failed after this transaction, and the \
manifest in place was kept: run it again to see why" /opt/local/bin/tool
run "program replaced, not enforcing" "sysctl" "$enabled
$enforcing
$refresh" /opt/local/sbin/pelmor-sign
run "program replaced under enforce" "" "$enabled
$enforcing
message: pelmor-sign: /opt/local/sbin/pelmor-sign was replaced while veriexec enforces, and the \
new program cannot run until it has an entry: reboot with pelmor_sign_state=\"active\" in \
/etc/rc.conf, then run 'service pelmor_sign refresh' and enforce again" /opt/local/bin/tool \
    /opt/local/sbin/pelmor-sign
exit $failed
