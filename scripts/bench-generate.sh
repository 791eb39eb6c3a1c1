#!/bin/sh
# Runs `pelmor-sign generate` over trees and configurations built to strain it, inside an image
# of its own (-R), and prints the elapsed time and peak memory of each run, to show that memory
# does not grow with the depth of a tree and how it follows the width of a directory and the
# size of a configuration. Prints figures; checks nothing.
#   scripts/bench-generate.sh            the trees and configurations
#   scripts/bench-generate.sh --million  the cache over a million files, which takes minutes
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh

case ${1:-} in
"" | --million) ;;
*)
    echo "usage: $0 [--million]" >&2
    exit 2
    ;;
esac
bench_start python3
"$bin/veriexec-emulator" boot

# cache_run LABEL ARGUMENT...: one run of pelmor-sign, and its line of the table.
cache_run() {
    label=$1
    shift
    measure "$bin/pelmor-sign" "$@"
    size=-
    if [ -f "$work/cache" ]; then
        size=$(wc -c <"$work/cache")
        # The record count follows the magic line, the format version and the libmagic text.
        records=$(python3 -c 'import struct, sys
data = open(sys.argv[1], "rb").read(4096)
at = 22 + 4 + struct.unpack_from("<I", data, 22)[0]
print(struct.unpack_from("<Q", data, at)[0])' "$work/cache")
    fi
    per_record=-
    if [ "$uncached" -gt 0 ] && [ "$records" != - ]; then
        per_record=$(((rss - uncached) * 1024 / records))
    fi
    printf '%-19s  %7s   %14s   %18s   %13s\n' "$label" "$seconds" "$rss" "$per_record" "$size"
    grep '^Cache:\|^Checked' "$work/out" | sed 's/^/    /'
    if [ -s "$work/err" ]; then
        cut -c 1-150 "$work/err" | sed 's/^/    stderr: /'
    fi
}

# A million files in 1,000 directories, a tenth of them scripts that get signed, the others
# small PNG images (links to a few files: quicker to make than files). Prints, for a run
# without cache, one that writes the cache, a rerun that reuses it and a check that reuses it,
# the figures that show what a cache record costs; all four measured in this one run, as the
# host's load moves from one run to the next.
million() {
    python3 - "$work" <<'EOF'
import os, sys
work = sys.argv[1]
seeds = os.path.join(work, "seeds")
os.mkdir(seeds)
png = b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1\x08\x02\0\0\0"
for index in range(16):
    with open(os.path.join(seeds, "png%d" % index), "wb") as image:
        image.write(png)
    with open(os.path.join(seeds, "script%d" % index), "w") as script:
        script.write("#!/bin/sh\necho %d\n" % index)
tree = os.path.join(work, "million")
os.mkdir(tree)
for directory in range(1000):
    path = os.path.join(tree, "d%03d" % directory)
    os.mkdir(path)
    for i in range(1000):
        seed = "script" if i % 10 == 0 else "png"
        os.link(os.path.join(seeds, "%s%d" % (seed, i % 16)), os.path.join(path, "f%03d" % i))
EOF
    echo "run                  seconds   peak RSS (KiB)   per record (bytes)   cache (bytes)"
    records=-
    uncached=0
    cache_run "without cache" generate -j 2 -R "$work" -d /million -o "$work/manifest"
    uncached=$rss
    cache_run "writing the cache" generate -j 2 -R "$work" -d /million -o "$work/manifest" \
        --cache "$work/cache"
    cache_run "cached rerun" generate -j 2 -R "$work" -d /million -o "$work/manifest" \
        --cache "$work/cache"
    cache_run "check --cache" check -j 2 --coverage -R "$work" -d /million --cache "$work/cache" \
        "$work/manifest"
    echo "($records cache records; per record: peak RSS beyond the run without cache)"
}
if [ "${1:-}" = --million ]; then
    million
    exit 0
fi

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
