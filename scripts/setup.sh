# Shared by the project's scripts: installs what the build needs when it is missing, and
# builds. Sourced, not run.

# Debian package names, and their FreeBSD pkg equivalents (libmagic and mandoc are in FreeBSD's
# base).
DEBIAN_PACKAGES="cmake make g++ pkg-config git file libcli11-dev libfmt-dev nlohmann-json3-dev
libmagic-dev libssl-dev openssl libgtest-dev mandoc lua5.4"
FREEBSD_PACKAGES="cmake pkgconf git cli11 libfmt nlohmann-json googletest lua54"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "$0: need root to run: $*" >&2
        return 1
    fi
}

# install_missing [EXTRA_DEBIAN_PACKAGE...]
install_missing() {
    case "$(uname -s)" in
    FreeBSD)
        missing=""
        for p in $FREEBSD_PACKAGES; do
            pkg info -e "$p" || missing="$missing $p"
        done
        if [ -n "$missing" ]; then
            echo "Installing:$missing"
            as_root pkg install -y $missing
        fi
        ;;
    *)
        missing=""
        for p in $DEBIAN_PACKAGES "$@"; do
            dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
                missing="$missing $p"
        done
        if [ -n "$missing" ]; then
            echo "Installing:$missing"
            as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
            as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
        fi
        ;;
    esac
}

processors() {
    getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2
}

# build BUILD_DIR [CMAKE_OPTION...]
build() {
    dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" &&
        cmake --build "$dir" -j "$(processors)"
}

# piped FILTER COMMAND...: runs COMMAND with its standard output through the shell command
# FILTER, and returns COMMAND's status, which sh loses in a pipe.
piped() {
    piped_filter=$1
    shift
    { piped_status=$({ { "$@" 3>&- 4>&- || echo $? >&3; } | eval "$piped_filter" >&4; } 3>&1) ||
        :; } 4>&1
    return "${piped_status:-0}"
}

# bench_start [EXTRA_DEBIAN_PACKAGE...]: for the benchmark scripts. Builds in build/ and makes a
# work directory with a private emulated facility, both removed at exit; sets bin and work.
bench_start() {
    install_missing time "$@"
    build build >/dev/null
    bin=$PWD/build
    work=$(mktemp -d /tmp/pelmor-bench.XXXXXX)
    PELMOR_VERIEXEC_EMULATOR=$work/facility
    export PELMOR_VERIEXEC_EMULATOR
    trap '"$bin/veriexec-emulator" shutdown; rm -rf "$work"' EXIT
}

# bench_rounds LEAST DEFAULT [ROUNDS]: sets rounds to ROUNDS, or DEFAULT, or stops the benchmark
# with its usage when that is not a number of at least LEAST.
bench_rounds() {
    rounds=${3:-$2}
    case $rounds in
    '' | *[!0-9]*) rounds=0 ;;
    esac
    if [ "$rounds" -lt "$1" ]; then
        echo "usage: $0 [ROUNDS]   ($1 or more)" >&2
        exit 2
    fi
}

# median LABEL FIELD: the median of field FIELD of the lines "LABEL FIGURE..." in $work/times.
median() {
    sed -n "s/^$1 //p" "$work/times" | cut -d ' ' -f "$2" | sort -n |
        awk '{ value[NR] = $1 } END { print value[int((NR + 1) / 2)] }'
}

# measure COMMAND...: runs COMMAND with its output in $work/out and its errors in $work/err,
# whatever its exit status, and sets seconds and rss (its peak resident size in KiB).
measure() {
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/out" 2>"$work/err" || true
    # time puts a line of its own before the figures when the status is not 0.
    read -r seconds rss <<END
$(tail -n 1 "$work/time")
END
}
