/*
** The end of the session. A GUI process receives no console events for
** logoff and shutdown: the system asks its top-level windows instead, with
** WM_QUERYENDSESSION and then WM_ENDSESSION, and ends the process about 5 s
** later. A fresh start therefore owns a hidden top-level window from the
** splash until the end of its wait and dispatches its messages; the same
** pump keeps the splash answering, which Windows would otherwise mark as
** not responding after 5 s.
*/
#include <windows.h>

#include "driver/driver.h"

#define PUMP_INTERVAL_MS 50

/* What the system's console handling gives a process ended by an event. */
#define SESSION_END_EXIT_STATUS 0xC000013A

static HWND session_window;
static DWORD last_pump_tick;

static LRESULT CALLBACK session_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        /* wparam FALSE: another program refused, the session goes on. */
        if (wparam) {
            cleanup_before_exit(CHILD_GRACE_BEFORE_SYSTEM_END_MS);
            ExitProcess(SESSION_END_EXIT_STATUS);
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

void open_session_window(void)
{
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
    if (GetTickCount() - last_pump_tick >= PUMP_INTERVAL_MS)
        pump_window_messages();
}

void close_session_window(void)
{
    if (session_window != NULL) {
        DestroyWindow(session_window);
        session_window = NULL;
    }
}
