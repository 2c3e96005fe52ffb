/*
** Runs one bootstrap function per invocation and prints its result, for
** tests that must watch a process end (abort) or span two processes.
**
**   path_probe expand CAPACITY TEMPLATE     "true|output" or "false"
**   path_probe expand-in-child TEMPLATE     expands as a fresh start, then a child
**   path_probe role                         "relaunched" or "fresh"
**   path_probe sleep                        waits a minute (a live process)
**   path_probe executable                   plain and resolved own path
**   path_probe resolve CAPACITY PATH        resolve_final_path's result
**   path_probe fatal-system CODE            fatal_system_error with CODE
**   path_probe fatal-start CODE PATH        fatal_start_error with CODE for PATH
**   path_probe create-unpack PATH           create_unpack_directory at PATH
*/
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

#include "attached_data/attached_data.h"
#include "driver/driver.h"
#include "paths/paths.h"

static wchar_t output[ONEFILE_PATH_CAPACITY * 2];

static void print_line(const wchar_t *text)
{
    char utf8[ONEFILE_PATH_CAPACITY * 8];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    printf("%s\n", utf8);
    fflush(stdout);
}

static int expand(size_t capacity, const wchar_t *path_template)
{
    if (capacity > sizeof output / sizeof output[0])
        return 64;
    if (!expand_path_template(output, path_template, capacity)) {
        print_line(L"false");
        return 0;
    }
    wchar_t line[ONEFILE_PATH_CAPACITY * 2 + 8];
    swprintf(line, sizeof line / sizeof line[0], L"true|%ls", output);
    print_line(line);
    return 0;
}

/* Expands as a fresh start does, with QALVEN_ONEFILE_PARENT set to the own
** id, then lets a child that inherits the environment expand it again. */
static int expand_in_child(const wchar_t *path_template)
{
    set_environment_value("QALVEN_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId()).c_str());
    expand(ONEFILE_PATH_CAPACITY, path_template);
    wchar_t self[ONEFILE_PATH_CAPACITY];
    GetModuleFileNameW(NULL, self, ONEFILE_PATH_CAPACITY);
    wchar_t command_line[3 * ONEFILE_PATH_CAPACITY];
    swprintf(command_line, sizeof command_line / sizeof command_line[0],
             L"\"%ls\" expand 4096 \"%ls\"", self, path_template);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    if (!CreateProcessW(self, command_line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &created))
        return 65;
    WaitForSingleObject(created.hProcess, INFINITE);
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2)
        return 64;
    const wchar_t *verb = argv[1];
    if (wcscmp(verb, L"expand") == 0 && argc == 4)
        return expand(wcstoul(argv[2], NULL, 10), argv[3]);
    if (wcscmp(verb, L"expand-in-child") == 0 && argc == 3)
        return expand_in_child(argv[2]);
    if (wcscmp(verb, L"role") == 0) {
        print_line(is_relaunched_copy() ? L"relaunched" : L"fresh");
        return 0;
    }
    if (wcscmp(verb, L"sleep") == 0) {
        Sleep(60000);
        return 0;
    }
    if (wcscmp(verb, L"executable") == 0) {
        print_line(get_executable_path(false));
        print_line(get_executable_path(true));
        return 0;
    }
    if (wcscmp(verb, L"resolve") == 0 && argc == 4) {
        size_t capacity = wcstoul(argv[2], NULL, 10);
        if (capacity > sizeof output / sizeof output[0] || wcslen(argv[3]) >= capacity)
            return 64;
        wcscpy(output, argv[3]);
        resolve_final_path(output, capacity);
        print_line(output);
        return 0;
    }
    if (wcscmp(verb, L"create-unpack") == 0 && argc == 3 && wcslen(argv[2]) < ONEFILE_PATH_CAPACITY) {
        wcscpy(unpack_directory, argv[2]);
        create_unpack_directory();
        print_line(L"created");
        return 0;
    }
    if (wcscmp(verb, L"fatal-system") == 0 && argc == 3)
        fatal_system_error("Error, couldn't launch child", (DWORD)wcstoul(argv[2], NULL, 10));
    if (wcscmp(verb, L"fatal-start") == 0 && argc == 4)
        fatal_start_error("Error, couldn't launch program", argv[3], (DWORD)wcstoul(argv[2], NULL, 10));
    return 64;
}
