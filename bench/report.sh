#!/bin/bash
# The benchmark's markdown report, from the samples that bench/measure/
# wrote ($SAMPLES) and the machine's description that run.sh exports:
# the goals' ratios first, then every table, the profiles and the samples.
#
#   bench/report.sh > report.md          (run.sh runs it at the end)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
m() { median "$@"; }
has() { [[ " $ACTIVE " == *" $1 "* ]]; }
to_start() { # app: until run_code, or C's first output
    if [ "$1" = C ]; then m C to_output; else m "$1" to_run_code; fi
}
hello=$(m hello whole)

echo "## Start-up benchmark ($DATE)"
echo
echo "Machine: $CPU, $CORES cores, $RAM RAM, Linux $KERNEL, $WINE_VERSION, NSIS $NSIS_VERSION, zstd $ZSTD_VERSION."
echo "Unpacking into $TEMP_FS ($TEMP_PARENT). Medians of $REPEAT runs (packing: onefile-pack $PACK_REPEAT, makensis $PEER_PACK_REPEAT);"
echo "onefile-pack at its default level $LEVEL. Applications: A one 256 MiB file (random, text-like and zero blocks),"
echo "B 5,000 files of 64 MiB in nested folders, C the example Lua application with its splash; A and B start with the"
echo "benchmark's application library, which notes when run_code is entered and returns 0."
echo "Bare start: a hello-world GUI executable that returns at once, started and timed the same way in the same run: $(ms "$hello") ms ($(ms "$(m hello shell_whole)") ms from the shell; $(ms "$(m hello_imports whole)") ms linked against the system libraries the bootstrap imports)."
echo

echo "### Goals"
echo
echo "| goal | figure | s | against | s | ratio | at most |"
echo "|---|---|---:|---|---:|---:|---:|"
for app in $ACTIVE; do
    echo "| start | $app re-launched copy | $(s "$(m "$app" relaunch)") | bare start | $(s "$hello") | $(against "$(m "$app" relaunch)" "$hello" 1.2) | 1.2 |"
done
if has C; then
    [ "$PEER" = yes ] && echo "| start | C whole run | $(s "$(m C whole)") | NSIS's whole run | $(s "$(m C peer_whole)") | $(against "$(m C whole)" "$(m C peer_whole)" 1.00) | 1.00 |"
    echo "| start | C whole run | $(s "$(m C whole)") | bare start | $(s "$hello") | $(against "$(m C whole)" "$hello" 3) | 3 |"
    echo "| start | C whole run from the shell | $(s "$(m C shell_whole)") | bare start from the shell | $(s "$(m hello shell_whole)") | $(against "$(m C shell_whole)" "$(m hello shell_whole)" 3) | 3 |"
    [ -s "$SAMPLES/C_nosplash.whole" ] &&
        echo "| start | C whole run with its splash | $(s "$(m C whole)") | C without a splash | $(s "$(m C_nosplash whole)") | $(against "$(m C whole)" "$(m C_nosplash whole)" 1.25) | 1.25 |"
fi
[ -s "$SAMPLES/hello_launcher.whole" ] &&
    echo "| start | hello-world packed with --main hello.exe, whole run | $(s "$(m hello_launcher whole)") | the same hello-world | $(s "$hello") | $(against "$(m hello_launcher whole)" "$hello" 2.5) | 2.5 |"
if [ "$CACHED" = yes ] && ls "$SAMPLES"/*.cached_second >/dev/null 2>&1; then
    for app in $ACTIVE; do
        bound=1.5
        [ "$app" = B ] && bound=2.5
        echo "| cached | $app second start, whole run | $(s "$(m "$app" cached_second)") | bare start | $(s "$hello") | $(against "$(m "$app" cached_second)" "$hello" "$bound") | $bound |"
    done
fi
if [ -s "$SAMPLES/zstd_plain.version" ]; then
    for road in main library; do
        what="--main zstd.exe"
        [ "$road" = library ] && what="a run_code library"
        echo "| cli | zstd -V packed through $what, per run | $(s "$(m "zstd_${road}_run" version)") | zstd.exe -V | $(s "$(m zstd_plain version)") | $(against "$(m "zstd_${road}_run" version)" "$(m zstd_plain version)" 1.8) | 1.8 |"
        echo "| cli | zstd -V packed through $what, cached | $(s "$(m "zstd_${road}_cached" version)") | zstd.exe -V | $(s "$(m zstd_plain version)") | $(against "$(m "zstd_${road}_cached" version)" "$(m zstd_plain version)" 1.2) | 1.2 |"
    done
    for road in main library; do
        what="--main zstd.exe"
        [ "$road" = library ] && what="a run_code library"
        for mode in run cached; do
            bound=1.8 named="per run"
            [ "$mode" = cached ] && bound=1.2 named=cached
            echo "| cli | zstd -V packed through $what, $named, in a console | $(s "$(m "zstd_${road}_$mode" console_version)") | zstd.exe -V in a console | $(s "$(m zstd_plain console_version)") | $(against "$(m "zstd_${road}_$mode" console_version)" "$(m zstd_plain console_version)" $bound) | $bound |"
        done
    done
fi
for app in A B; do
    has "$app" || continue
    limit=$(sum "$(m "$app" zstd_decode)" "$(m "$app" wine_write)")
    echo "| unpack | $app unpack | $(s "$(m "$app" unpack)") | zstd -d + Wine write | $(s "$limit") | $(against "$(m "$app" unpack)" "$limit" 1.10) | 1.10 |"
done
if [ -s "$SAMPLES/A.pack_one_thread" ]; then
    echo "| packing | A packing, one thread / every core | $(s "$(m A pack_one_thread)") | every core | $(s "$(m A pack)") | $(ratio "$(m A pack_one_thread)" "$(m A pack)") | at least 1.8 |"
fi
echo
echo "Starts are timed from CreateProcessW in a Windows program (bench_launch.exe) to the end of the wait, the bare start too; \"from the shell\" is \`wine EXE\` from the Linux shell, which adds Wine's own start-up on the Unix side to both."
echo "Unpack is from forming the unpack folder's name to creating the child; its limit is the zstd tool decoding the same frame plus a plain Windows program writing the same files under Wine. A re-launched copy is timed from CreateProcessW to run_code (C: to its first output). A cached second start is timed whole; its parts are in the cached table below."
echo

echo "### The bootstrap"
echo
echo "| app | files | content MiB | pack s | exe MiB | content / exe | to run_code s | whole run s | whole / bare start | re-launched copy ms | copy / bare start | parent peak working set MiB | parent peak private MiB |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for app in $ACTIVE; do
    mark=""
    [ "$app" = C ] && mark="¹"
    echo "| $app | $(m "$app" files) | $(mib "$(m "$app" content)") | $(s "$(m "$app" pack)") | $(mib "$(m "$app" exe_bytes)") | $(ratio "$(m "$app" content)" "$(m "$app" exe_bytes)") | $(s "$(to_start "$app")")$mark | $(s "$(m "$app" whole)") | $(ratio "$(m "$app" whole)" "$hello") | $(ms "$(m "$app" relaunch)")${mark:+²} | $(ratio "$(m "$app" relaunch)" "$hello") | $(mib "$(m "$app" peak_ws)") | $(mib "$(m "$app" peak_pf)") |"
done
echo
if has C; then
    echo "¹ C's library is not the benchmark's: until its first output, which Lua writes when main.lua ends; from that output to the parent's end (child exit, clean-up): $(ms "$(m C phase_after)") ms."
    echo "² Started from outside with the parent's variables while a fresh start is held alive (its output blocked), until the copy's first output."
    echo
fi

echo "### Unpacking against its limits"
echo
echo "Plain writers: the same files with the same 32768-byte writes, natively (write()) and under Wine (CreateFileW/WriteFile/CloseHandle), parent folders made once."
echo
echo "| app | bootstrap unpack s | zstd -d s | native write s | Wine write s | unpack / (zstd -d + Wine write) | reader decode, Wine s | reader + write, Wine s | unpack / (reader + write, Wine) | reader decode, native s | reader + write, native s |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for app in $ACTIVE; do
    limit=$(sum "$(m "$app" zstd_decode)" "$(m "$app" wine_write)")
    echo "| $app | $(s "$(m "$app" unpack)") | $(s "$(m "$app" zstd_decode)") | $(s "$(m "$app" native_write)") | $(s "$(m "$app" wine_write)") | $(ratio "$(m "$app" unpack)" "$limit") | $(s "$(m "$app" wine_decode)") | $(s "$(m "$app" wine_extract)") | $(ratio "$(m "$app" unpack)" "$(m "$app" wine_extract)") | $(s "$(m "$app" native_reader_decode)") | $(s "$(m "$app" native_extract)") |"
done
echo
echo "Reader + write, Wine: the bootstrap's reader and extraction loop in one plain Windows program, writing as the plain writer does: the bootstrap's extraction without the rest of the bootstrap (its private folder, locks, extended paths, the mapped image)."
echo "Reader decode: the bootstrap's own payload reader (static_src/attached_data/payload_stream.cpp, 131072-byte window, 32768-byte reads) over the object in memory, writing nothing: built with MinGW-w64 and run under Wine, and built natively against the same zstd sources without assembly (as the bootstrap's); with Debian's libzstd (assembly) natively: $(for app in $ACTIVE; do printf '%s %s s; ' "$app" "$(s "$(m "$app" native_reader_decode_asm)")"; done | sed 's/; $//')."
echo

echo "### Where a fresh start's time goes (A and B)"
echo
echo "| app | launcher to parent created ms | parent start to unpack ms | unpack s | child created to run_code ms | after run_code (child exit, clean-up) s | Wine delete, plain walk s | Wine delete, SHFileOperationW s | native delete s |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
for app in A B; do
    has "$app" || continue
    echo "| $app | $(ms "$(m "$app" phase_create)") | $(ms "$(m "$app" phase_startup)") | $(s "$(m "$app" unpack)") | $(ms "$(m "$app" phase_child)") | $(s "$(m "$app" phase_after)") | $(s "$(m "$app" wine_delete_plain)") | $(s "$(m "$app" wine_delete_shell)") | $(s "$(m "$app" native_delete)") |"
done
echo
echo "Launcher to parent created: CreateProcessW until Wine registers the new process. Parent start to unpack: until the unpack folder's name is formed (QALVEN_ONEFILE_TIME_US). After run_code: until the parent has ended, which includes its clean-up."
echo

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

echo "Peak memory: GetProcessMemoryInfo's PeakWorkingSetSize and PeakPagefileUsage of the parent, read by the launcher every 10 ms while it runs (under Wine they come from the Unix process's /proc status, gone once it ends)."
echo
if [ "$PROFILE" = yes ]; then
    for app in $ACTIVE; do
        [ -s "$WORK/profile/$app.md" ] || continue
        echo "### Profile of one fresh start of $app"
        echo
        cat "$WORK/profile/$app.md"
        echo
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
