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
**                    (read every 10 ms)
**     exit_read, exit_peak_ws, exit_peak_pf   the same read once more after
**                    the program ended (exit_read=0: the call failed)
**     first_output   with --output: when the first byte of the program's
**                    standard output arrived through a pipe (0: none came);
**                    the output itself is appended to the file named by
**                    BENCH_OUTPUT_COPY, if set
**
**   bench_launch.exe [--temp DIR] [--output] --relaunch N PROGRAM [ARGUMENTS...]
**     Times N re-launched copies of a bootstrap executable from outside, for
**     an application that does not start itself again but writes to its
**     standard output: PROGRAM is started as the parent with a one-byte pipe
**     as standard output that is read only at the end, so the application
**     blocks on its output while the parent lives with its files unpacked.
**     Each copy is then started with the parent's QALVEN_ONEFILE_PARENT,
**     _TIME_US and _RANDOM (read from its unpack folder's name). Prints
**     relaunch_start.<i>, relaunch_output.<i> (first output of the copy),
**     relaunch_end.<i> and relaunch_failures.
**
** --temp sets TMP and TEMP for the program: its own temporary folder.
** --console runs it in a console of its own, made before the clock starts,
** as a command prompt runs a command-line program.
*/
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <wchar.h>
#include <string>

#include "process_start/process_start.h"

static long long now_microseconds(void)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    unsigned long long ticks = ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
    return (long long)(ticks / 10) - 11644473600000000LL;
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
    long long start, end, first_output;
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
    for (;;) {
        DWORD waited = WaitForSingleObject(created.hProcess, 10);
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

/* The unpack folder of the bootstrap `parent_id` below TEMP, once its child
** exists (extraction is then complete); empty when none turns up in time. */
static std::wstring wait_for_unpacked_parent(DWORD parent_id, HANDLE parent)
{
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    while (length > 0 && temp[length - 1] == L'\\')
        temp[--length] = L'\0';
    wchar_t pattern[MAX_PATH + 64];
    swprintf(pattern, MAX_PATH + 64, L"%ls\\onefile_%lu_*", temp, parent_id);
    for (int tries = 0; tries < 6000; tries++) {
        if (WaitForSingleObject(parent, 10) == WAIT_OBJECT_0)
            return std::wstring();
        bool child_started = false;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        if (snapshot != INVALID_HANDLE_VALUE && Process32FirstW(snapshot, &entry)) {
            do
                child_started = child_started || entry.th32ParentProcessID == parent_id;
            while (Process32NextW(snapshot, &entry));
        }
        if (snapshot != INVALID_HANDLE_VALUE)
            CloseHandle(snapshot);
        if (!child_started)
            continue;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(pattern, &found);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        std::wstring name;
        do
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && wcsstr(found.cFileName, L"_splash_") == NULL)
                name = found.cFileName;
        while (FindNextFileW(search, &found));
        FindClose(search);
        if (!name.empty())
            return name;
    }
    return std::wstring();
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
    std::wstring folder = wait_for_unpacked_parent(parent.dwProcessId, parent.hProcess);
    /* onefile_<PID>_<TIME_US: 6 digits>_<RANDOM> */
    wchar_t prefix[64];
    swprintf(prefix, 64, L"onefile_%lu_", parent.dwProcessId);
    size_t prefix_length = wcslen(prefix);
    int failures = 0;
    if (folder.size() < prefix_length + 8 || folder[prefix_length + 6] != L'_') {
        fprintf(stderr, "bench_launch: the parent's unpack folder did not turn up\n");
        failures = count;
    } else {
        wchar_t parent_id[32];
        swprintf(parent_id, 32, L"%lu", parent.dwProcessId);
        SetEnvironmentVariableW(L"QALVEN_ONEFILE_PARENT", parent_id);
        SetEnvironmentVariableW(L"QALVEN_ONEFILE_TIME_US", folder.substr(prefix_length, 6).c_str());
        SetEnvironmentVariableW(L"QALVEN_ONEFILE_RANDOM", folder.substr(prefix_length + 7).c_str());
        for (int i = 0; i < count; i++) {
            run_result result;
            if (!run(program, command_line, capture_output, result) || result.status != 0)
                failures++;
            printf("relaunch_start.%d=%lld relaunch_output.%d=%lld relaunch_end.%d=%lld ", i, result.start, i,
                   result.first_output, i, result.end);
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
           "exit_peak_pf=%llu first_output=%lld\n",
           result.start, result.end, result.status, (unsigned long long)result.peak_ws,
           (unsigned long long)result.peak_pf, result.exit_read ? 1 : 0,
           (unsigned long long)result.exit_peak_ws, (unsigned long long)result.exit_peak_pf,
           result.first_output);
    return 0;
}
