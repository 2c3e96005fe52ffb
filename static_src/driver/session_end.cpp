/*
** The end of the session. A process with a console that has loaded neither
** user32 nor gdi32 hears logoff and shutdown as console events
** (CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT; cleanup.cpp). Any other process
** receives none: the system asks its top-level windows instead, with
** WM_QUERYENDSESSION and then WM_ENDSESSION, and ends the process about 5 s
** later. Such a fresh start therefore owns a hidden top-level window until
** the end of its wait and dispatches its messages (the splash is served by
** its own thread).
**
** The window libraries cost more than a whole process start, so the window
** is made no earlier than it matters: once the fresh start has run
** SESSION_WINDOW_DELAY_MS, extracting or waiting; a short run (a command
** that answers at once) never pays for it. A session that ends before finds
** no window of ours: the system ends the process (the child with it, after
** the child's own windows had their say), and the next start's sweep
** removes its folder.
**
** The application must meet the end of the session before the clean-up
** ends it. The fresh start asks to be shut down after applications, so
** that on Windows the system is done with the child when our turn comes.
** A system that comes to us first (Wine messages the processes in an order
** of its own) would otherwise end the application before its windows heard
** of it: the clean-up passes the end of the session on to the windows of
** the child and of the processes it started, and waits for their answers,
** before it ends the child.
*/
#include <windows.h>
#include <tlhelp32.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "driver/driver.h"

#define PUMP_INTERVAL_MS 50

/* About two process starts. */
#define SESSION_WINDOW_DELAY_MS 100

/* The last of the levels that applications may take (0x100-0x3FF). */
#define LAST_APPLICATION_SHUTDOWN_LEVEL 0x100

/* How long an application's window may take to answer: Windows' own limit
** for a program that blocks the end of the session. */
#define APPLICATION_ANSWER_MS 5000

#define APPLICATION_PROCESSES_CAPACITY 64

/* What the system's console handling gives a process ended by an event. */
#define SESSION_END_EXIT_STATUS 0xC000013A

static HWND session_window;
/* When a deferred window is due (GetTickCount64), else 0. */
static ULONGLONG session_window_due;
static DWORD last_pump_tick;

/* The child and the processes it started, while the end of the session is
** passed on. */
static DWORD application_processes[APPLICATION_PROCESSES_CAPACITY];
static int application_process_count;

struct session_message {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
};

static void find_application_processes(void)
{
    application_process_count = 0;
    DWORD child_id = child_process != NULL ? GetProcessId(child_process) : 0;
    if (child_id == 0 || !process_is_running(child_process))
        return;
    application_processes[application_process_count++] = child_id;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0 /* all processes */);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == child_id
            && application_process_count < APPLICATION_PROCESSES_CAPACITY)
            application_processes[application_process_count++] = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
}

static BOOL CALLBACK send_to_application_window(HWND window, LPARAM message_pointer)
{
    const session_message *message = (const session_message *)message_pointer;
    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    for (int i = 0; i < application_process_count; i++) {
        if (application_processes[i] == process_id) {
            DWORD_PTR answer = 0;
            SendMessageTimeoutW(window, message->message, message->wparam, message->lparam,
                                SMTO_ABORTIFHUNG, APPLICATION_ANSWER_MS, &answer);
            break;
        }
    }
    return TRUE;
}

/* The session ends whatever the application answers: both messages go to
** every window of it, as the system sends them. */
static void pass_end_of_session_on(LPARAM reason)
{
    find_application_processes();
    if (application_process_count == 0)
        return;
    session_message query = {WM_QUERYENDSESSION, 0, reason};
    EnumWindows(send_to_application_window, (LPARAM)&query);
    session_message end = {WM_ENDSESSION, TRUE, reason};
    EnumWindows(send_to_application_window, (LPARAM)&end);
}

static LRESULT CALLBACK session_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        /* wparam FALSE: another program refused, the session goes on. */
        if (wparam) {
            pass_end_of_session_on(lparam);
            cleanup_before_exit(CHILD_GRACE_BEFORE_SYSTEM_END_MS);
            ExitProcess(SESSION_END_EXIT_STATUS);
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

/* Windows' rule for console events at logoff and shutdown; a splash thread
** loads user32 and gdi32, maybe later than this is asked. Under Wine 8 and
** 10 the end of the session sends no console event at all (wineboot only
** messages windows): such a process runs on, and ends as usual. */
static bool console_hears_session_end(void)
{
    DWORD attached[1];
    return !splash_active && GetConsoleProcessList(attached, 1) != 0
           && GetModuleHandleW(L"user32.dll") == NULL && GetModuleHandleW(L"gdi32.dll") == NULL;
}

void open_session_window(void)
{
    session_window_due = 0;
    SetProcessShutdownParameters(LAST_APPLICATION_SHUTDOWN_LEVEL, 0 /* dwFlags */);
    if (session_window != NULL || console_hears_session_end())
        return;
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = session_window_procedure;
    window_class.hInstance = GetModuleHandleW(NULL);
    window_class.lpszClassName = L"OnefileSession";
    /* A failed registration shows up as a failed creation below. */
    RegisterClassW(&window_class);
    /* Top-level (a message-only window hears no end of the session), never
    ** shown. */
    session_window = CreateWindowExW(0,                   /* dwExStyle */
                                     L"OnefileSession",
                                     NULL,                /* lpWindowName */
                                     WS_OVERLAPPED,       /* not WS_VISIBLE */
                                     0, 0, 0, 0,
                                     NULL,                /* hWndParent: top-level */
                                     NULL,                /* hMenu */
                                     window_class.hInstance,
                                     NULL);               /* lpParam */
    last_pump_tick = GetTickCount();
}

void defer_session_window(void)
{
    session_window_due = GetTickCount64() + SESSION_WINDOW_DELAY_MS;
}

DWORD session_window_due_in(void)
{
    if (session_window_due == 0)
        return INFINITE;
    ULONGLONG now = GetTickCount64();
    return now >= session_window_due ? 0 : (DWORD)(session_window_due - now);
}

void pump_window_messages(void)
{
    MSG message;
    while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    last_pump_tick = GetTickCount();
}

void pump_window_messages_now_and_then(void)
{
    if (GetTickCount() - last_pump_tick < PUMP_INTERVAL_MS)
        return;
    if (session_window_due_in() == 0)
        open_session_window();
    /* Without a window, a look at the queue would load user32 for nothing. */
    if (has_windows_to_serve())
        pump_window_messages();
    last_pump_tick = GetTickCount();
}

bool has_windows_to_serve(void)
{
    return session_window != NULL;
}

void close_session_window(void)
{
    if (session_window != NULL) {
        DestroyWindow(session_window);
        session_window = NULL;
    }
}
