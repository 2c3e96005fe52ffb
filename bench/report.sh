#!/bin/bash
# The benchmark's markdown report, from the samples that bench/measure/
# wrote ($SAMPLES) and the machine's description that run.sh exports:
# the goals' ratios first, then every table, the profiles and the samples.
# "Today's" figures are the baseline's (APP_base), "one core" those of the
# session pinned to one core (APP_one_core, *_one_core).
#
#   bench/report.sh > report.md          (run.sh runs it at the end)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
m() { median "$@"; }
has() { [[ " $ACTIVE " == *" $1 "* ]]; }
base() { [ -n "${BASE_PACKER:-}" ]; }
to_start() { # name: until run_code, or C's first output
    if [[ $1 == C* ]]; then m "$1" to_output; else m "$1" to_run_code; fi
}
# Today's limit of an unpack: the zstd tool decoding today's frame (the
# executable's own without a baseline) plus the Wine writer.
today_limit() { # app [_one_core]
    local decode
    decode=$(m "$1" "zstd_decode_base${2:-}")
    [ -n "$decode" ] || decode=$(m "$1" "zstd_decode${2:-}")
    sum "$decode" "$(m "$1" "wine_write${2:-}")"
}
# The threads a fresh start of app runs on every core: one a core, at most
# one a frame.
threads() { # app
    local frames
    frames=$(m "$1" frames)
    [ -n "$frames" ] || { echo 1; return; }
    echo $((CORES < frames ? CORES : frames))
}
# What a figure may grow by against today's: threads x the largest window.
allowance() { # app threads
    awk -v w="$(m "$1" largest_window)" -v t="$2" 'BEGIN { printf "%.0f", (w == "" ? 0 : w) * t }'
}
# One row of the goals table; unit s (default) or MiB.
fmt() { # value unit
    if [ -z "${1:-}" ]; then echo "n/a"; elif [ "$2" = MiB ]; then echo "$(mib "$1") MiB"; else echo "$(s "$1") s"; fi
}
goal() { # goal figure value against reference limit [unit]
    echo "| $1 | $2 | $(fmt "${3:-}" "${7:-s}") | $4 | $(fmt "${5:-}" "${7:-s}") | $(against "${3:-}" "${5:-}" "$6") | $6 |"
}
# The starts measured of an application, one line each: the samples'
# name, the build (this, today) and the cores (every, one).
measured_starts() { # app
    local name build cores
    for name in "$1" "${1}_base"; do
        [ -s "$SAMPLES/$name.whole" ] || continue
        build=this
        [ "$name" = "$1" ] || build=today
        for cores in every one; do
            if [ $cores = one ]; then echo "${name}_one_core $build $cores"; else echo "$name $build $cores"; fi
        done
    done
}
hello=$(m hello whole)
today="today's"
base && today="today's ($BASE_REVISION)"

echo "## Start-up benchmark ($DATE)"
echo
echo "Machine: $CPU, $CORES cores, $RAM RAM, Linux $KERNEL, $WINE_VERSION, NSIS $NSIS_VERSION, zstd $ZSTD_VERSION."
echo "Unpacking into $TEMP_FS ($TEMP_PARENT). Medians of $REPEAT runs (packing: onefile-pack $PACK_REPEAT, makensis $PEER_PACK_REPEAT);"
echo "onefile-pack at its default level $LEVEL. Applications: A one 256 MiB file (random, text-like and zero blocks),"
echo "B 5,000 files of 64 MiB in nested folders, C the example Lua application with its splash; A and B start with the"
echo "benchmark's application library, which notes when run_code is entered and returns 0."
echo "Bare start: a hello-world GUI executable that returns at once, started and timed the same way in the same run: $(ms "$hello") ms ($(ms "$(m hello shell_whole)") ms from the shell; $(ms "$(m hello_imports whole)") ms linked against the system libraries the bootstrap imports)."
if [ -s "$SAMPLES/wine.request_us" ]; then
    echo "A wineserver request (SetEvent, the cheapest) took $(m wine request_us) µs on every core and $(m wine request_us_one_core) µs with the session on one core: a request from a thread on another core than the server's waits for that core to wake. Every file creation, open, query and removal makes a few; every process start some hundreds (Wine's msvcrt start-up looks the time zone up in the registry, about 340 registry requests)."
fi
if base; then
    echo "Today's: the code of $BASE_REVISION, built in this run with its own scripts/build.sh; its executables were packed from the same folders with the same options and started in turn with this build's. One core: the whole Wine session pinned with taskset -c 0, both builds."
fi
echo

echo "### Goals"
echo
echo "| goal | figure | value | against | value | ratio | at most |"
echo "|---|---|---:|---|---:|---:|---:|"
for app in $ACTIVE; do
    bound=1.1
    [ "$app" = C ] && bound=1.2
    goal start "$app re-launched copy" "$(m "$app" relaunch)" "bare start" "$hello" $bound
done
if has C; then
    [ "$PEER" = yes ] && goal start "C whole run" "$(m C whole)" "NSIS's whole run" "$(m C peer_whole)" 1.00
    goal start "C whole run" "$(m C whole)" "bare start" "$hello" 3
    goal start "C whole run from the shell" "$(m C shell_whole)" "bare start from the shell" "$(m hello shell_whole)" 3
    goal start "C whole run with its splash" "$(m C whole)" "C without a splash" "$(m C_nosplash whole)" 1.25
fi
[ -s "$SAMPLES/hello_launcher.whole" ] &&
    goal start "hello-world packed with --main hello.exe, whole run" "$(m hello_launcher whole)" "the same hello-world" "$hello" 2.2
if [ "$CACHED" = yes ] && ls "$SAMPLES"/*.cached_second >/dev/null 2>&1; then
    for app in $ACTIVE; do
        case $app in A) bound=1.2 ;; B) bound=2.5 ;; *) bound=1.5 ;; esac
        goal cached "$app second start, whole run" "$(m "$app" cached_second)" "bare start" "$hello" $bound
    done
fi
if [ -s "$SAMPLES/zstd_plain.version" ]; then
    for road in main library; do
        what="--main zstd.exe"
        [ "$road" = library ] && what="a run_code library"
        goal cli "zstd -V packed through $what, per run" "$(m "zstd_${road}_run" version)" "zstd.exe -V" "$(m zstd_plain version)" 1.8
        goal cli "zstd -V packed through $what, cached" "$(m "zstd_${road}_cached" version)" "zstd.exe -V" "$(m zstd_plain version)" 1.2
    done
    for road in main library; do
        what="--main zstd.exe"
        [ "$road" = library ] && what="a run_code library"
        for mode in run cached; do
            bound=1.8 named="per run"
            [ "$mode" = cached ] && bound=1.2 named=cached
            goal cli "zstd -V packed through $what, $named, in a console" "$(m "zstd_${road}_$mode" console_version)" "zstd.exe -V in a console" "$(m zstd_plain console_version)" $bound
        done
    done
fi
if has A; then
    goal unpack "A unpack, one core" "$(m A_one_core unpack)" "today's limit on one core (zstd -d + Wine write)" "$(today_limit A _one_core)" 1.10
    goal unpack "A unpack, every core" "$(m A unpack)" "today's limit (zstd -d + Wine write)" "$(today_limit A)" 0.65
    goal unpack "A unpack, every core" "$(m A unpack)" "the limit of two threads" "$(m A two_threads)" 1.15
fi
if has B; then
    goal unpack "B unpack, every core" "$(m B unpack)" "today's limit (zstd -d + Wine write)" "$(today_limit B)" 0.9
    goal clean-up "B clean-up after run_code" "$(m B cleanup)" "plain walk and delete" "$(m B wine_delete_plain)" 1.1
fi
if base; then
    for app in $ACTIVE; do
        for cores in every one; do
            name=$app t=$(threads "$app") on="every core"
            [ $cores = one ] && name=${app}_one_core t=1 on="one core"
            threads_text="$t thread"
            [ "$t" = 1 ] || threads_text="${t} threads"
            today_name=${app}_base${name#"$app"}
            goal memory "$app parent peak working set, $on ($threads_text)" "$(m "$name" peak_ws)" \
                "today's + $t x the largest window" "$(sum "$(m "$today_name" peak_ws)" "$(allowance "$app" "$t")")" 1.00 MiB
            child=child_peak_ws what=child
            [ "$app" = C ] && child=relaunch_peak_ws what="re-launched copy"
            goal memory "$app $what peak working set, $on" "$(m "$name" $child)" \
                "today's + 1 x the largest window" "$(sum "$(m "$today_name" $child)" "$(allowance "$app" 1)")" 1.00 MiB
        done
    done
    for app in $ACTIVE; do
        goal size "$app executable" "$(m "$app" exe_bytes)" "today's" "$(m "${app}_base" exe_bytes)" 1.02 MiB
    done
    for app in $ACTIVE; do
        figures="whole relaunch"
        [ "$app" = C ] || figures="to_run_code unpack whole cleanup relaunch"
        for figure in $figures; do
            case $figure in
            whole) what="whole run" ;; to_run_code) what="to run_code" ;; cleanup) what="clean-up" ;;
            relaunch) what="re-launched copy" ;; *) what=$figure ;;
            esac
            goal "one core" "$app $what" "$(m "${app}_one_core" $figure)" "today's on one core" "$(m "${app}_base_one_core" $figure)" 1.05
        done
    done
fi
if [ -s "$SAMPLES/A.pack_one_thread" ]; then
    echo "| packing | A packing, one thread / every core | $(s "$(m A pack_one_thread)") s | every core | $(s "$(m A pack)") s | $(ratio "$(m A pack_one_thread)" "$(m A pack)") | at least 1.8 |"
fi
echo
echo "Starts are timed from CreateProcessW in a Windows program (bench_launch.exe) to the end of the wait, the bare start too; \"from the shell\" is \`wine EXE\` from the Linux shell, which adds Wine's own start-up on the Unix side to both."
echo "Unpack is from forming the unpack folder's name to creating the child. Today's limit is the zstd tool decoding today's frame (one frame, the executable of $BASE_REVISION) plus a plain Windows program writing the same files under Wine, one after the other on one thread; on one core both pinned with the Wine session. The limit of two threads: the frames of this build's executable dealt alternately to two zstd tools, each followed by a plain Wine writer of the files and pieces of files its frames hold, both pipelines side by side (wall time). The clean-up is from the child's end to the parent's (GetProcessTimes): the removal of the folder; its limit the plain walk and delete of a Windows program under Wine (FindFirstFileW, DeleteFileW, RemoveDirectoryW, one thread) of the same tree just written."
echo "A re-launched copy is timed from CreateProcessW to run_code (C: to its first output). A cached second start is timed whole; its parts are in the cached table below. Peak memory is the peak working set (see the memory table); the largest window is the largest a data frame declares ($(for app in $ACTIVE; do printf '%s %s MiB, ' "$app" "$(mib "$(m "$app" largest_window)")"; done | sed 's/, $//'); today's: $(for app in $ACTIVE; do printf '%s %s MiB, ' "$app" "$(mib "$(m "${app}_base" largest_window)")"; done | sed 's/, $//'))."
echo

echo "### The bootstrap"
echo
echo "| app | build | files | content MiB | data frames | pack s | exe MiB | content / exe | to run_code s | whole run s | whole / bare start | re-launched copy ms | copy / bare start | one core: to run_code s | whole run s | re-launched copy ms |"
echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for app in $ACTIVE; do
    mark=""
    [ "$app" = C ] && mark="¹"
    for name in "$app" "${app}_base"; do
        [ -s "$SAMPLES/$name.whole" ] || continue
        build=this
        [ "$name" = "$app" ] || build=today
        echo "| $app | $build | $(m "$app" files) | $(mib "$(m "$app" content)") | $(m "$name" frames) | $(s "$(m "$name" pack)") | $(mib "$(m "$name" exe_bytes)") | $(ratio "$(m "$app" content)" "$(m "$name" exe_bytes)") | $(s "$(to_start "$name")")$mark | $(s "$(m "$name" whole)") | $(ratio "$(m "$name" whole)" "$hello") | $(ms "$(m "$name" relaunch)")${mark:+²} | $(ratio "$(m "$name" relaunch)" "$hello") | $(s "$(to_start "${name}_one_core")") | $(s "$(m "${name}_one_core" whole)") | $(ms "$(m "${name}_one_core" relaunch)") |"
    done
done
echo
if has C; then
    echo "¹ C's library is not the benchmark's: until its first output, which Lua writes when main.lua ends; from that output to the parent's end (child exit, clean-up): $(ms "$(m C phase_after)") ms."
    echo "² Started from outside with the parent's variables while a fresh start is held alive (its output blocked), until the copy's first output."
    echo
fi

echo "### Peak memory"
echo
echo "Every process of a start: the parent (which unpacks), the child (which calls run_code; for C a re-launched copy stands in for it: it takes the same road, and runs Lua), and a re-launched copy. Every core: $CORES threads at most, one a frame; one core: one thread."
echo
echo "| app | build | cores | parent peak working set MiB | parent private MiB, largest read | child peak working set MiB | re-launched copy peak working set MiB |"
echo "|---|---|---|---:|---:|---:|---:|"
for app in $ACTIVE; do
    while read -r n build cores; do
        child=$(m "$n" child_peak_ws)
        [ "$app" = C ] && child=$(m "$n" relaunch_peak_ws)
        echo "| $app | $build | $cores | $(mib "$(m "$n" peak_ws)") | $(mib "$(m "$n" peak_pf)") | $(mib "$child") | $(mib "$(m "$n" relaunch_peak_ws)") |"
    done < <(measured_starts "$app")
done
echo
echo "Peak working sets are GetProcessMemoryInfo's PeakWorkingSetSize, under Wine the Unix process's VmHWM, a true peak: the parent's and C's copies' read by the launcher while they run (every 2 ms for 20 ms, then every 10 ms) and once after; the child's and A's and B's copies' their own, read when run_code is entered, after everything the bootstrap does in them. They count the touched pages of the mapped executable too. Wine keeps no peak of private memory: its PeakPagefileUsage is the private memory of the moment, here the largest of the parent's readings."
echo

echo "### Unpacking against its limits"
echo
echo "Plain writers: the same files with the same 32768-byte writes, natively (write()) and under Wine (CreateFileW/WriteFile/CloseHandle), parent folders made once."
echo
echo "| app | unpack s | today's unpack s | zstd -d, today's frame s | zstd -d, the frames s | native write s | Wine write s | unpack / today's limit | two threads s | unpack / two threads | reader decode, Wine s | reader + write, Wine s | reader decode, native s | reader + write, native s |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for app in $ACTIVE; do
    echo "| $app | $(s "$(m "$app" unpack)") | $(s "$(m "${app}_base" unpack)") | $(s "$(m "$app" zstd_decode_base)") | $(s "$(m "$app" zstd_decode)") | $(s "$(m "$app" native_write)") | $(s "$(m "$app" wine_write)") | $(ratio "$(m "$app" unpack)" "$(today_limit "$app")") | $(s "$(m "$app" two_threads)") | $(ratio "$(m "$app" unpack)" "$(m "$app" two_threads)") | $(s "$(m "$app" wine_decode)") | $(s "$(m "$app" wine_extract)") | $(s "$(m "$app" native_reader_decode)") | $(s "$(m "$app" native_extract)") |"
done
echo
echo "On one core (the Wine session, the zstd tool and the writers pinned with taskset -c 0):"
echo
echo "| app | unpack s | today's unpack s | zstd -d, today's frame s | zstd -d, the frames s | Wine write s | unpack / today's limit | today's unpack / today's limit | unpack / today's unpack |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
for app in $ACTIVE; do
    limit=$(today_limit "$app" _one_core)
    echo "| $app | $(s "$(m "${app}_one_core" unpack)") | $(s "$(m "${app}_base_one_core" unpack)") | $(s "$(m "$app" zstd_decode_base_one_core)") | $(s "$(m "$app" zstd_decode_one_core)") | $(s "$(m "$app" wine_write_one_core)") | $(ratio "$(m "${app}_one_core" unpack)" "$limit") | $(ratio "$(m "${app}_base_one_core" unpack)" "$limit") | $(ratio "$(m "${app}_one_core" unpack)" "$(m "${app}_base_one_core" unpack)") |"
done
echo
echo "Reader + write, Wine: the bootstrap's stream reader and extraction loop (the road of attached data without a frame index) in one plain Windows program, writing as the plain writer does. Reader decode: that reader (static_src/attached_data/payload_stream.cpp, 131072-byte window, 32768-byte reads) over this build's object in memory, writing nothing: built with MinGW-w64 and run under Wine, and built natively against the same zstd sources without assembly (as the bootstrap's); with Debian's libzstd (assembly) natively: $(for app in $ACTIVE; do printf '%s %s s; ' "$app" "$(s "$(m "$app" native_reader_decode_asm)")"; done | sed 's/; $//'). C has one data frame: no two-thread limit."
echo

echo "### Where a fresh start's time goes (A and B)"
echo
echo "| app | build | cores | launcher to parent created ms | parent start to unpack ms | unpack s | child created to run_code ms | after run_code s | clean-up s | Wine delete, plain walk s | clean-up / plain walk | Wine delete, SHFileOperationW s | native delete s |"
echo "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for app in A B; do
    has "$app" || continue
    while read -r n build cores; do
        plain=$(m "$app" wine_delete_plain)
        [ $cores = one ] && plain=$(m "$app" wine_delete_plain_one_core)
        echo "| $app | $build | $cores | $(ms "$(m "$n" phase_create)") | $(ms "$(m "$n" phase_startup)") | $(s "$(m "$n" unpack)") | $(ms "$(m "$n" phase_child)") | $(s "$(m "$n" phase_after)") | $(s "$(m "$n" cleanup)") | $(s "$plain") | $(ratio "$(m "$n" cleanup)" "$plain") | $(s "$(m "$app" wine_delete_shell)") | $(s "$(m "$app" native_delete)") |"
    done < <(measured_starts "$app")
done
echo
echo "Launcher to parent created: CreateProcessW until Wine registers the new process. Parent start to unpack: until the unpack folder's name is formed (QALVEN_ONEFILE_TIME_US). After run_code: until the parent has ended; the clean-up is its part from the child's end to the parent's. The plain walk on one core: pinned as the start is."
echo

scaling() { # app: the start's time on n cores, from the per-frame costs on one core
    local frames d w u1 rest
    frames=$(m "$1" frames) d=$(m "$1" wine_decode) w=$(m "$1" wine_write_one_core) u1=$(m "${1}_one_core" unpack)
    rest=$(sum "$(m "${1}_one_core" whole)" "-$u1")
    [ -n "$frames" ] && [ -n "$d" ] && [ -n "$w" ] && [ -n "$u1" ] && [ -n "$rest" ] || return 0
    awk -v app="$1" -v f="$frames" -v d="$d" -v w="$w" -v u1="$u1" -v u2="$(m "$1" unpack)" -v rest="$rest" -v cores="$CORES" '
        function ceil(x) { return x == int(x) ? x : int(x) + 1 }
        function unpack(n) { return serial + ceil(f / n) * frame }
        BEGIN {
            frame = (d + w) / f; serial = u1 - f * frame; if (serial < 0) serial = 0
            printf "| %s | %d | %.2f | %.2f | %.0f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f |\n", app, f, d / f / 1e3, w / f / 1e3, serial / 1e3, u1 / 1e6, rest / 1e6, unpack(cores) / 1e6, u2 / 1e6, unpack(8) / 1e6, unpack(16) / 1e6, (rest + unpack(16)) / 1e6, (rest + serial) / 1e6
        }'
}
if has A || has B; then
    echo "### How a start scales with cores, on paper"
    echo
    echo "From the costs measured on one core: per data frame, the bootstrap's decoder under Wine (reader decode, Wine, over the frames) and the Wine writer (its write of the same files, on one core), each divided by the frames; the serial part of the unpack is what the one-core unpack takes beyond them (the index, the folders, the files that span frames; 0 where the frames' costs already exceed it). On n cores the unpack takes the serial part plus ceil(frames / n) frames one after the other; the rest of the start (process starts, the child's start, the clean-up) is kept serial, as measured on one core. The floor is what no number of cores removes: the serial parts."
    echo
    echo "| app | data frames | decode ms / frame | write ms / frame | serial part of the unpack ms | unpack on one core s | rest of the start, one core s | unpack on $CORES cores, model s | measured s | on 8 cores s | on 16 cores s | whole start on 16 cores s | floor s |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for app in A B; do
        has "$app" && scaling "$app"
    done
    echo
    echo "The model assumes that threads share nothing. Under Wine they share the wineserver, one thread that serves every file creation, open, query and removal, and a request from a thread on another core than the server's costs more than one on the same core ($(m wine request_us) µs against $(m wine request_us_one_core) µs here; compare the Wine write on one core and on every core): where the measured unpack on $CORES cores is above the model's, that is the difference, and it grows with the threads as long as the requests do not spread over servers. On Windows a file creation is a system call of the calling thread."
    echo
fi

if [ "$VARIANTS" = yes ]; then
    echo "### Variants, each beside its bare start"
    echo
    echo "| variant | to first output s | whole run s | bare start s | whole / bare start |"
    echo "|---|---:|---:|---:|---:|"
    [ -s "$SAMPLES/C_console.whole" ] &&
        echo "| C packed with --console (no splash) | $(s "$(m C_console to_output)") | $(s "$(m C_console whole)") | $(s "$(m hello_console whole)") (console hello-world) | $(ratio "$(m C_console whole)" "$(m hello_console whole)") |"
    [ -s "$SAMPLES/C_nosplash.whole" ] &&
        echo "| C packed without --splash | $(s "$(m C_nosplash to_output)") | $(s "$(m C_nosplash whole)") | $(s "$hello") | $(ratio "$(m C_nosplash whole)" "$hello") |"
    echo "| hello-world packed with --main hello.exe | | $(s "$(m hello_launcher whole)") | $(s "$hello") (the same hello-world) | $(ratio "$(m hello_launcher whole)" "$hello") |"
    echo
    if [ -s "$SAMPLES/zstd_plain.version" ]; then
        echo "zstd's tool as a console executable, plain and packed: \`-V\`, and \`-t\` of a 64 KiB frame; whole runs, each beside the plain zstd.exe; started without a console, and in a console of its own as from a command prompt (there the bootstrap hears the end of the session through its console and makes no window; Wine's console slows every start, the plain one too)."
        echo
        echo "| zstd | -V s | -V / plain | -t s | -t / plain | in a console: -V s | -V / plain | -t s | -t / plain |"
        echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
        for road in plain main_run main_cached library_run library_cached; do
            case $road in
            plain) what="zstd.exe" ;;
            main_run) what="--main zstd.exe, per run" ;;
            main_cached) what="--main zstd.exe, cached" ;;
            library_run) what="run_code library, per run" ;;
            library_cached) what="run_code library, cached" ;;
            esac
            row="| $what"
            for call in version test console_version console_test; do
                row+=" | $(s "$(m "zstd_$road" $call)") | $(ratio "$(m "zstd_$road" $call)" "$(m zstd_plain $call)")"
            done
            echo "$row |"
        done
        echo
    fi
    if [ "$CACHED" = yes ] && ls "$SAMPLES"/*.cached_second >/dev/null 2>&1; then
        echo "Cached unpack mode (--unpack-to \"{TEMP}\\onefile-bench-cache\\APP\"): a first start (the folder removed before it) and a second start (the folder complete), beside the per-run mode."
        echo
        echo "| app | per-run whole s | first start whole s | second start whole s | second to run_code s | to run_code beyond a bare start (the check) s | after run_code s | second / bare start | second with --verify content s | verified / second |"
        echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
        for app in $ACTIVE; do
            second=$(m "$app" cached_second) second_to=$(m "$app" cached_second_to)
            echo "| $app | $(s "$(m "$app" whole)") | $(s "$(m "$app" cached_first)") | $(s "$second") | $(s "$second_to") | $(s "$(sum "$second_to" "-$hello")") | $(s "$(sum "$second" "-$second_to")") | $(ratio "$second" "$hello") | $(s "$(m "$app" cached_verified)") | $(ratio "$(m "$app" cached_verified)" "$second") |"
        done
        echo
        echo "C's second start is timed to its first output, which Lua writes when main.lua ends. The check: the names and sizes of the record against the folder (B: 5,001 files)."
        echo
    fi
fi

if [ "$PEER" = yes ]; then
    echo "### The peer: NSIS $NSIS_VERSION (SetCompressor /SOLID lzma, \$PLUGINSDIR, ExecWait)"
    echo
    echo "| app | pack s | exe MiB | content / exe | to run_code s | whole run s | parent peak working set MiB | to run_code: bootstrap / NSIS | whole run: bootstrap / NSIS |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
    for app in $ACTIVE; do
        echo "| $app | $(s "$(m "$app" peer_pack)") | $(mib "$(m "$app" peer_exe_bytes)") | $(ratio "$(m "$app" content)" "$(m "$app" peer_exe_bytes)") | $(s "$(m "$app" peer_to_run_code)") | $(s "$(m "$app" peer_whole)") | $(mib "$(m "$app" peer_peak_ws)") | $(ratio "$(to_start "$app")" "$(m "$app" peer_to_run_code)") | $(ratio "$(m "$app" whole)" "$(m "$app" peer_whole)") |"
    done
    echo
    echo "NSIS runs bench_run_dll.exe (in its package), which loads the application library and calls run_code as the bootstrap's child does. The NSIS stub is a 32-bit program (WoW64)."
    echo
fi

if [ "$PROFILE" = yes ]; then
    for app in $ACTIVE; do
        for name in "$app" "${app}_one_core"; do
            [ -s "$WORK/profile/$name.md" ] || continue
            on="every core"
            [ "$name" = "$app" ] || on="one core"
            echo "### Profile of one fresh start of $app, $on"
            echo
            cat "$WORK/profile/$name.md"
            echo
        done
    done
    echo "u: user code (executable: the bootstrap's own code, zstd's decoder among it; app-dlls: the application's libraries; anonymous-code: code perf cannot name; msvcrt: memcpy, wcscmp and friends; wine-dlls: ntdll, kernelbase, user32 ...); k: kernel, by call chain (file-read: read()/pread() of files, Wine loading images among them; page-fault: first touches of memory and of the mapped image; wineserver-ipc: the pipes and polls of server requests). The child column sums every later process of the executable's name."
    echo
    if ls "$WORK/profile/"*.callgrind.md >/dev/null 2>&1; then
        echo "### Instruction counts of the reader and extraction loop (callgrind, native build)"
        echo
        echo "The bootstrap's payload reader and the extraction loop (static_src/attached_data/entries.cpp), built natively against the same zstd sources without assembly, extracting the object once. Shares of the loop's instructions:"
        echo
        echo "| app | G instructions | per content byte | ZSTD_decompressStream | copy out of the window (memcpy) | payload_read itself | file calls, names, sizes |"
        echo "|---|---:|---:|---:|---:|---:|---:|"
        cat "$WORK/profile/"*.callgrind.md
        echo
        echo "glibc copies 32 KiB blocks with rep movsb, which callgrind counts per byte: the copy's share of the time is smaller (msvcrt in the profiles above)."
        echo
    fi
fi

echo "### Samples"
echo
echo "Microseconds (bytes for sizes), in the order measured:"
echo
for f in "$SAMPLES"/*; do
    echo "- $(basename "$f"): $(tr '\n' ' ' < "$f" | sed 's/ $//')"
done
echo
echo "Total benchmark time: ${BENCH_SECONDS:-?} s."
