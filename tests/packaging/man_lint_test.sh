#!/bin/sh
# Lints every manual page of the source tree with mandoc. Every message fails the test, style
# suggestions included, except the look-ups of cross-referenced pages: those depend on the
# pages this host happens to have installed (rc.conf(5) exists only on FreeBSD).
#   man_lint_test.sh SOURCE_DIR
set -u
source_dir=$1

if ! command -v mandoc >/dev/null 2>&1; then
    echo "mandoc is not installed (scripts/setup.sh installs it)"
    exit 1
fi

failed=0
for page in "$source_dir"/man/*.8; do
    messages=$(mandoc -Tlint "$page" 2>&1 | grep -F "mandoc: $page:" |
        grep -v 'STYLE: referenced manual not found')
    if [ -n "$messages" ]; then
        echo "$messages"
        failed=1
    fi
done
exit $failed
