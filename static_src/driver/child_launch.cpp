/*
** Running the application: the fresh start starts this executable again as
** its child with the same arguments and waits for it; the child, a
** re-launched copy, loads the application library and calls run_code.
*/
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "driver/driver.h"

#define SPLASH_POLL_MS 50

/* Room for an attribute list of one entry (48 bytes on x64). */
#define ATTRIBUTE_LIST_CAPACITY 256

/* Starting the child: up to 6 attempts, 50 ms before the second and twice
** as long before each further one, 1.55 s of pauses in all. */
#define LAUNCH_ATTEMPTS 6
#define FIRST_LAUNCH_PAUSE_MS 50

/* Search the library's folder, AddDllDirectory folders and System32 only. */
#define APPLICATION_LIBRARY_SEARCH                                           \
    (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS       \
     | LOAD_LIBRARY_SEARCH_SYSTEM32)

typedef int (*run_code_function)(int argc, wchar_t **argv, const wchar_t *library_path);

static wchar_t own_module_path[ONEFILE_PATH_CAPACITY];
static wchar_t child_command_line[COMMAND_LINE_CAPACITY];
static wchar_t executable_directory[ONEFILE_PATH_CAPACITY + 1];
static HANDLE standard_handle_copies[3];
alignas(16) static unsigned char attribute_list_space[ATTRIBUTE_LIST_CAPACITY];
/* The attribute list holds a pointer to it. */
static HANDLE listed_job;

int run_payload_library(const wchar_t *library_path)
{
    AddDllDirectory(unpack_directory);
    /* For the application and the programs it starts (onefile.h). */
    set_environment_value("QALVEN_ONEFILE_UNPACK_DIRECTORY", unpack_directory);
    HMODULE library = LoadLibraryExW(library_path, NULL, APPLICATION_LIBRARY_SEARCH);
    if (library == NULL)
        fatal_system_error("Error, load DLL.", GetLastError());
    run_code_function run_code =
        (run_code_function)(void (*)(void))GetProcAddress(library, "run_code");
    if (run_code == NULL)
        fatal_error("Error, DLL entry point not found.");
    return run_code(__argc, __wargv, library_path);
}

bool take_child_marker(void)
{
    wchar_t *marker = get_environment_value("QALVEN_ONEFILE_CHILD_OF");
    if (marker == NULL)
        return false;
    set_environment_value("QALVEN_ONEFILE_CHILD_OF", NULL);
    wchar_t *parent = get_environment_value("QALVEN_ONEFILE_PARENT");
    return parent != NULL && wcscmp(parent, marker) == 0;
}

void export_child_environment(void)
{
    const wchar_t *executable = get_executable_path(false);
    wcscpy(executable_directory, executable);
    wchar_t *separator = wcsrchr(executable_directory, L'\\');
    if (separator != NULL)
        *separator = L'\0';
    set_environment_value("QALVEN_ONEFILE_DIRECTORY", executable_directory);
    set_environment_value("QALVEN_ORIGINAL_ARGV0", __wargv[0]);
    /* For the child alone: it tells a child that its parent is a fresh start
    ** even when the role check cannot confirm it, so that it never becomes
    ** one itself and starts copy after copy. */
    wchar_t *parent = get_environment_value("QALVEN_ONEFILE_PARENT");
    set_environment_value("QALVEN_ONEFILE_CHILD_OF", parent);
}

/* Each append below returns false, having written a part or nothing,
** when the text does not fit. */
static bool append_text(wchar_t *command_line, size_t capacity, const wchar_t *text, size_t count)
{
    size_t length = wcslen(command_line);
    if (length + count + 1 > capacity)
        return false;
    wmemcpy(command_line + length, text, count);
    command_line[length + count] = L'\0';
    return true;
}

static bool append_backslashes(wchar_t *command_line, size_t capacity, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (!append_text(command_line, capacity, L"\\", 1))
            return false;
    return true;
}

static bool append_quoted(wchar_t *command_line, size_t capacity, const wchar_t *argument)
{
    /* An empty argument needs its quotes, or the child's split loses it. */
    if (argument[0] != L'\0' && wcspbrk(argument, L" \t\n\v\"") == NULL)
        return append_text(command_line, capacity, argument, wcslen(argument));
    if (!append_text(command_line, capacity, L"\"", 1))
        return false;
    for (const wchar_t *p = argument;; p++) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            backslashes++;
            p++;
        }
        if (*p == L'\0') {
            /* Doubled, so that the closing quote stays a quote. */
            if (!append_backslashes(command_line, capacity, 2 * backslashes))
                return false;
            break;
        }
        bool fits = *p == L'"'
                        ? append_backslashes(command_line, capacity, 2 * backslashes + 1)
                              && append_text(command_line, capacity, L"\"", 1)
                        : append_backslashes(command_line, capacity, backslashes)
                              && append_text(command_line, capacity, p, 1);
        if (!fits)
            return false;
    }
    return append_text(command_line, capacity, L"\"", 1);
}

void append_quoted_argument(wchar_t *command_line, size_t capacity, const wchar_t *argument)
{
    if (!append_quoted(command_line, capacity, argument))
        abort();
}

const wchar_t *build_child_command_line(void)
{
    int count = 0;
    /* Split anew rather than reuse __wargv: wildcards reach the child as
    ** typed, and the child's runtime expands them. Never freed. */
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == NULL)
        abort();
    child_command_line[0] = L'\0';
    if (count <= 0)
        return child_command_line;
    arguments[0] = own_module_path;
    for (int i = 0; i < count; i++) {
        if (i > 0 && !append_text(child_command_line, COMMAND_LINE_CAPACITY, L" ", 1))
            return NULL;
        if (!append_quoted(child_command_line, COMMAND_LINE_CAPACITY, arguments[i]))
            return NULL;
    }
    return child_command_line;
}

/* `handle` when a child can inherit it, otherwise an inheritable copy kept
** in `copy`: a handle that is not inheritable reaches a child that inherits
** handles as an invalid value (Windows and newer Wine keep the attribute of
** standard handles too). NULL and invalid handles, and any that cannot be
** copied, as they are. */
static HANDLE inheritable_handle(HANDLE handle, HANDLE *copy)
{
    DWORD flags = 0;
    if (handle == NULL || handle == INVALID_HANDLE_VALUE
        || (GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0))
        return handle;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), copy,
                         0,      /* dwDesiredAccess: ignored for the same access */
                         TRUE,   /* bInheritHandle */
                         DUPLICATE_SAME_ACCESS)) {
        *copy = NULL;
        return handle;
    }
    return *copy;
}

void pass_on_startup_info(STARTUPINFOW *startup)
{
    STARTUPINFOW own = {};
    own.cb = sizeof own;
    GetStartupInfoW(&own);
    /* The C runtime's descriptor table (descriptors past the standard
    ** three, the mode of each) that a runtime parent hands over this way.
    ** The handles it names reached us by inheritance: inheritable still. */
    startup->cbReserved2 = own.cbReserved2;
    startup->lpReserved2 = own.lpReserved2;

    static const DWORD kinds[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE *slots[3] = {&startup->hStdInput, &startup->hStdOutput, &startup->hStdError};
    HANDLE originals[3];
    for (int i = 0; i < 3; i++) {
        originals[i] = GetStdHandle(kinds[i]);
        /* Output and error are often one handle, and stay one. */
        int same = 0;
        while (same < i && originals[same] != originals[i])
            same++;
        *slots[i] = same < i ? *slots[same] : inheritable_handle(originals[i], &standard_handle_copies[i]);
    }
    startup->dwFlags |= STARTF_USESTDHANDLES;
}

void close_standard_handle_copies(void)
{
    for (HANDLE &copy : standard_handle_copies) {
        if (copy != NULL)
            CloseHandle(copy);
        copy = NULL;
    }
}

/* An attribute list that names `job` for the process about to be created;
** NULL where the system has no such attribute (before Windows 10). */
static LPPROC_THREAD_ATTRIBUTE_LIST job_attribute_list(HANDLE job)
{
    LPPROC_THREAD_ATTRIBUTE_LIST list = (LPPROC_THREAD_ATTRIBUTE_LIST)attribute_list_space;
    SIZE_T size = sizeof attribute_list_space;
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
        return NULL;
    listed_job = job;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &listed_job,
                                   sizeof listed_job, NULL, NULL)) {
        DeleteProcThreadAttributeList(list);
        return NULL;
    }
    return list;
}

bool create_process_in_job(const wchar_t *application, wchar_t *command_line, HANDLE job,
                           DWORD flags, const STARTUPINFOW *startup, PROCESS_INFORMATION *created)
{
    /* Created inside the job, the process never runs or waits outside it:
    ** when we are killed a moment after its creation, it ends with us
    ** rather than live on suspended, holding what it inherited. */
    LPPROC_THREAD_ATTRIBUTE_LIST list = job != NULL ? job_attribute_list(job) : NULL;
    if (list != NULL) {
        STARTUPINFOEXW extended = {};
        extended.StartupInfo = *startup;
        extended.StartupInfo.cb = sizeof extended;
        extended.lpAttributeList = list;
        BOOL started = CreateProcessW(application,
                                      command_line,
                                      NULL,   /* lpProcessAttributes */
                                      NULL,   /* lpThreadAttributes */
                                      TRUE,   /* bInheritHandles */
                                      flags | EXTENDED_STARTUPINFO_PRESENT,
                                      NULL,   /* lpEnvironment: ours */
                                      NULL,   /* lpCurrentDirectory: ours */
                                      &extended.StartupInfo,
                                      created);
        DeleteProcThreadAttributeList(list);
        if (started)
            return true;
        /* Perhaps the job refused it: tried once more the older way. */
    }
    STARTUPINFOW plain = *startup;
    if (!CreateProcessW(application, command_line, NULL, NULL, TRUE,
                        flags | CREATE_SUSPENDED,   /* held until it is in the job */
                        NULL, NULL, &plain, created))
        return false;
    /* Refused where this process is in a job that allows no nesting (before
    ** Windows 8): the process then runs without. */
    if (job != NULL)
        AssignProcessToJobObject(job, created->hProcess);
    ResumeThread(created->hThread);
    return true;
}

/* A job that ends the child when this process ends, however it ends: the
** last handle, ours, is closed by the system then. The application's own
** processes break away and live on. NULL when there is none to be had. */
static HANDLE make_child_job(void)
{
    HANDLE job = CreateJobObjectW(NULL,    /* not inheritable: the child must not keep it open */
                                  NULL);   /* lpName */
    if (job == NULL)
        return NULL;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return NULL;
    }
    return job;
}

/* Failures that a moment may cure: a scanner holding the executable
** (sharing or lock violation, access denied), and a system short of
** resources or failing inside (Wine under load reports error 1359). */
static bool is_transient_launch_error(DWORD code)
{
    return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION
        || code == ERROR_LOCK_VIOLATION || code == ERROR_INTERNAL_ERROR
        || code == ERROR_NO_SYSTEM_RESOURCES || code == ERROR_NOT_ENOUGH_MEMORY;
}

/* One attempt, in the same console and process group. Returns 0 or the
** error code. */
static DWORD try_to_launch_child(HANDLE job, const STARTUPINFOW *startup)
{
    PROCESS_INFORMATION created = {};
    begin_unpack_work();
    if (!create_process_in_job(own_module_path, child_command_line, job, NORMAL_PRIORITY_CLASS,
                               startup, &created)) {
        DWORD code = GetLastError();
        end_unpack_work();
        return code;
    }
    CloseHandle(created.hThread);
    child_process = created.hProcess;
    end_unpack_work();
    return 0;
}

void launch_child(void)
{
    if (own_module_path[0] == L'\0'
        && GetModuleFileNameW(NULL, own_module_path, ONEFILE_PATH_CAPACITY) == 0)
        abort();
    /* What Windows answers for a longer line; Wine would cut it instead. */
    if (build_child_command_line() == NULL)
        fatal_system_error("Error, couldn't launch child", ERROR_FILENAME_EXCED_RANGE);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    pass_on_startup_info(&startup);
    /* Kept open for the life of the process. */
    HANDLE job = make_child_job();

    DWORD pause = FIRST_LAUNCH_PAUSE_MS;
    for (int attempt = 1;; attempt++) {
        DWORD code = try_to_launch_child(job, &startup);
        if (code == 0)
            break;
        if (attempt == LAUNCH_ATTEMPTS || !is_transient_launch_error(code))
            fatal_system_error("Error, couldn't launch child", code);
        Sleep(pause);
        pause *= 2;
    }
    close_standard_handle_copies();
}

/* Milliseconds until `deadline`, 0 once it has passed. */
static DWORD time_until(ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : (DWORD)(deadline - now);
}

int wait_for_child(void)
{
    DWORD status = 0;
    bool polling = true;
    ULONGLONG next_poll = GetTickCount64() + SPLASH_POLL_MS;
    for (;;) {
        DWORD waited = MsgWaitForMultipleObjectsEx(1,
                                                   &child_process,
                                                   polling ? time_until(next_poll) : INFINITE,
                                                   QS_ALLINPUT,
                                                   MWMO_INPUTAVAILABLE);
        if (waited == WAIT_OBJECT_0 + 1) {
            pump_window_messages();
            continue;
        }
        if (!GetExitCodeProcess(child_process, &status)) {
            status = 1;
            break;
        }
        /* A child may end with 259 itself: the signalled handle tells. */
        if (status != STILL_ACTIVE || waited == WAIT_OBJECT_0)
            break;
        if (!splash_active || !poll_splash_feedback())
            polling = false;
        next_poll = GetTickCount64() + SPLASH_POLL_MS;
    }
    close_session_window();
    release_child_process();
    return (int)status;
}
