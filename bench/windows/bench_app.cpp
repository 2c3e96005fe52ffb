/*
** The benchmark's application library. run_code notes the moment it was
** entered and returns 0 at once; what it notes goes to the file named by
** BENCH_REPORT, one key=value a line, times in microseconds since 1970
** (the same clock as the Linux side's CLOCK_REALTIME under Wine).
**
**   BENCH_REPORT=<file>   where to write the report (nothing without it)
**   BENCH_RELAUNCH=<n>    start the running executable again n times, one
**                         after the other, while this process lives, and
**                         note how long each copy took to reach run_code
**
** Keys: entered (run_code entered), created (this process was created),
** parent_created (the process named by QALVEN_ONEFILE_PARENT was created),
** time_us (QALVEN_ONEFILE_TIME_US: the microsecond part of the moment the
** parent formed its unpack directory name), library, peak_ws (this
** process's PeakWorkingSetSize when run_code was entered: the most the
** bootstrap's child or re-launched copy used before it; under Wine a true
** peak, the Unix process's VmHWM, where its PeakPagefileUsage is only the
** private memory of the moment),
** self_handle (this process's handle, duplicated into the process named by
** BENCH_LAUNCHER_PID, bench_launch.exe, which reads the exit time through
** it), and with relaunches relaunch.<i>=<microseconds from CreateProcessW
** to the copy's run_code> and relaunch_peak_ws.<i>.
*/
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <string>

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

static std::wstring variable(const wchar_t *name)
{
    static wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (length == 0 || length >= 32768)
        return std::wstring();
    return std::wstring(value, length);
}

static std::string utf8(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, NULL, NULL);
    return out;
}

/* Creation time of a process, or 0 when it cannot be had. */
static long long creation_time(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return unix_microseconds(created);
}

/* The process whose id the environment variable `name` holds, opened
** with `access`; NULL without one. */
static HANDLE open_named_process(const wchar_t *name, DWORD access)
{
    std::wstring id = variable(name);
    return id.empty() ? NULL : OpenProcess(access, FALSE, (DWORD)_wtoi(id.c_str()));
}

static long long parent_creation_time(void)
{
    HANDLE process = open_named_process(L"QALVEN_ONEFILE_PARENT", PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == NULL)
        return 0;
    long long created = creation_time(process);
    CloseHandle(process);
    return created;
}

/* Written under another name first: the reader sees the file whole. */
static void write_file(const std::wstring &path, const std::string &content)
{
    std::wstring partial = path + L".partial";
    FILE *file = _wfopen(partial.c_str(), L"wb");
    if (file == NULL)
        return;
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
    MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

/* The value of `key` in a report, or 0. */
static long long read_key(const std::wstring &report, const char *key)
{
    FILE *file = _wfopen(report.c_str(), L"rb");
    if (file == NULL)
        return 0;
    char line[256];
    long long value = 0;
    size_t length = strlen(key);
    while (value == 0 && fgets(line, sizeof line, file) != NULL)
        if (strncmp(line, key, length) == 0 && line[length] == '=')
            value = atoll(line + length + 1);
    fclose(file);
    return value;
}

struct copy_timing {
    long long to_run_code; /* -1: the copy did not reach it */
    long long peak_ws;
};

/* Starts this executable again and waits for it; times it from
** CreateProcessW to the copy's run_code. */
static copy_timing time_relaunched_copy(const std::wstring &copy_report)
{
    wchar_t executable[4096];
    GetModuleFileNameW(NULL, executable, 4096);
    std::wstring command_line = L"\"" + std::wstring(executable) + L"\" relaunched";
    DeleteFileW(copy_report.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    long long start = now_microseconds();
    if (!CreateProcessW(executable, &command_line[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &created))
        return copy_timing{-1, 0};
    WaitForSingleObject(created.hProcess, INFINITE);
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    long long entered = read_key(copy_report, "entered");
    copy_timing timing = {entered > 0 ? entered - start : -1, read_key(copy_report, "peak_ws")};
    DeleteFileW(copy_report.c_str());
    return timing;
}

/* This process's handle in the launcher's handle table, or 0. */
static unsigned long long handle_in_launcher(void)
{
    HANDLE launcher = open_named_process(L"BENCH_LAUNCHER_PID", PROCESS_DUP_HANDLE);
    if (launcher == NULL)
        return 0;
    HANDLE copy = NULL;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), launcher, &copy,
                         PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, 0))
        copy = NULL;
    CloseHandle(launcher);
    return (unsigned long long)(uintptr_t)copy;
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path)
{
    (void)argc;
    (void)argv;
    long long entered = now_microseconds();
    std::wstring report = variable(L"BENCH_REPORT");
    if (report.empty())
        return 0;
    std::string out = "entered=" + std::to_string(entered) + "\n";
    out += "created=" + std::to_string(creation_time(GetCurrentProcess())) + "\n";
    out += "parent_created=" + std::to_string(parent_creation_time()) + "\n";
    out += "time_us=" + utf8(variable(L"QALVEN_ONEFILE_TIME_US")) + "\n";
    out += "library=" + utf8(library_path) + "\n";
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        out += "peak_ws=" + std::to_string(counters.PeakWorkingSetSize) + "\n";
    out += "self_handle=" + std::to_string(handle_in_launcher()) + "\n";

    int relaunches = _wtoi(variable(L"BENCH_RELAUNCH").c_str());
    if (relaunches > 0) {
        /* The copies inherit the environment: their own report, no relaunch. */
        std::wstring copy_report = report + L".copy";
        SetEnvironmentVariableW(L"BENCH_RELAUNCH", NULL);
        SetEnvironmentVariableW(L"BENCH_REPORT", copy_report.c_str());
        for (int i = 0; i < relaunches; i++) {
            copy_timing timing = time_relaunched_copy(copy_report);
            std::string n = std::to_string(i);
            out += "relaunch." + n + "=" + std::to_string(timing.to_run_code) + "\n";
            out += "relaunch_peak_ws." + n + "=" + std::to_string(timing.peak_ws) + "\n";
        }
    }
    write_file(report, out);
    return 0;
}
