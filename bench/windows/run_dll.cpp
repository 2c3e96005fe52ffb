/*
** What the peer launcher runs: loads an application library and calls its
** run_code with the remaining arguments, as the bootstrap's re-launched copy
** does. Its exit status is run_code's result. With BENCH_HOST_REPORT set it
** writes there when run_code was entered and when it returned, microseconds
** since 1970: "entered=<t>\nreturned=<t>\n".
**
**   bench_run_dll.exe LIBRARY [ARGUMENTS...]
*/
#include <windows.h>
#include <stdio.h>

typedef int (*run_code_function)(int argc, wchar_t **argv, const wchar_t *library_path);

static long long now_microseconds(void)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    unsigned long long ticks = ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
    return (long long)(ticks / 10) - 11644473600000000LL;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench_run_dll.exe LIBRARY [ARGUMENTS...]\n");
        return 2;
    }
    HMODULE library = LoadLibraryExW(argv[1], NULL,
                                     LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (library == NULL) {
        fprintf(stderr, "bench_run_dll: cannot load %ls (error %lu)\n", argv[1], GetLastError());
        return 2;
    }
    run_code_function run_code = (run_code_function)(void (*)(void))GetProcAddress(library, "run_code");
    if (run_code == NULL) {
        fprintf(stderr, "bench_run_dll: %ls has no run_code\n", argv[1]);
        return 2;
    }
    /* run_code sees the program name first, then the arguments. */
    const wchar_t *library_path = argv[1];
    argv[1] = argv[0];
    long long entered = now_microseconds();
    int status = run_code(argc - 1, argv + 1, library_path);
    long long returned = now_microseconds();
    wchar_t report[32768];
    DWORD length = GetEnvironmentVariableW(L"BENCH_HOST_REPORT", report, 32768);
    if (length > 0 && length < 32768) {
        FILE *file = _wfopen(report, L"wb");
        if (file != NULL) {
            fprintf(file, "entered=%lld\nreturned=%lld\n", entered, returned);
            fclose(file);
        }
    }
    return status;
}
