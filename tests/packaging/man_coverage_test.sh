#!/bin/sh
# shellcheck disable=SC2046,SC2086 # lists of commands and options split into words
# Checks that the manual pages document every command and option that the built programs
# accept, as their own help and usage texts list them, so that a new command or option
# cannot ship undocumented.
#   man_coverage_test.sh SOURCE_DIR PELMOR_SIGN VERIEXEC_EMULATOR
set -u
source_dir=$1 sign=$2 emulator=$3
failed=0

# expect PAGE MARKUP WHAT WORD...: each WORD, less a leading dash, follows MARKUP (an extended
# regular expression) on a line of man/PAGE. No WORD at all means the help went unread.
expect() {
    page=$1 markup=$2 what=$3
    shift 3
    [ $# -gt 0 ] || { echo "no ${what}s found for man/$page"; failed=1; }
    for word; do
        grep -Eq "$markup ${word#-}( |\$)" "$source_dir/man/$page" ||
            { echo "man/$page does not document $what $word"; failed=1; }
    done
}

# The options in the first column of a help text.
options() {
    printf '%s\n' "$1" | sed -n 's/^  \(-[^ ]*\).*/\1/p' | tr ',' ' '
}

# The words under "Subcommands:" in a help text.
subcommands() {
    printf '%s\n' "$1" | sed -n '/^Subcommands:/,/^$/s/^  \([a-z]*\) .*/\1/p'
}

help=$("$sign" -h)
commands=$(subcommands "$help")
# Commands without options answer -h with a parse error and their help on stderr.
command_options=$(for command in $commands; do options "$("$sign" "$command" -h 2>&1)"; done)
usage=$("$emulator" 2>&1)
expect pelmor-sign.8 '^\.It Cm' command $commands
# A command with subcommands of its own, such as keys, documents each as ".It Cm keys add".
for command in $commands; do
    inner=$(subcommands "$("$sign" "$command" -h 2>&1)")
    [ -n "$inner" ] || continue
    expect pelmor-sign.8 "^\\.It Cm $command" command $inner
    expect pelmor-sign.8 '(^|[ .])Fl' option \
        $(for sub in $inner; do options "$("$sign" "$command" "$sub" -h)"; done)
done
expect pelmor-sign.8 '(^|[ .])Fl' option $(options "$help") $command_options
expect veriexec-emulator.8 '^\.It Cm' command \
    $(printf '%s\n' "$usage" | sed -n 's/.*veriexec-emulator \([a-z][a-z-]*\).*/\1/p')
expect veriexec-emulator.8 '(^|[ .])Fl' option $(printf '%s\n' "$usage" | grep -o -- '--[a-z-]*')
exit $failed
