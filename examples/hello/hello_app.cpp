/*
** The smallest application worth packing: it greets, lists its arguments
** and the folder it runs from, ends the splash screen, and returns the
** status given as its first argument, if any.
*/
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

/* The bootstrap's splash stays up until this file is gone. */
static void end_splash_screen(void)
{
    wchar_t temp[MAX_PATH + 1];
    wchar_t parent[32];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || GetEnvironmentVariableW(L"QALVEN_ONEFILE_PARENT", parent, 32) == 0)
        return;
    std::wstring folder(temp, length);
    while (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    DeleteFileW((folder + L"\\onefile_" + parent + L"_splash_feedback.tmp").c_str());
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path)
{
    printf("Hello from a one-file executable.\n");
    printf("Running %ls\n", library_path);
    for (int i = 1; i < argc; i++)
        printf("argument %d: %ls\n", i, argv[i]);
    end_splash_screen();
    fflush(stdout);
    return argc > 1 ? _wtoi(argv[1]) : 0;
}
