#!/bin/sh
# Lints every manual page of the source tree with mandoc. Every message fails the test, style
# suggestions included, except the look-ups of cross-referenced pages: those depend on the
# pages this host happens to have installed (rc.conf(5) exists only on FreeBSD).
#   man_lint_test.sh SOURCE_DIR
set -u
man=$1/man

# Without mandoc the lint below would find nothing to complain about.
command -v mandoc >/dev/null ||
    { echo "mandoc is not installed (scripts/setup.sh installs it)"; exit 1; }
messages=$(mandoc -Tlint "$man"/*.8 2>&1 | grep -F "mandoc: $man/" |
    grep -v 'STYLE: referenced manual not found')
[ -z "$messages" ] || { echo "$messages"; exit 1; }
