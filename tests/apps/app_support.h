/*
** What the test applications share: environment values, and text for the
** reports they write, one key=value a line.
*/
#ifndef ONEFILE_TEST_APP_SUPPORT_H
#define ONEFILE_TEST_APP_SUPPORT_H

#include <windows.h>

#include <string>

inline std::wstring variable(const wchar_t *name)
{
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (length == 0 || length >= 32768)
        return std::wstring();
    return std::wstring(value, length);
}

inline bool has_variable(const wchar_t *name)
{
    return GetEnvironmentVariableW(name, NULL, 0) != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

inline std::string utf8(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, NULL, NULL);
    return out;
}

/* Backslash-escapes control characters so each value stays on one line. */
inline std::string escaped(const std::wstring &text)
{
    std::string out;
    for (char c : utf8(text)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\v')
            out += "\\v";
        else
            out += c;
    }
    return out;
}

/* Shows a top-level window of the class `name` with `procedure`, calls
** `shown` (if any) and serves the thread's messages until it quits; 1 when
** the window cannot be made, else 0. */
inline int serve_window(HINSTANCE instance, const wchar_t *name, WNDPROC procedure, void (*shown)(void) = nullptr)
{
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = name;
    RegisterClassW(&window_class);
    HWND window = CreateWindowExW(0, name, name, WS_OVERLAPPEDWINDOW, 100, 100, 320, 200, NULL, NULL, instance, NULL);
    if (window == NULL)
        return 1;
    ShowWindow(window, SW_SHOW);
    if (shown != nullptr)
        shown();
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

#endif
