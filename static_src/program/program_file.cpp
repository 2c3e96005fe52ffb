/*
** The packed program as a file: where it lies in the unpack directory, the
** arguments it always gets first, and which subsystem its image asks for.
*/
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "program/program.h"
#include "errors/errors.h"

#define HEADER_READ_SIZE 4096

bool executable_names_program(void)
{
    return FindResourceW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(ONEFILE_PROGRAM_RESOURCE), RT_RCDATA)
        != NULL;
}

DWORD find_program_path(wchar_t *output, const wchar_t *library_path)
{
    HMODULE executable = GetModuleHandleW(NULL);
    HRSRC resource = FindResourceW(executable,
                                   MAKEINTRESOURCEW(ONEFILE_PROGRAM_RESOURCE),
                                   RT_RCDATA);
    HGLOBAL loaded = resource != NULL ? LoadResource(executable, resource) : NULL;
    const wchar_t *relative = loaded != NULL ? (const wchar_t *)LockResource(loaded) : NULL;
    if (relative == NULL) {
        DWORD code = GetLastError();
        /* The caller reads 0 as success. */
        return code != 0 ? code : (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND;
    }
    size_t relative_length = SizeofResource(executable, resource) / sizeof(wchar_t);

    const wchar_t *separator = wcsrchr(library_path, L'\\');
    size_t folder_length = separator != NULL ? (size_t)(separator - library_path) + 1 : 0;
    if (folder_length + relative_length + 1 > ONEFILE_PATH_CAPACITY)
        abort_on_overflow("the program's path");
    wmemcpy(output, library_path, folder_length);
    wmemcpy(output + folder_length, relative, relative_length);
    output[folder_length + relative_length] = L'\0';
    return 0;
}

size_t find_fixed_arguments(const wchar_t **values)
{
    HMODULE executable = GetModuleHandleW(NULL);
    HRSRC resource = FindResourceW(executable,
                                   MAKEINTRESOURCEW(ONEFILE_FIXED_ARGUMENTS_RESOURCE),
                                   RT_RCDATA);
    HGLOBAL loaded = resource != NULL ? LoadResource(executable, resource) : NULL;
    *values = loaded != NULL ? (const wchar_t *)LockResource(loaded) : NULL;
    return *values != NULL ? SizeofResource(executable, resource) / sizeof(wchar_t) : 0;
}

bool is_gui_program(const wchar_t *path)
{
    HANDLE file = CreateFileW(path,
                              GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL,          /* lpSecurityAttributes */
                              OPEN_EXISTING,
                              0,             /* dwFlagsAndAttributes */
                              NULL);         /* hTemplateFile */
    if (file == INVALID_HANDLE_VALUE)
        return false;
    static unsigned char header[HEADER_READ_SIZE];
    DWORD size = 0;
    BOOL read = ReadFile(file, header, sizeof header, &size, NULL);
    CloseHandle(file);
    if (!read || size < sizeof(IMAGE_DOS_HEADER))
        return false;

    IMAGE_DOS_HEADER dos;
    memcpy(&dos, header, sizeof dos);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0)
        return false;
    /* Subsystem lies at the same offset in 32-bit and 64-bit optional headers. */
    size_t nt = (size_t)dos.e_lfanew;
    size_t subsystem_offset = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER)
                            + offsetof(IMAGE_OPTIONAL_HEADER64, Subsystem);
    if (subsystem_offset + sizeof(WORD) > size)
        return false;
    DWORD signature;
    WORD subsystem;
    memcpy(&signature, header + nt, sizeof signature);
    memcpy(&subsystem, header + subsystem_offset, sizeof subsystem);
    return signature == IMAGE_NT_SIGNATURE && subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}
