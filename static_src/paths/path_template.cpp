/*
** Path templates: literal text with placeholders in braces, such as
** "{TEMP}\onefile_{PID}_{TIME_US}_{RANDOM}". Values that must be the same in
** every process of one run ({RANDOM}, {TIME_US}, {TIME}) are computed once
** and kept in the environment, which children inherit.
*/
#include <windows.h>
#include <ntsecapi.h>
#include <shlobj.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "paths/paths.h"
#include "errors/errors.h"

#define RANDOM_TOKEN_LENGTH ONEFILE_RANDOM_TOKEN_LENGTH

static const char random_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

/* The output under construction: buffer, capacity, units used so far. */
struct template_output {
    wchar_t *text;
    size_t capacity;
    size_t length;
};

/* Appends a value; one that does not fit with its terminator ends the
** process, since no caller can do anything sensible with half a path. */
static void append_value(template_output *out, const wchar_t *value)
{
    size_t length = wcslen(value);
    if (out->length + length + 1 > out->capacity)
        abort_on_overflow("an expanded path");
    wmemcpy(out->text + out->length, value, length + 1);
    out->length += length;
}


static void strip_trailing_backslashes(template_output *out)
{
    while (out->length > 0 && out->text[out->length - 1] == L'\\')
        out->text[--out->length] = L'\0';
}

/* 100-nanosecond intervals since 1601-01-01 UTC, as a signed count. */
static int64_t current_file_time(void)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (int64_t)(((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime);
}

static uint32_t fold_to_32_bits(uint64_t value)
{
    return (uint32_t)(value >> 32) ^ (uint32_t)value;
}

/* Eight bytes from the system's cryptographic generator; where it fails,
** from an xorshift generator seeded by the performance counter, a stack
** address and the process id. */
static void random_bytes(unsigned char bytes[8])
{
    if (RtlGenRandom(bytes, 8))
        return;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint32_t state = fold_to_32_bits((uint64_t)counter.QuadPart)
                   ^ fold_to_32_bits((uint64_t)(uintptr_t)&counter)
                   ^ (uint32_t)GetCurrentProcessId();
    if (state == 0)
        state = 1;
    for (int i = 0; i < 8; i++) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = (unsigned char)(state & 0xff);
    }
}

void make_random_token(wchar_t *token)
{
    unsigned char bytes[8];
    random_bytes(bytes);
    int indices[RANDOM_TOKEN_LENGTH];
    int n = 0;
    for (int group = 0; group < 6; group += 3) {
        const unsigned char *b = bytes + group;
        indices[n++] = b[0] >> 2;
        indices[n++] = ((b[0] & 3) << 4) | (b[1] >> 4);
        indices[n++] = ((b[1] & 15) << 2) | (b[2] >> 6);
        indices[n++] = b[2] & 63;
    }
    indices[n++] = bytes[6] >> 2;
    indices[n++] = ((bytes[6] & 3) << 4) | (bytes[7] >> 4);
    indices[n++] = (bytes[7] & 15) << 2;

    for (int i = 0; i < RANDOM_TOKEN_LENGTH; i++)
        token[i] = (wchar_t)random_alphabet[indices[i]];
    token[RANDOM_TOKEN_LENGTH] = L'\0';
}

bool is_random_token_unit(wchar_t unit)
{
    return unit != L'\0' && unit <= 0x7f && strchr(random_alphabet, (char)unit) != NULL;
}

static bool is_random_token(const wchar_t *value)
{
    size_t length = wcslen(value);
    if (length != RANDOM_TOKEN_LENGTH)
        return false;
    for (size_t i = 0; i < length; i++)
        if (!is_random_token_unit(value[i]))
            return false;
    return true;
}

static bool is_digits(const wchar_t *value, size_t min_length, size_t max_length)
{
    size_t length = wcslen(value);
    if (length < min_length || length > max_length)
        return false;
    for (size_t i = 0; i < length; i++)
        if (value[i] < L'0' || value[i] > L'9')
            return false;
    return true;
}

static bool is_time_us(const wchar_t *value) { return is_digits(value, ONEFILE_TIME_US_DIGITS, ONEFILE_TIME_US_DIGITS); }

/* A 64-bit count of 100-nanosecond intervals. */
static bool is_start_time(const wchar_t *value) { return is_digits(value, 1, 19); }

/* Appends the value that an earlier expansion, here or in an ancestor
** process, stored in the variable; false when there is none. A value of
** another shape than this code writes was not written by it (it could
** lead the path anywhere) and counts as none. */
static bool append_stored_value(template_output *out, const char *variable,
                                bool (*has_shape)(const wchar_t *))
{
    wchar_t *value = get_environment_value(variable);
    if (value == NULL)
        return false;
    bool usable = has_shape(value);
    if (usable)
        append_value(out, value);
    free(value);
    return usable;
}

/* Stores a freshly computed value for later expansions, then appends it. */
static void store_and_append(template_output *out, const char *variable, const wchar_t *value)
{
    set_environment_value(variable, value);
    append_value(out, value);
}

static bool append_temp(template_output *out)
{
    DWORD room = (DWORD)(out->capacity - out->length);
    DWORD length = GetTempPathW(room, out->text + out->length);
    /* Failure, or a folder that does not fit: without it the path would
    ** land at the root of the current drive. */
    if (length == 0 || length >= room) {
        out->text[out->length] = L'\0';
        return false;
    }
    out->length += length;
    strip_trailing_backslashes(out);
    return true;
}

static bool append_program(template_output *out)
{
    if (__argc < 1 || __wargv == NULL || __wargv[0] == NULL)
        fatal_error("Error, the command line names no program.");
    append_value(out, __wargv[0]);
    return true;
}

static bool append_program_base(template_output *out)
{
    size_t start = out->length;
    append_program(out);
    wchar_t *inserted = out->text + start;
    size_t length = out->length - start;
    if (length >= 4 && _wcsicmp(inserted + length - 4, L".exe") == 0) {
        out->length -= 4;
        out->text[out->length] = L'\0';
    }
    return true;
}

static bool append_program_dir(template_output *out)
{
    size_t start = out->length;
    append_program(out);
    wchar_t *separator = wcsrchr(out->text + start, L'\\');
    if (separator != NULL) {
        *separator = L'\0';
        out->length = (size_t)(separator - out->text);
    }
    return true;
}

static bool append_pid(template_output *out)
{
    wchar_t *parent = get_environment_value("QALVEN_ONEFILE_PARENT");
    if (parent != NULL) {
        for (const wchar_t *p = parent; *p; p++) {
            if (*p < L'0' || *p > L'9')
                fatal_error("Error, QALVEN_ONEFILE_PARENT is not a process id.");
        }
        append_value(out, parent);
        return true;
    }
    char text[32];
    wchar_t wide[32];
    snprintf(text, sizeof text, "%ld", (long)GetCurrentProcessId());
    widen_ascii(wide, 32, text);
    append_value(out, wide);
    return true;
}

static bool append_folder(template_output *out, int folder)
{
    wchar_t path[MAX_PATH];
    if (SHGetFolderPathW(NULL, folder, NULL, SHGFP_TYPE_CURRENT, path) != S_OK)
        return false;
    append_value(out, path);
    strip_trailing_backslashes(out);
    return true;
}

static bool append_random(template_output *out)
{
    if (append_stored_value(out, "QALVEN_ONEFILE_RANDOM", is_random_token))
        return true;
    wchar_t token[RANDOM_TOKEN_LENGTH + 1];
    make_random_token(token);
    store_and_append(out, "QALVEN_ONEFILE_RANDOM", token);
    return true;
}

static bool append_time_us(template_output *out)
{
    if (append_stored_value(out, "QALVEN_ONEFILE_TIME_US", is_time_us))
        return true;
    char text[32];
    wchar_t wide[32];
    snprintf(text, sizeof text, "%06ld", (long)((current_file_time() / 10) % 1000000));
    widen_ascii(wide, 32, text);
    store_and_append(out, "QALVEN_ONEFILE_TIME_US", wide);
    return true;
}

static bool append_time(template_output *out)
{
    if (append_stored_value(out, "QALVEN_ONEFILE_START", is_start_time))
        return true;
    char text[32];
    wchar_t wide[32];
    snprintf(text, sizeof text, "%lld", (long long)current_file_time());
    widen_ascii(wide, 32, text);
    store_and_append(out, "QALVEN_ONEFILE_START", wide);
    return true;
}

static bool append_placeholder(template_output *out, placeholder_id id)
{
    switch (id) {
    case PLACEHOLDER_TEMP:
        return append_temp(out);
    case PLACEHOLDER_CACHE_DIR:
        return append_folder(out, CSIDL_LOCAL_APPDATA);
    case PLACEHOLDER_HOME:
        return append_folder(out, CSIDL_PROFILE);
    case PLACEHOLDER_PROGRAM:
        return append_program(out);
    case PLACEHOLDER_PROGRAM_BASE:
        return append_program_base(out);
    case PLACEHOLDER_PROGRAM_DIR:
        return append_program_dir(out);
    case PLACEHOLDER_PID:
        return append_pid(out);
    case PLACEHOLDER_TIME_US:
        return append_time_us(out);
    case PLACEHOLDER_RANDOM:
        return append_random(out);
    case PLACEHOLDER_TIME:
        return append_time(out);
    default:
        return false;
    }
}

bool expand_path_template(wchar_t *output, const wchar_t *path_template, size_t capacity)
{
    if (capacity == 0)
        abort_on_overflow("an expanded path");
    template_output out = {output, capacity, 0};
    output[0] = L'\0';
    template_piece piece;
    for (size_t at = 0; next_template_piece(path_template, &at, &piece);) {
        const wchar_t *text = path_template + piece.start;
        if (piece.kind == TEMPLATE_STRAY_CLOSE)
            return false;
        if (piece.kind == TEMPLATE_PLACEHOLDER
            && !append_placeholder(&out, find_placeholder(text, piece.length)))
            return false;
        if (piece.kind != TEMPLATE_LITERAL)
            continue;
        if (out.length + piece.length + 1 > out.capacity)
            return false;
        wmemcpy(output + out.length, text, piece.length);
        out.length += piece.length;
        output[out.length] = L'\0';
    }
    return true;
}
