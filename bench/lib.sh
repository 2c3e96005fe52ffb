# Sourced by bench/run.sh and every script in bench/measure/: the shared
# paths, the samples store and the formatting of figures.
#
# Every figure is a file $SAMPLES/<name>.<metric> with one value a line
# (microseconds for times, bytes for sizes); the report takes medians.
#
# Expects from run.sh (exported): BUILD_DIR, WORK, PROGRAMS, SAMPLES,
# RUN_TMP, REPEAT, and the Wine session's variables; ON_CORES ("taskset -c
# 0" while the session is pinned to one core, see pin_session) is put
# before every program a measurement starts.

BENCH=${BENCH:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)}
PACKER=$BUILD_DIR/bin/onefile-pack

log() { echo "bench: $*" >&2; }
wpath() { printf 'Z:%s' "${1//\//\\}"; }              # a Unix path as Wine sees it
wrun() { $ON_CORES wine "$@" | tr -d '\r'; }         # a Windows program's output, Unix line ends
now_ns() { date +%s%N; }
value() { grep -o "\(^\| \)$1=[^ ]*" | head -n 1 | sed 's/.*=//'; }   # key=value from stdin
seconds_to_us() { awk '{ printf "%.0f", $1 * 1e6 }'; }
add() { echo "$3" >> "$SAMPLES/$1.$2"; }              # name metric value
median() { # name metric: the median of the samples, or nothing
    [ -s "$SAMPLES/$1.$2" ] || return 0
    sort -g "$SAMPLES/$1.$2" | awk '{v[NR] = $1} END {
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# Formatting: microseconds as seconds or milliseconds, bytes as MiB.
s() { [ -n "${1:-}" ] && awk -v v="$1" 'BEGIN { printf (v >= 10e6 ? "%.1f" : v >= 1e6 ? "%.2f" : "%.3f"), v / 1e6 }' || echo "n/a"; }
ms() { [ -n "${1:-}" ] && awk -v v="$1" 'BEGIN { printf (v >= 100e3 ? "%.0f" : "%.1f"), v / 1e3 }' || echo "n/a"; }
mib() { [ -n "${1:-}" ] && awk -v v="$1" 'BEGIN { printf "%.1f", v / 1048576 }' || echo "n/a"; }
ratio() { [ -n "${1:-}" ] && [ -n "${2:-}" ] && awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }' || echo "n/a"; }
sum() { [ -n "${1:-}" ] && [ -n "${2:-}" ] && awk -v a="$1" -v b="$2" 'BEGIN { print a + b }' || true; }
# A ratio against its limit: "1.05 ✓" when at most the limit, "1.22 ✗" above.
against() { # value reference limit
    local r
    r=$(ratio "${1:-}" "${2:-}")
    [ "$r" = n/a ] && { echo "n/a"; return; }
    awk -v r="$r" -v l="$3" 'BEGIN { printf "%s %s", r, (r <= l ? "✓" : "✗") }'
}
# One start by bench_launch.exe (its arguments): its line of figures. Wine
# now and then fails to create a process (CreateProcessW error 1359, once
# in a whole run): such a start is made once more.
launch() {
    wrun "$PROGRAMS/bench_launch.exe" "$@" | grep '^start=' && return 0
    log "bench_launch could not start its program; once more"
    wrun "$PROGRAMS/bench_launch.exe" "$@" | grep '^start='
}
# The Wine processes of this session's prefix (its wineserver, Wine's
# services and desktop): every one was started by this benchmark.
session_processes() {
    local environ pid
    for environ in $(grep -lzx "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null); do
        pid=$(echo "$environ" | cut -d/ -f3)
        [[ $(readlink "/proc/$pid/exe" 2>/dev/null) == */wine* ]] && echo "$pid"
    done
    return 0
}
# Pins the session to the first core ("one"), or lets it use every core
# ("every"): the running Wine processes, all their threads, and through
# ON_CORES what the measurements start (a Windows program started under
# taskset sees that mask as its process affinity). Sets ON_CORES.
pin_session() { # one|every
    local cores=0 pid
    [ "$1" = every ] && cores=0-$(($(nproc) - 1))
    for pid in $(session_processes); do
        taskset -a -p -c "$cores" "$pid" >/dev/null 2>&1 || true
    done
    ON_CORES=""
    [ "$1" = one ] && ON_CORES="taskset -c 0"
    export ON_CORES
}
ON_CORES=${ON_CORES:-}
# The tree below a temporary folder must be gone after a run.
check_empty() {
    if [ -n "$(ls -A "$1")" ]; then
        log "left behind in $1: $(ls -A "$1" | head -n 3 | tr '\n' ' ')"
        rm -rf "${1:?}"/*
        return 1
    fi
}
