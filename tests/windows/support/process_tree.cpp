#include "process_tree.h"

#include <tlhelp32.h>
#include <wchar.h>

#include "run_process.h"
#include "top_level_windows.h"

static ULONGLONG creation_time(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return ((ULONGLONG)created.dwHighDateTime << 32) | created.dwLowDateTime;
}

std::vector<DWORD> child_process_ids(DWORD parent)
{
    std::vector<DWORD> children;
    HANDLE parent_handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent);
    if (parent_handle == NULL)
        return children;
    ULONGLONG parent_created = creation_time(parent_handle);
    CloseHandle(parent_handle);

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return children;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID != parent || entry.th32ProcessID == parent)
            continue;
        /* Wine starts its desktop process (explorer.exe /desktop) as a child
        ** of the first program that makes a window when none runs; Windows
        ** has no such process. A new console's host (conhost.exe) is a child
        ** of the process the console was made for, on Windows as in Wine. */
        if (_wcsicmp(entry.szExeFile, L"explorer.exe") == 0
            || _wcsicmp(entry.szExeFile, L"conhost.exe") == 0)
            continue;
        /* A parent id can be a recycled one: a real child is younger. */
        HANDLE child = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (child == NULL)
            continue;
        if (creation_time(child) >= parent_created)
            children.push_back(entry.th32ProcessID);
        CloseHandle(child);
    }
    CloseHandle(snapshot);
    return children;
}

DWORD wait_for_child_process(DWORD parent, DWORD timeout_ms)
{
    for (DWORD waited = 0;; waited += 10) {
        std::vector<DWORD> children = child_process_ids(parent);
        if (!children.empty())
            return children[0];
        if (waited >= timeout_ms)
            return 0;
        Sleep(10);
    }
}

static bool image_is_named(DWORD id, const std::wstring &name)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (process == NULL)
        return false;
    wchar_t image[4 * MAX_PATH];
    DWORD length = sizeof image / sizeof image[0];
    const std::wstring suffix = L"\\" + name;
    bool named = QueryFullProcessImageNameW(process, 0, image, &length) && length >= suffix.size()
                 && _wcsicmp(image + (length - suffix.size()), suffix.c_str()) == 0;
    CloseHandle(process);
    return named;
}

DWORD wait_for_child_named(DWORD parent, const std::wstring &name, DWORD timeout_ms)
{
    for (DWORD waited = 0;; waited += 10) {
        for (DWORD child : child_process_ids(parent))
            if (image_is_named(child, name))
                return child;
        if (waited >= timeout_ms)
            return 0;
        Sleep(10);
    }
}

bool terminate_process_id(DWORD id, UINT exit_code)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (process == NULL)
        return false;
    bool ok = TerminateProcess(process, exit_code) != 0;
    ok = WaitForSingleObject(process, 10000) == WAIT_OBJECT_0 && ok;
    CloseHandle(process);
    return ok;
}

HWND splash_of(DWORD process_id)
{
    return window_of(process_id, "Splash");
}

HWND window_of(DWORD process_id, const char *window_class)
{
    for (HWND window : top_level_windows(window_class)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == process_id)
            return window;
    }
    return NULL;
}

bool process_is_running(DWORD id)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (process == NULL)
        return false;
    bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

/* Finds the earliest started Unix process whose command line holds $1 and
** sends it SIGINT. */
static const char interrupt_script[] =
    "best=; best_start=\n"
    "for d in /proc/[0-9]*; do\n"
    "  [ \"${d#/proc/}\" = \"$$\" ] && continue\n"
    "  tr '\\000' ' ' < \"$d/cmdline\" 2>/dev/null | grep -qF \"$1\" || continue\n"
    "  start=$(awk '{print $22}' \"$d/stat\" 2>/dev/null) || continue\n"
    "  if [ -z \"$best\" ] || [ \"$start\" -lt \"$best_start\" ]; then best=${d#/proc/}; best_start=$start; fi\n"
    "done\n"
    "[ -n \"$best\" ] && kill -INT \"$best\"\n";

void interrupt_windows_program(const std::wstring &folder, const std::wstring &executable)
{
    write_file(folder + L"\\interrupt.sh", interrupt_script);
    std::string unix_folder = utf8(folder.substr(2));
    for (char &c : unix_folder)
        c = c == '\\' ? '/' : c;
    /* Wine runs Unix programs without waiting for them. */
    process_options run;
    /* The full path: a test of the same name in another build may be running too. */
    run.command_line = L"Z:\\bin\\sh " + utf16(unix_folder) + L"/interrupt.sh " + executable;
    run_process(run);
}
