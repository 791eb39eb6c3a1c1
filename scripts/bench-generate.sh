#!/bin/sh
# Runs `pelmor-sign generate` over trees and configurations built to strain it, inside an image
# of its own (-R), and prints the elapsed time and peak memory of each run, to show that memory
# does not grow with the depth of a tree and how it follows the width of a directory and the
# size of a configuration. Prints figures; checks nothing.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh

bench_start python3
"$bin/veriexec-emulator" boot

# Trees: directories 500, 1,000 and 2,000 levels deep; a directory of 100,000 empty files and
# one of 100,000 scripts, all of them signed (links to two files each: quicker to make than
# files, and ext4 allows 65,000 links to one file).
python3 - "$work" <<'EOF'
import os, sys
work = sys.argv[1]
for depth in (500, 1000, 2000):
    path = os.path.join(work, "deep%d" % depth)
    os.mkdir(path)
    fd = os.open(path, os.O_RDONLY)
    for _ in range(depth):
        os.mkdir("d", dir_fd=fd)
        inner = os.open("d", os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = inner
    os.close(fd)
for name in ("empty", "scripts"):
    os.mkdir(os.path.join(work, name))
for index in (0, 1):
    open(os.path.join(work, "empty%d" % index), "w").close()
    with open(os.path.join(work, "script%d" % index), "w") as script:
        script.write("#!/bin/sh\necho %d\n" % index)
for i in range(100000):
    os.link(os.path.join(work, "empty%d" % (i % 2)), os.path.join(work, "empty", "%06d" % i))
    os.link(os.path.join(work, "script%d" % (i % 2)), os.path.join(work, "scripts", "%06d" % i))
with open(os.path.join(work, "large.json"), "w") as config:
    config.write('{"comment": "%s", "types": ["ELF"]}' % ("x" * 100000000))
with open(os.path.join(work, "nested.json"), "w") as config:
    config.write('{"dirs": %s%s}' % ("[" * 100000, "]" * 100000))
EOF

# A soft limit of 1024 open files, as on many hosts: fewer than the deepest tree has levels.
ulimit -S -n 1024
echo "run                           seconds   peak RSS (KiB)   entries  signed"
run() {
    label=$1
    shift
    measure "$bin/pelmor-sign" generate -R "$work" -o "$work/manifest" "$@"
    counts=$(grep "OK: /" "$work/out" | sed 's/.*\] \[ *\([0-9]*\)\] \[ *\([0-9]*\)\].*/\1 \2/')
    printf '%-28s  %7s   %14s   %s\n' "$label" "$seconds" "$rss" "${counts:--}"
    if [ -s "$work/err" ]; then
        cut -c 1-150 "$work/err" | sed 's/^/    stderr: /'
    fi
}
run "nothing to walk" -d /nothing
run "500 levels deep" -d /deep500
run "1,000 levels deep" -d /deep1000
run "2,000 levels deep" -d /deep2000
run "100,000 empty files" -d /empty
run "100,000 signed scripts" -d /scripts
run "configuration of 100 MB" -c "$work/large.json"
run "configuration 100,000 deep" -c "$work/nested.json"
