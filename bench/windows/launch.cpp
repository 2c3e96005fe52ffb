/*
** Starts a program the way a user's shell would (CreateProcessW), waits for
** it and prints one line of key=value pairs. Times are microseconds since
** 1970 (the Linux side's CLOCK_REALTIME under Wine), sizes are bytes.
**
**   bench_launch.exe [--temp DIR] [--output] [--console] PROGRAM [ARGUMENTS...]
**     start, end     just before CreateProcessW, just after the wait returned
**     status         the program's exit status
**     peak_ws, peak_pf   the largest PeakWorkingSetSize and PeakPagefileUsage
**                    that GetProcessMemoryInfo gave while the program ran
**                    (read every 2 ms for 20 ms, then every 10 ms), peak_ws
**                    also once it ended. Under
**                    Wine the first is a true peak (the Unix process's
**                    VmHWM), the second only the private memory of the
**                    moment: its largest reading
**     exit_read, exit_peak_ws, exit_peak_pf   the same read once more after
**                    the program ended (exit_read=0: the call failed)
**     first_output   with --output: when the first byte of the program's
**                    standard output arrived through a pipe (0: none came);
**                    the output itself is appended to the file named by
**                    BENCH_OUTPUT_COPY, if set
**     parent_exit    when the program's process ended (GetProcessTimes)
**     child_exit     when the process of the benchmark's application
**                    library ended (the bootstrap's child), through the
**                    handle it put into this process (BENCH_LAUNCHER_PID)
**                    and named in the report of BENCH_REPORT (self_handle);
**                    0 without one
**
**   bench_launch.exe [--temp DIR] [--output] --relaunch N PROGRAM [ARGUMENTS...]
**     Times N re-launched copies of a bootstrap executable from outside, for
**     an application that does not start itself again but writes to its
**     standard output: PROGRAM is started as the parent with a one-byte pipe
**     as standard output that is read only at the end, so the application
**     blocks on its output while the parent lives with its files unpacked.
**     Each copy is then started with the bootstrap's variables (QALVEN_*)
**     of the parent's child, read from its environment, as the application
**     would pass them on if it started itself again. Prints
**     relaunch_start.<i>, relaunch_output.<i> (first output of the copy),
**     relaunch_end.<i>, relaunch_peak_ws.<i> (the copy's peak working set)
**     and relaunch_failures.
**
** --temp sets TMP and TEMP for the program: its own temporary folder.
** --console runs it in a console of its own, made before the clock starts,
** as a command prompt runs a command-line program.
*/
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <string>

#include "process_start/process_start.h"

static long long unix_microseconds(FILETIME time)
{
    unsigned long long ticks = ((unsigned long long)time.dwHighDateTime << 32) | time.dwLowDateTime;
    return (long long)(ticks / 10) - 11644473600000000LL;
}

static long long now_microseconds(void)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return unix_microseconds(now);
}

/* When an ended process ended, or 0. */
static long long exit_time(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (process == NULL || !GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return unix_microseconds(exited);
}

/* The handle that the application library put into this process and
** named in its report (BENCH_REPORT, "self_handle=N"), or NULL. */
static HANDLE reported_child(void)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"BENCH_REPORT", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return NULL;
    FILE *file = _wfopen(path, L"rb");
    if (file == NULL)
        return NULL;
    char line[256];
    unsigned long long handle = 0;
    while (handle == 0 && fgets(line, sizeof line, file) != NULL)
        if (strncmp(line, "self_handle=", 12) == 0)
            handle = strtoull(line + 12, NULL, 10);
    fclose(file);
    return (HANDLE)(uintptr_t)handle;
}

/* The bootstrap's own quoting (process_start.cpp, linked in) ends a line
** that would not fit this way. */
[[noreturn]] void abort_on_overflow(const char *what)
{
    fprintf(stderr, "bench_launch: %s does not fit\n", what);
    exit(2);
}

/* Reads a pipe to its end, noting when the first byte came. */
struct output_reader {
    HANDLE pipe;
    volatile long long first_output;
    FILE *copy; /* where the output goes on to, or NULL */
};

static DWORD WINAPI read_output(void *context)
{
    output_reader *reader = (output_reader *)context;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(reader->pipe, buffer, sizeof buffer, &got, NULL) && got > 0) {
        if (reader->first_output == 0)
            reader->first_output = now_microseconds();
        if (reader->copy != NULL)
            fwrite(buffer, 1, got, reader->copy);
    }
    return 0;
}

struct run_result {
    long long start, end, first_output, parent_exit, child_exit;
    DWORD status;
    SIZE_T peak_ws, peak_pf, exit_peak_ws, exit_peak_pf;
    bool exit_read;
};

static bool run(const wchar_t *program, std::wstring command_line, bool capture_output, run_result &result)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    output_reader reader = {NULL, 0, NULL};
    wchar_t copy_path[MAX_PATH];
    DWORD copy_length = GetEnvironmentVariableW(L"BENCH_OUTPUT_COPY", copy_path, MAX_PATH);
    if (capture_output && copy_length > 0 && copy_length < MAX_PATH)
        reader.copy = _wfopen(copy_path, L"ab");
    HANDLE write_end = NULL;
    if (capture_output) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
        CreatePipe(&reader.pipe, &write_end, &inheritable, 0);
        SetHandleInformation(reader.pipe, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = write_end;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION created = {};
    result = run_result{};
    result.start = now_microseconds();
    if (!CreateProcessW(program, &command_line[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &created)) {
        fprintf(stderr, "bench_launch: cannot start %ls (error %lu)\n", program, GetLastError());
        return false;
    }
    HANDLE reader_thread = NULL;
    if (capture_output) {
        CloseHandle(write_end);
        reader_thread = CreateThread(NULL, 0, read_output, &reader, 0, NULL);
    }
    /* Every 2 ms at first: a copy that runs from its parent's folder may
    ** end within 10 ms, and once it has ended its memory may be gone. */
    for (int reading = 0;; reading++) {
        DWORD waited = WaitForSingleObject(created.hProcess, reading < 10 ? 2 : 10);
        if (waited != WAIT_TIMEOUT)
            break;
        PROCESS_MEMORY_COUNTERS counters = {};
        counters.cb = sizeof counters;
        if (GetProcessMemoryInfo(created.hProcess, &counters, sizeof counters)) {
            if (counters.PeakWorkingSetSize > result.peak_ws)
                result.peak_ws = counters.PeakWorkingSetSize;
            if (counters.PeakPagefileUsage > result.peak_pf)
                result.peak_pf = counters.PeakPagefileUsage;
        }
    }
    result.end = now_microseconds();
    GetExitCodeProcess(created.hProcess, &result.status);
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    result.exit_read = GetProcessMemoryInfo(created.hProcess, &counters, sizeof counters) != 0;
    result.exit_peak_ws = counters.PeakWorkingSetSize;
    result.exit_peak_pf = counters.PeakPagefileUsage;
    /* A peak of the whole life: a process shorter than one reading has
    ** only this one. */
    if (result.exit_read && result.exit_peak_ws > result.peak_ws)
        result.peak_ws = result.exit_peak_ws;
    result.parent_exit = exit_time(created.hProcess);
    HANDLE child = reported_child();
    result.child_exit = exit_time(child);
    if (child != NULL)
        CloseHandle(child);
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    if (reader_thread != NULL) {
        /* Whoever else holds the write end (a grandchild) may keep it open. */
        if (WaitForSingleObject(reader_thread, 5000) != WAIT_OBJECT_0)
            CancelSynchronousIo(reader_thread);
        WaitForSingleObject(reader_thread, 1000);
        CloseHandle(reader_thread);
        CloseHandle(reader.pipe);
        if (reader.copy != NULL)
            fclose(reader.copy);
        result.first_output = reader.first_output;
    }
    return true;
}

/* The child of the bootstrap `parent_id` that runs the same executable
** `program` (not Wine's desktop process, which its first window starts),
** once it exists: extraction is then complete; 0 when none turns up in
** time. */
static DWORD wait_for_child(DWORD parent_id, HANDLE parent, const wchar_t *program)
{
    const wchar_t *name = program;
    for (const wchar_t *p = program; *p != L'\0'; p++)
        if (*p == L'\\' || *p == L'/')
            name = p + 1;
    for (int tries = 0; tries < 6000; tries++) {
        if (WaitForSingleObject(parent, 10) == WAIT_OBJECT_0)
            return 0;
        DWORD child = 0;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        if (snapshot != INVALID_HANDLE_VALUE && Process32FirstW(snapshot, &entry)) {
            do
                if (entry.th32ParentProcessID == parent_id && _wcsicmp(entry.szExeFile, name) == 0)
                    child = entry.th32ProcessID;
            while (child == 0 && Process32NextW(snapshot, &entry));
        }
        if (snapshot != INVALID_HANDLE_VALUE)
            CloseHandle(snapshot);
        if (child != 0)
            return child;
    }
    return 0;
}

/* The environment block of another process, as its process parameters
** hold it (RTL_USER_PROCESS_PARAMETERS: Environment at 0x80,
** EnvironmentSize at 0x3F0 on x64); empty when it cannot be read. */
static std::wstring process_environment(DWORD process_id)
{
    std::wstring block;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id);
    if (process == NULL)
        return block;
    PROCESS_BASIC_INFORMATION basic = {};
    PEB peb = {};
    unsigned char parameters[0x3F8] = {};
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, NULL) == 0
        && ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, NULL)
        && ReadProcessMemory(process, peb.ProcessParameters, parameters, sizeof parameters, NULL)) {
        const void *environment = *(void *const *)(parameters + 0x80);
        SIZE_T size = *(const SIZE_T *)(parameters + 0x3F0);
        block.resize(size / sizeof(wchar_t));
        if (size == 0 || !ReadProcessMemory(process, environment, &block[0], size, NULL))
            block.clear();
    }
    CloseHandle(process);
    return block;
}

/* Takes on the bootstrap's variables of another process's environment
** (QALVEN_*) as an application that starts itself again passes them on,
** but the marker that its parent gave the child alone; returns how many.
** Under Wine a new process makes its process parameters itself, as it
** starts: until then there is nothing to read, and it is asked again. */
static int take_bootstrap_variables(DWORD process_id)
{
    std::wstring block;
    for (int tries = 0; tries < 500 && block.find(L"QALVEN_") == std::wstring::npos; tries++) {
        if (tries > 0)
            Sleep(10);
        block = process_environment(process_id);
    }
    int taken = 0;
    for (size_t at = 0; at < block.size() && block[at] != L'\0';) {
        std::wstring pair(block.c_str() + at);
        at += pair.size() + 1;
        size_t equals = pair.find(L'=', 1);
        if (pair.compare(0, 7, L"QALVEN_") != 0 || equals == std::wstring::npos
            || pair.compare(0, equals, L"QALVEN_ONEFILE_CHILD_OF") == 0)
            continue;
        SetEnvironmentVariableW(pair.substr(0, equals).c_str(), pair.substr(equals + 1).c_str());
        taken++;
    }
    return taken;
}

static int relaunch(const wchar_t *program, const std::wstring &command_line, bool capture_output, int count)
{
    /* The parent's standard output is a pipe of one byte that nobody reads
    ** until the end: the application, its child, blocks on its first
    ** output, and the parent waits for it, alive with its files unpacked. */
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    HANDLE read_end, write_end;
    CreatePipe(&read_end, &write_end, &inheritable, 1);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION parent = {};
    std::wstring parent_line = command_line;
    if (!CreateProcessW(program, &parent_line[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &parent)) {
        fprintf(stderr, "bench_launch: cannot start %ls (error %lu)\n", program, GetLastError());
        return 2;
    }
    CloseHandle(write_end);
    DWORD child = wait_for_child(parent.dwProcessId, parent.hProcess, program);
    int failures = 0;
    if (child == 0 || take_bootstrap_variables(child) == 0) {
        fprintf(stderr, "bench_launch: the parent's child and its variables did not turn up\n");
        failures = count;
    } else {
        for (int i = 0; i < count; i++) {
            run_result result;
            if (!run(program, command_line, capture_output, result) || result.status != 0)
                failures++;
            printf("relaunch_start.%d=%lld relaunch_output.%d=%lld relaunch_end.%d=%lld relaunch_peak_ws.%d=%llu ", i,
                   result.start, i, result.first_output, i, result.end, i, (unsigned long long)result.peak_ws);
        }
    }
    printf("relaunch_failures=%d\n", failures);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, NULL) && got > 0)
        continue;
    CloseHandle(read_end);
    WaitForSingleObject(parent.hProcess, INFINITE);
    CloseHandle(parent.hThread);
    CloseHandle(parent.hProcess);
    return failures == 0 ? 0 : 1;
}

int wmain(int argc, wchar_t **argv)
{
    wchar_t launcher_id[32];
    swprintf(launcher_id, 32, L"%lu", GetCurrentProcessId());
    SetEnvironmentVariableW(L"BENCH_LAUNCHER_PID", launcher_id);
    int first = 1;
    bool capture_output = false;
    int relaunches = 0;
    for (;;) {
        if (argc > first + 2 && wcscmp(argv[first], L"--temp") == 0) {
            SetEnvironmentVariableW(L"TMP", argv[first + 1]);
            SetEnvironmentVariableW(L"TEMP", argv[first + 1]);
            first += 2;
        } else if (argc > first + 1 && wcscmp(argv[first], L"--output") == 0) {
            capture_output = true;
            first += 1;
        } else if (argc > first + 1 && wcscmp(argv[first], L"--console") == 0) {
            /* This program's own output stays where the runtime found it. */
            FreeConsole();
            if (!AllocConsole()) {
                fprintf(stderr, "bench_launch: cannot make a console (error %lu)\n", GetLastError());
                return 2;
            }
            first += 1;
        } else if (argc > first + 2 && wcscmp(argv[first], L"--relaunch") == 0) {
            relaunches = _wtoi(argv[first + 1]);
            first += 2;
        } else {
            break;
        }
    }
    if (first >= argc) {
        fprintf(stderr, "usage: bench_launch.exe [--temp DIR] [--output] [--console] [--relaunch N] PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    static wchar_t line[COMMAND_LINE_CAPACITY];
    for (int i = first; i < argc; i++) {
        size_t length = wcslen(line);
        if (i > first && !append_units(line, COMMAND_LINE_CAPACITY, &length, L" ", 1))
            abort_on_overflow("the command line");
        append_quoted_argument(line, COMMAND_LINE_CAPACITY, argv[i]);
    }
    std::wstring command_line = line;
    if (relaunches > 0)
        return relaunch(argv[first], command_line, capture_output, relaunches);

    run_result result;
    if (!run(argv[first], command_line, capture_output, result))
        return 2;
    printf("start=%lld end=%lld status=%lu peak_ws=%llu peak_pf=%llu exit_read=%d exit_peak_ws=%llu "
           "exit_peak_pf=%llu first_output=%lld parent_exit=%lld child_exit=%lld\n",
           result.start, result.end, result.status, (unsigned long long)result.peak_ws,
           (unsigned long long)result.peak_pf, result.exit_read ? 1 : 0,
           (unsigned long long)result.exit_peak_ws, (unsigned long long)result.exit_peak_pf,
           result.first_output, result.parent_exit, result.child_exit);
    return 0;
}
