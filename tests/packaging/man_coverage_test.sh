#!/bin/sh
# Checks that the manual pages document every command and option that the built programs
# accept, as their own help and usage texts list them, so that a new command or option
# cannot ship undocumented.
#   man_coverage_test.sh SOURCE_DIR PELMOR_SIGN VERIEXEC_EMULATOR
set -u
source_dir=$1
sign=$2
emulator=$3
failed=0

# expect PAGE PATTERN WHAT: PATTERN (an extended regular expression) must match a line.
expect() {
    if ! grep -Eq "$2" "$source_dir/man/$1"; then
        echo "man/$1 does not document $3"
        failed=1
    fi
}

# expect_options PAGE HELP_TEXT: every option in the first column of the help text.
expect_options() {
    for option in $(printf '%s\n' "$2" | sed -n 's/^  \(-[^ ]*\).*/\1/p' | tr ',' ' '); do
        expect "$1" "(^|[ .])Fl ${option#-}( |\$)" "option $option"
    done
}

help=$("$sign" -h)
expect_options pelmor-sign.8 "$help"
commands=$(printf '%s\n' "$help" | sed -n '/^Subcommands:/,/^$/s/^  \([a-z]*\) .*/\1/p')
if [ -z "$commands" ]; then
    echo "no commands found in the help of $sign"
    failed=1
fi
for command in $commands; do
    expect pelmor-sign.8 "^\.It Cm $command( |\$)" "command $command"
    # Commands without options answer -h with a parse error and their help on stderr.
    expect_options pelmor-sign.8 "$("$sign" "$command" -h 2>&1)"
done

usage=$("$emulator" 2>&1)
for command in $(printf '%s\n' "$usage" | sed -n 's/.*veriexec-emulator \([a-z-]*\).*/\1/p'); do
    expect veriexec-emulator.8 "^\.It Cm $command( |\$)" "command $command"
done
for option in $(printf '%s\n' "$usage" | grep -o -- '--[a-z-]*'); do
    expect veriexec-emulator.8 "(^|[ .])Fl ${option#-}( |\$)" "option $option"
done
exit $failed
