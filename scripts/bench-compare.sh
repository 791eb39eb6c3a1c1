#!/bin/sh
# Where generate stands against the floor and against the shell pipeline that a user would
# run instead (find, file and sha512sum through xargs -P, below), what check costs beside it,
# what the status line costs (generate and check with --progress against the same runs without
# it), and what --cache saves, all measured in one run.
#   scripts/bench-compare.sh [ROUNDS]    at least 3 rounds (default 3)
# With PELMOR_BENCH_BASELINE=BINARY, another build of pelmor-sign runs the same generate runs in
# turn with this one, for figures before and after a change from one run.
# The corpus is a copy of the host's /usr/bin, /usr/sbin, /usr/libexec and the biggest folders
# of /usr/lib, made once in build/bench-corpus (or $PELMOR_BENCH_CORPUS) and reused. Prints
# medians, ratios and peak memory; checks only that the manifests are the same for any number
# of workers and hold exactly the files that the pipeline hashes.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh

bench_rounds 3 3 "${1:-}"
bench_start python3
"$bin/veriexec-emulator" boot

corpus=${PELMOR_BENCH_CORPUS:-$PWD/build/bench-corpus}
if [ ! -d "$corpus/usr" ]; then
    echo "Laying out the corpus in $corpus"
    mkdir -p "$corpus/usr/lib"
    cp -a /usr/bin /usr/sbin /usr/libexec "$corpus/usr/"
    for folder in /usr/lib/x86_64-linux-gnu /usr/lib/python3* /usr/lib/git-core; do
        if [ -d "$folder" ]; then
            cp -a "$folder" "$corpus/usr/lib/"
        fi
    done
fi
# What generate walks there: the built-in directories that the corpus has.
dirs=""
for dir in bin sbin lib libexec usr/bin usr/sbin usr/lib usr/libexec; do
    if [ -d "$corpus/$dir" ] && [ ! -L "$corpus/$dir" ]; then
        dirs="$dirs $corpus/$dir"
    fi
done
# shellcheck disable=SC2086 # the directories
find $dirs -type f >"$work/walked"
echo "Corpus: $(wc -l <"$work/walked") regular files under$(echo "$dirs" | sed "s|$corpus||g")"

# The pipeline of the notes: classify, keep the built-in types, hash what is kept.
cat >"$work/worker.sh" <<'SH'
file -N -0 -e elf -e encoding -- "$@" \
 | sed -nE 's/\x00: .*(ELF|POSIX|setuid ELF|setgid ELF|Perl script|Python script).*$//p' \
 | tr '\n' '\0' | xargs -0 -r sha512sum
SH

# The floor: libmagic's CPU time over every regular file walked, with generate's flags, plus
# OpenSSL's SHA-512 CPU time over the files it selects, read in 128 KiB blocks.
cat >"$work/floor.py" <<'PY'
import ctypes, hashlib, os, sys, time
magic = ctypes.CDLL("libmagic.so.1")
magic.magic_open.restype = ctypes.c_void_p
magic.magic_open.argtypes = [ctypes.c_int]
magic.magic_load.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
magic.magic_file.restype = ctypes.c_char_p
magic.magic_file.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
cookie = magic.magic_open(0x010000 | 0x200000)  # MAGIC_NO_CHECK_ELF | MAGIC_NO_CHECK_ENCODING
magic.magic_load(cookie, None)
walked = [line.rstrip("\n").encode() for line in open(sys.argv[1])]
selected = [line.rstrip("\n").encode() for line in open(sys.argv[2])]
start = time.process_time()
for path in walked:
    magic.magic_file(cookie, path)
classified = time.process_time()
buffer = bytearray(128 * 1024)
view = memoryview(buffer)
for path in selected:
    digest = hashlib.sha512()
    fd = os.open(path, os.O_RDONLY)
    while True:
        count = os.readv(fd, [buffer])
        if count == 0:
            break
        digest.update(view[:count])
    os.close(fd)
    digest.hexdigest()
hashed = time.process_time()
print("%.3f %.3f" % (classified - start, hashed - classified))
PY

baseline=${PELMOR_BENCH_BASELINE:-}
# generate WORKERS [BINARY [NAME]]
generate() {
    measure "${2:-$bin/pelmor-sign}" generate -R "$corpus" -o "$work/${3:-manifest}-$1" -j "$1"
    if [ -s "$work/err" ]; then
        sed 's/^/    generate: /' "$work/err"
    fi
}

# A first run fills the page cache and tells which files the floor hashes.
generate 1
sed "s| sha512=.*||; s|^|$corpus|" "$work/manifest-1" >"$work/selected"

: >"$work/times"
for round in $(seq "$rounds"); do
    python3 "$work/floor.py" "$work/walked" "$work/selected" >"$work/floor"
    read -r classify hash <"$work/floor"
    echo "floor1 $(awk "BEGIN { print $classify + $hash }")" >>"$work/times"
    echo "classify $classify" >>"$work/times"
    echo "hash $hash" >>"$work/times"
    # shellcheck disable=SC2086 # the directories
    measure sh -c "cd '$work' && find $dirs -type f -print0 | xargs -0 -P2 -n 500 sh ./worker.sh"
    mv "$work/out" "$work/pipeline-out"
    echo "pipeline $seconds" >>"$work/times"
    for workers in 1 2 4; do
        generate "$workers"
        echo "j$workers $seconds" >>"$work/times"
        echo "rss$workers $rss" >>"$work/times"
        if [ -n "$baseline" ]; then
            generate "$workers" "$baseline" baseline
            echo "base$workers $seconds" >>"$work/times"
            echo "baserss$workers $rss" >>"$work/times"
        fi
    done
    measure "$bin/pelmor-sign" generate -R "$corpus" -o "$work/manifest-line" -j 2 --progress
    echo "j2line $seconds" >>"$work/times"
    measure "$bin/pelmor-sign" check -R "$corpus" -j 2 "$work/manifest-2"
    echo "check $seconds" >>"$work/times"
    measure "$bin/pelmor-sign" check -R "$corpus" -j 2 --progress "$work/manifest-2"
    echo "checkline $seconds" >>"$work/times"
    echo "round $round done" >&2
done

ratio() {
    awk "BEGIN { printf \"%.2f\", $1 / $2 }"
}
# memory PREFIX: the median peak RSS of -j 1, 2 and 4 whose labels start with PREFIX, and what
# each worker added to it.
memory() {
    awk -v m1="$(median "${1}1" 1)" -v m2="$(median "${1}2" 1)" -v m4="$(median "${1}4" 1)" 'BEGIN {
        printf "-j 1 %.1f MB, -j 2 %.1f MB, -j 4 %.1f MB;\n", m1 / 1024, m2 / 1024, m4 / 1024
        printf "  peak memory per added worker: %.1f MB from 1 to 2, %.1f MB on average from 1 to 4\n",
            (m2 - m1) / 1024, (m4 - m1) / 3 / 1024 }'
}
floor1=$(median floor1 1)
floor2=$(awk "BEGIN { print $floor1 / 2 }")
j1=$(median j1 1) j2=$(median j2 1) j4=$(median j4 1) pipeline=$(median pipeline 1)

echo
echo "Medians of $rounds rounds, seconds:"
echo "  floor, one core     $floor1 (libmagic $(median classify 1) + SHA-512 $(median hash 1))"
echo "  floor, two cores    $floor2"
echo "  shell pipeline -P 2 $pipeline"
echo "  generate -j 1       $j1"
echo "  generate -j 2       $j2"
echo "  generate -j 4       $j4"
echo "  check -j 2          $(median check 1) ($(ratio "$(median check 1)" "$j2") of generate -j 2)"
echo "Ratios:"
echo "  -j2/floor2    $(ratio "$j2" "$floor2")"
echo "  -j1/floor1    $(ratio "$j1" "$floor1")"
echo "  -j2/pipeline  $(ratio "$j2" "$pipeline")"
echo "With the status line forced on (--progress, drawn into a file), against the same runs without it:"
echo "  generate -j 2 --progress $(median j2line 1) ($(ratio "$(median j2line 1)" "$j2") of -j 2 without it)"
echo "  check -j 2 --progress    $(median checkline 1) ($(ratio "$(median checkline 1)" "$(median check 1)") of check -j 2 without it)"
echo "Peak RSS (median): $(memory rss)"
if [ -n "$baseline" ]; then
    echo "The baseline, $baseline, in the same rounds (medians, and this build's time as a share of it):"
    for workers in 1 2 4; do
        echo "  generate -j $workers       $(median "base$workers" 1)" \
            "($(ratio "$(median "j$workers" 1)" "$(median "base$workers" 1)"))"
    done
    echo "  peak RSS: $(memory baserss)"
    same="yes"
    for workers in 1 2 4; do
        cmp -s "$work/manifest-1" "$work/baseline-$workers" || same="NO"
    done
    echo "  its manifests of -j 1, 2, 4 byte-identical to this build's: $same"
fi

# The same bytes for any number of workers, holding exactly what the pipeline hashes.
cmp -s "$work/manifest-1" "$work/manifest-2" && cmp -s "$work/manifest-1" "$work/manifest-4" &&
    cmp -s "$work/manifest-1" "$work/manifest-line" && same="yes" || same="NO"
sed 's|^\(.*\) sha512=\(.*\)$|\2  \1|' "$work/manifest-1" | sort >"$work/ours"
sed "s|  $corpus|  |" "$work/pipeline-out" | sort >"$work/theirs"
cmp -s "$work/ours" "$work/theirs" && agree="yes" || agree="NO"
echo "Manifests of -j 1, 2, 4 and -j 2 --progress byte-identical: $same ($(wc -l <"$work/manifest-1") lines)"
echo "Manifest holds exactly the pipeline's files and digests: $agree"
echo

# With --cache: a run over the unchanged corpus, and one after 1% of its files changed (content
# rewritten, same size, times set back as touch -r does, which still moves the change time).
# Files with several links are left alone: changing one would change all its names. Each round
# changes another 1%; the end changes them back.
cat >"$work/change.py" <<'PY'
import os, sys
walked = [line.rstrip("\n") for line in open(sys.argv[1])]
single = [path for path in walked if os.stat(path).st_nlink == 1]
for path in single[int(sys.argv[2])::100]:
    status = os.stat(path)
    if status.st_size == 0:
        continue
    with open(path, "r+b") as file:
        file.seek(status.st_size - 1)
        last = file.read(1)
        file.seek(status.st_size - 1)
        file.write(bytes([last[0] ^ 1]))
    os.utime(path, ns=(status.st_atime_ns, status.st_mtime_ns))
PY
cached() {
    measure "$bin/pelmor-sign" generate -R "$corpus" -o "$work/cached" -j 2 --cache "$work/cache"
    grep '^Cache:' "$work/out" >"$work/cache-line-$1"
    echo "$1 $seconds" >>"$work/times"
}
cached prime
cache_same="yes"
for round in $(seq "$rounds"); do
    cached unchanged
    cmp -s "$work/cached" "$work/manifest-2" || cache_same="NO"
    python3 "$work/change.py" "$work/walked" "$round"
    cached changed
    generate 2
    cmp -s "$work/cached" "$work/manifest-2" || cache_same="NO"
    echo "cache round $round done" >&2
done
for round in $(seq "$rounds"); do
    python3 "$work/change.py" "$work/walked" "$round"
done
echo "With --cache (median of $rounds rounds, against the full -j 2 run):"
echo "  unchanged corpus   $(median unchanged 1) s, $(ratio "$(median unchanged 1)" "$j2") of it;" \
    "$(cat "$work/cache-line-unchanged")"
echo "  1% of files changed $(median changed 1) s, $(ratio "$(median changed 1)" "$j2") of it;" \
    "$(cat "$work/cache-line-changed")"
echo "  manifests byte-identical to full runs: $cache_same"

