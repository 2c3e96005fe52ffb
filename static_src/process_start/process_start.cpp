/*
** Starting a process as if it had been started in our place: its command
** line quoted by the system's splitting rules, what we were given passed on
** (standard handles, the C runtime's descriptor block), and the job it runs
** in; and the system's splitting of a command line into arguments. The
** bootstrap's child start and the program's start share it.
*/
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#include "errors/errors.h"
#include "process_start/process_start.h"

/* Room for an attribute list of one entry (48 bytes on x64). */
#define ATTRIBUTE_LIST_CAPACITY 256

/* Inheritable copies of standard handles, until the process has started. */
static HANDLE standard_handle_copies[3];
alignas(16) static unsigned char attribute_list_space[ATTRIBUTE_LIST_CAPACITY];
/* The attribute list holds a pointer to it. */
static HANDLE listed_job;

static bool is_blank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

const wchar_t *skip_argument_zero(const wchar_t *command_line)
{
    const wchar_t *p = command_line;
    if (*p == L'"') {
        p++;
        while (*p != L'\0' && *p++ != L'"')
            ;
        return p;
    }
    while (*p != L'\0' && !is_blank(*p))
        p++;
    return p;
}

/* Argument 0 of `line` into `argument`; returns where it ends. */
static const wchar_t *read_argument_zero(const wchar_t *line, wchar_t *argument)
{
    const wchar_t *end = skip_argument_zero(line);
    const wchar_t *first = line[0] == L'"' ? line + 1 : line;
    const wchar_t *last = line[0] == L'"' && end > first && end[-1] == L'"' ? end - 1 : end;
    wmemcpy(argument, first, (size_t)(last - first));
    argument[last - first] = L'\0';
    return end;
}

/* A further argument from `p` into `argument`; returns where it ends. 2n
** backslashes and a quote give n backslashes and open or close the quotes,
** 2n + 1 give n and a quote; backslashes before anything else stay as
** they are. Within quotes, a doubled quote gives one and ends the quotes,
** and of three quotes in a row the third gives one. */
static const wchar_t *read_further_argument(const wchar_t *p, wchar_t *argument)
{
    size_t length = 0, backslashes = 0;
    /* 1 within quotes; 2 right after the quote that closed them. */
    int quotes = 0;
    while (*p != L'\0' && !(is_blank(*p) && quotes == 0)) {
        if (*p == L'\\') {
            argument[length++] = *p++;
            backslashes++;
            continue;
        }
        if (*p != L'"') {
            argument[length++] = *p++;
            backslashes = 0;
            continue;
        }
        length -= backslashes / 2;
        if (backslashes % 2 == 0) {
            quotes++;
        } else {
            argument[length - 1] = L'"';
        }
        p++;
        backslashes = 0;
        for (; *p == L'"'; p++) {
            if (++quotes == 3) {
                argument[length++] = L'"';
                quotes = 0;
            }
        }
        if (quotes == 2)
            quotes = 0;
    }
    argument[length] = L'\0';
    return p;
}

bool next_argument(const wchar_t *line, const wchar_t **position, wchar_t *argument)
{
    const wchar_t *p = *position;
    if (p == line)
        p = read_argument_zero(line, argument);
    else if (*p != L'\0')
        p = read_further_argument(p, argument);
    else
        return false;
    while (is_blank(*p))
        p++;
    *position = p;
    return true;
}

bool append_units(wchar_t *line, size_t capacity, size_t *length, const wchar_t *text, size_t count)
{
    if (*length + count + 1 > capacity)
        return false;
    wmemcpy(line + *length, text, count);
    *length += count;
    line[*length] = L'\0';
    return true;
}

static bool append_backslashes(wchar_t *line, size_t capacity, size_t *length, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (!append_units(line, capacity, length, L"\\", 1))
            return false;
    return true;
}

bool append_quoted(wchar_t *line, size_t capacity, size_t *length, const wchar_t *argument)
{
    /* An empty argument needs its quotes, or the child's split loses it. */
    if (argument[0] != L'\0' && wcspbrk(argument, L" \t\n\v\"") == NULL)
        return append_units(line, capacity, length, argument, wcslen(argument));
    if (!append_units(line, capacity, length, L"\"", 1))
        return false;
    for (const wchar_t *p = argument;; p++) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            backslashes++;
            p++;
        }
        if (*p == L'\0') {
            /* Doubled, so that the closing quote stays a quote. */
            if (!append_backslashes(line, capacity, length, 2 * backslashes))
                return false;
            break;
        }
        bool fits = *p == L'"'
                        ? append_backslashes(line, capacity, length, 2 * backslashes + 1)
                              && append_units(line, capacity, length, L"\"", 1)
                        : append_backslashes(line, capacity, length, backslashes)
                              && append_units(line, capacity, length, p, 1);
        if (!fits)
            return false;
    }
    return append_units(line, capacity, length, L"\"", 1);
}

void append_quoted_argument(wchar_t *command_line, size_t capacity, const wchar_t *argument)
{
    size_t length = wcslen(command_line);
    if (!append_quoted(command_line, capacity, &length, argument))
        abort_on_overflow("the child's command line");
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

HANDLE make_kill_on_close_job(void)
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
    /* A thread created suspended a moment ago: resuming it cannot fail. */
    ResumeThread(created->hThread);
    return true;
}
