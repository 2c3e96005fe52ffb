/*
** A test application with a window that saves its work when the session
** ends, as editors do. Built twice from this source: as a GUI program
** (session_app.exe) and as a library exporting run_code (session_app.dll).
**
**   SESSION_APP_LOG=<file>  one line appended per event: "window" once the
**                           window is up, "query" for WM_QUERYENDSESSION,
**                           "end 1" or "end 0" for WM_ENDSESSION and, after
**                           "end 1", "saved" once the second that saving
**                           takes has passed
**
** It runs until its window is destroyed, or until the system ends it.
*/
#include <windows.h>
#include <stdio.h>

#include <string>

#include "app_support.h"

#define SAVING_MS 1000

static void log_event(const char *event)
{
    FILE *file = _wfopen(variable(L"SESSION_APP_LOG").c_str(), L"ab");
    if (file == NULL)
        return;
    fprintf(file, "%s\n", event);
    fclose(file);
}

static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        log_event("query");
        return TRUE;
    case WM_ENDSESSION:
        log_event(wparam ? "end 1" : "end 0");
        if (wparam) {
            Sleep(SAVING_MS);
            log_event("saved");
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

static void log_window(void)
{
    log_event("window");
}

static int run_window(HINSTANCE instance)
{
    return serve_window(instance, L"OnefileSessionApp", window_procedure, log_window);
}

#ifdef SESSION_APP_LIBRARY
static HINSTANCE library_instance;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        library_instance = instance;
    return TRUE;
}

extern "C" __declspec(dllexport) int run_code(int, wchar_t **, const wchar_t *)
{
    return run_window(library_instance);
}
#else
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    return run_window(instance);
}
#endif
