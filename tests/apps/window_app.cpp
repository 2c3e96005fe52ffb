/*
** A test program: an ordinary GUI program that knows nothing of packing.
** The tests choose its behaviour through WINDOW_APP_* environment
** variables, so that its command line stays exactly what the caller typed.
**
**   WINDOW_APP_REPORT=<file>  write what the program saw, one key=value a
**                             line, as soon as it starts
**   WINDOW_APP_HOLD=<file>    then wait until this file exists
**   WINDOW_APP_WINDOW=1       then show a window and run until it is closed
**   WINDOW_APP_EXIT=<n>       the exit status, a 32-bit number in C notation
**                             (default 0)
**
** Its runtime expands wildcards in the arguments, as programs built with
** wildcard expansion do.
*/
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>

#include "app_support.h"

extern "C" {
int _dowildcard = -1;
}

static void write_report(const std::wstring &path)
{
    static const wchar_t *const variables[] = {
        L"QALVEN_ONEFILE_PARENT", L"QALVEN_ONEFILE_DIRECTORY", L"QALVEN_ORIGINAL_ARGV0",
        L"WINDOW_APP_EXIT"};
    std::string out = "argc=" + std::to_string(__argc) + "\n";
    for (int i = 0; i < __argc; i++)
        out += "argv." + std::to_string(i) + "=" + escaped(__wargv[i]) + "\n";
    out += "command_line=" + escaped(GetCommandLineW()) + "\n";
    static wchar_t text[32768];
    GetModuleFileNameW(NULL, text, 32768);
    out += "image=" + escaped(text) + "\n";
    GetCurrentDirectoryW(32768, text);
    out += "cwd=" + escaped(text) + "\n";
    for (const wchar_t *name : variables)
        out += "env." + utf8(name) + "=" + escaped(variable(name)) + "\n";
    out += "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
    /* Under another name first: a test that sees the file sees it whole. */
    std::wstring partial = path + L".partial";
    FILE *file = _wfopen(partial.c_str(), L"wb");
    if (file == NULL)
        return;
    fwrite(out.data(), 1, out.size(), file);
    fclose(file);
    MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    std::wstring report = variable(L"WINDOW_APP_REPORT");
    if (!report.empty())
        write_report(report);
    std::wstring hold = variable(L"WINDOW_APP_HOLD");
    if (!hold.empty())
        while (GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES)
            Sleep(10);
    if (variable(L"WINDOW_APP_WINDOW") == L"1")
        serve_window(instance, L"OnefileWindowApp", window_procedure);
    return (int)wcstoul(variable(L"WINDOW_APP_EXIT").c_str(), NULL, 0);
}
