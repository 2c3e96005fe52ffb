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

#endif
