/*
** Fatal errors: what this start wrote is removed first (see
** set_fatal_error_cleanup), then one line goes to a standard stream and
** the process ends with status 2, or through abort for an overflow. A GUI
** executable whose stream leads nowhere (started from Explorer, it has no
** console) also shows the line in a message box, or its user would see a
** program that does not start.
*/
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include "errors/errors.h"
#include "state/process_state.h"
#include "work_lock/work_lock.h"

#define FATAL_EXIT_STATUS 2
#define ENGLISH_UNITED_STATES 0x409
#define BOX_TEXT_CAPACITY (ONEFILE_PATH_CAPACITY + 1024)

typedef int(WINAPI *message_box_function)(HWND, LPCWSTR, LPCWSTR, UINT);

static wchar_t box_text[BOX_TEXT_CAPACITY];
static wchar_t box_title[ONEFILE_PATH_CAPACITY];
static void (*fatal_error_cleanup)(void);

void set_fatal_error_cleanup(void (*cleanup)(void))
{
    fatal_error_cleanup = cleanup;
}

static bool is_gui_executable(void)
{
    const unsigned char *image = (const unsigned char *)GetModuleHandleW(NULL);
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)image;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(image + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

static bool is_connected(DWORD standard_handle)
{
    HANDLE handle = GetStdHandle(standard_handle);
    if (handle == NULL || handle == INVALID_HANDLE_VALUE)
        return false;
    return GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

bool widen_ascii(wchar_t *wide, size_t capacity, const char *narrow)
{
    size_t length = 0;
    for (; narrow[length] != '\0' && length + 1 < capacity; length++)
        wide[length] = (wchar_t)(unsigned char)narrow[length];
    if (capacity > 0)
        wide[length] = L'\0';
    return narrow[length] == '\0' && capacity > 0;
}

/* Appends the narrow and the wide text to the box's text, cut to fit. */
static void append_text(const char *narrow, const wchar_t *wide)
{
    size_t length = wcslen(box_text);
    if (narrow != NULL) {
        widen_ascii(box_text + length, BOX_TEXT_CAPACITY - length, narrow);
        length += wcslen(box_text + length);
    }
    for (; wide != NULL && *wide != L'\0' && length + 1 < BOX_TEXT_CAPACITY; wide++)
        box_text[length++] = *wide;
    box_text[length] = L'\0';
}

/* user32 is loaded only now, from System32, and only for this. */
static void show_message_box(void)
{
    HMODULE user32 = LoadLibraryExW(L"user32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (user32 == NULL)
        return;
    message_box_function message_box = (message_box_function)(void (*)(void))GetProcAddress(user32, "MessageBoxW");
    if (message_box == NULL)
        return;
    DWORD length = GetModuleFileNameW(NULL, box_title, ONEFILE_PATH_CAPACITY);
    const wchar_t *name = box_title;
    if (length == 0 || length >= ONEFILE_PATH_CAPACITY)
        name = L"";
    for (const wchar_t *p = box_title; *p != L'\0'; p++)
        if (*p == L'\\' || *p == L'/')
            name = p + 1;
    /* A splash still up (its thread did not end in the time the clean-up
    ** gave it) would stand over the box. Hidden, not destroyed: only the
    ** thread that owns it could destroy it. */
    if (splash_window != NULL)
        ShowWindowAsync(splash_window, SW_HIDE);
    message_box(NULL, box_text, name, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

/* The thread that ends this process, by a fatal report or the fresh
** start's own return, else 0. */
static volatile LONG ending_thread;

void claim_process_end(void)
{
    LONG self = (LONG)GetCurrentThreadId();
    LONG ender = InterlockedCompareExchange(&ending_thread, self, 0);
    if (ender == 0 || ender == self)
        return;
    /* What this thread held of unpack work is the ending thread's to
    ** wait for. */
    leave_unpack_work();
    for (;;)
        Sleep(INFINITE);
}

/* "<first><path><last>" and a line end to the stream, after the clean-up. */
static void write_line(FILE *stream, DWORD standard_handle, const char *first, const wchar_t *path,
                       const char *last)
{
    claim_process_end();
    if (fatal_error_cleanup != NULL)
        fatal_error_cleanup();
    bool shown = is_connected(standard_handle)
                 && fprintf(stream, "%s%ls%s\n", first, path, last) >= 0 && fflush(stream) == 0;
    if (!shown && is_gui_executable()) {
        append_text(first, path);
        append_text(last, NULL);
        show_message_box();
    }
}

[[noreturn]] static void end_with_line(FILE *stream, DWORD standard_handle, const char *first,
                                       const wchar_t *path, const char *last)
{
    write_line(stream, standard_handle, first, path, last);
    exit(FATAL_EXIT_STATUS);
}

void fatal_error(const char *message)
{
    end_with_line(stdout, STD_OUTPUT_HANDLE, message, L"", "");
}

void fatal_path_error(const char *before, const wchar_t *path, const char *after)
{
    end_with_line(stderr, STD_ERROR_HANDLE, before, path, after);
}

/* The system's English text for `code` without its line ends. */
static const char *system_text(unsigned long code)
{
    char *text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS
                                      | FORMAT_MESSAGE_FROM_SYSTEM,
                                  NULL,                    /* lpSource */
                                  code,
                                  ENGLISH_UNITED_STATES,   /* dwLanguageId */
                                  (LPSTR)&text,            /* allocated by the system, kept */
                                  0,                       /* nSize */
                                  NULL);                   /* Arguments */
    if (length == 0 || text == NULL)
        return "unknown error"; /* no English text for this code on this system */
    for (DWORD i = length; i-- > 0 && (text[i] == '\r' || text[i] == '\n');)
        text[i] = '\0';
    return text;
}

void fatal_system_error(const char *message, unsigned long code)
{
    fatal_system_path_error(message, L"", "", code);
}

void fatal_system_path_error(const char *before, const wchar_t *path, const char *after, unsigned long code)
{
    static char line[1024];
    snprintf(line, sizeof line, "%s ([Error %ld] %s)", after, (long)code, system_text(code));
    end_with_line(stderr, STD_ERROR_HANDLE, before, path, line);
}

void fatal_start_error(const char *message, const wchar_t *file, unsigned long code)
{
    const char *cause = refused_image_cause(code);
    if (cause == NULL)
        fatal_system_error(message, code);
    static char after[1024];
    snprintf(after, sizeof after, "' %s ([Error %ld] %s)", cause, (long)code, system_text(code));
    end_with_line(stderr, STD_ERROR_HANDLE, "Error, '", file, after);
}

void abort_with_line(const char *before, const wchar_t *path, const char *after)
{
    write_line(stderr, STD_ERROR_HANDLE, before, path, after);
    abort();
}

void abort_on_overflow(const char *what)
{
    static char line[256];
    snprintf(line, sizeof line, "Error, %s does not fit its buffer.", what);
    abort_with_line(line, L"", "");
}

void report_template_failure(const wchar_t *path_template)
{
    abort_with_line("Error, couldn't runtime expand spec '", path_template, "'.");
}

void fatal_out_of_memory(void)
{
    fatal_error("Error, out of memory.");
}
