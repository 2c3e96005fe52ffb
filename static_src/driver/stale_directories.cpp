/*
** The sweep of a fresh start: unpack directories that a killed bootstrap
** left behind (nothing runs its clean-up then) are removed by a later fresh
** start of an executable with the same unpack template, a few per start.
**
** A directory is one of this template's when its name has the shape of the
** template's last folder name: the literal text and the other placeholders
** as this start expands them, and in place of each per-run placeholder a
** value of the shape the expansion writes. It is stale when all of these
** hold:
** - its DACL is the one the bootstrap gives the directories it makes, so
**   that a folder of the same shape that another program made is left
**   alone. Only where the volume keeps DACLs, as our own directory shows:
**   elsewhere (FAT, some shares, Wine) every folder reads back alike;
** - its lock (paths.h) can be taken: no process holds it any more;
** - a process id in its name names no process that was already running
**   when the directory was made. This also guards directories whose lock
**   could not be made.
*/
#include <windows.h>
#include <wchar.h>

#include "attached_data/attached_data.h"
#include "driver/driver.h"

/* Removals per start: a TEMP full of stale directories delays no start's
** end by much; the rest go at later starts. */
#define SWEEP_LIMIT 8

/* Steps of the name match: a template whose placeholders of varying length
** follow one another could make the backtracking slow. */
#define MATCH_STEP_LIMIT 10000

#define PATTERN_ITEMS_CAPACITY 128
#define NAME_CAPACITY 256

enum pattern_kind { LITERAL, PROCESS_ID, TIME_US, RANDOM_TOKEN, FILE_TIME };

struct pattern_item {
    pattern_kind kind;
    size_t start;      /* LITERAL: its text in pattern_text */
    size_t length;
};

/* The template's last folder name, compiled once per sweep. */
static pattern_item pattern[PATTERN_ITEMS_CAPACITY];
static int pattern_count;
static wchar_t pattern_text[ONEFILE_PATH_CAPACITY];
static size_t pattern_text_length;

static wchar_t stale_path[ONEFILE_PATH_CAPACITY];
static wchar_t expanded[ONEFILE_PATH_CAPACITY];

static bool is_digit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

static bool add_item(pattern_kind kind, size_t start, size_t length)
{
    if (pattern_count == PATTERN_ITEMS_CAPACITY)
        return false;
    pattern[pattern_count++] = {kind, start, length};
    return true;
}

/* Appends literal text, merged with a literal just before it. */
static bool add_literal(const wchar_t *text, size_t length)
{
    if (length == 0)
        return true;
    if (pattern_text_length + length + 1 > ONEFILE_PATH_CAPACITY)
        return false;
    wmemcpy(pattern_text + pattern_text_length, text, length);
    if (pattern_count > 0 && pattern[pattern_count - 1].kind == LITERAL) {
        pattern[pattern_count - 1].length += length;
    } else if (!add_item(LITERAL, pattern_text_length, length)) {
        return false;
    }
    pattern_text_length += length;
    return true;
}

static bool add_placeholder(const wchar_t *name, size_t length)
{
    switch (find_placeholder(name, length)) {
    case PLACEHOLDER_PID:
        return add_item(PROCESS_ID, 0, 0);
    case PLACEHOLDER_TIME_US:
        return add_item(TIME_US, 0, 0);
    case PLACEHOLDER_RANDOM:
        return add_item(RANDOM_TOKEN, 0, 0);
    case PLACEHOLDER_TIME:
        return add_item(FILE_TIME, 0, 0);
    default:
        break;
    }
    /* The same in every start of this executable: its value as text. */
    wchar_t one[NAME_CAPACITY + 3];
    if (length > NAME_CAPACITY)
        return false;
    one[0] = L'{';
    wmemcpy(one + 1, name, length);
    one[length + 1] = L'}';
    one[length + 2] = L'\0';
    if (!expand_path_template(expanded, one, ONEFILE_PATH_CAPACITY) || wcspbrk(expanded, L"\\/") != NULL)
        return false;
    return add_literal(expanded, wcslen(expanded));
}

/* Compiles the pieces after the last backslash of the template's literal
** text, as the expansion reads them (format/template_syntax.h). False when
** the name cannot be matched. */
static bool compile_last_name(const wchar_t *path_template)
{
    pattern_count = 0;
    pattern_text_length = 0;
    size_t last = 0;
    template_piece piece;
    for (size_t at = 0; next_template_piece(path_template, &at, &piece);) {
        for (size_t i = piece.start; piece.kind == TEMPLATE_LITERAL && i < piece.start + piece.length; i++) {
            if (path_template[i] == L'\\')
                last = i + 1;
        }
    }
    for (size_t at = last; next_template_piece(path_template, &at, &piece);) {
        const wchar_t *text = path_template + piece.start;
        bool compiled = piece.kind == TEMPLATE_LITERAL       ? add_literal(text, piece.length)
                      : piece.kind == TEMPLATE_PLACEHOLDER   ? add_placeholder(text, piece.length)
                      : piece.kind == TEMPLATE_UNCLOSED;     /* dropped, as the expansion drops it */
        if (!compiled)
            return false;
    }
    return true;
}

/* Whether `name` from `item` on matches the pattern; sets *process_id from
** a process id in it. Counts its steps in *steps. */
static bool match_from(int item, const wchar_t *name, DWORD *process_id, int *steps)
{
    if (++*steps > MATCH_STEP_LIMIT)
        return false;
    if (item == pattern_count)
        return *name == L'\0';
    const pattern_item &at = pattern[item];
    switch (at.kind) {
    case LITERAL:
        return _wcsnicmp(name, pattern_text + at.start, at.length) == 0
            && match_from(item + 1, name + at.length, process_id, steps);
    case RANDOM_TOKEN:
        for (int i = 0; i < ONEFILE_RANDOM_TOKEN_LENGTH; i++) {
            if (!is_random_token_unit(name[i]))
                return false;
        }
        return match_from(item + 1, name + ONEFILE_RANDOM_TOKEN_LENGTH, process_id, steps);
    case TIME_US:
        for (int i = 0; i < ONEFILE_TIME_US_DIGITS; i++) {
            if (!is_digit(name[i]))
                return false;
        }
        return match_from(item + 1, name + ONEFILE_TIME_US_DIGITS, process_id, steps);
    case PROCESS_ID:
    case FILE_TIME: {
        /* As many digits as "%ld" of a process id or "%lld" of a file time gives. */
        int most = at.kind == PROCESS_ID ? 10 : 19;
        unsigned long long value = 0;
        for (int digits = 1; digits <= most && is_digit(name[digits - 1]); digits++) {
            value = value * 10 + (unsigned long long)(name[digits - 1] - L'0');
            if (at.kind == PROCESS_ID && value > 0xFFFFFFFFull)
                return false;
            if (match_from(item + 1, name + digits, process_id, steps)) {
                if (at.kind == PROCESS_ID)
                    *process_id = (DWORD)value;
                return true;
            }
        }
        return false;
    }
    }
    return false;
}

static ULONGLONG as_number(FILETIME time)
{
    return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

/* Whether a process that may have made a directory at `made` still runs
** under `process_id`. A process we may not look at counts as running; one
** started after the directory was made only reuses the id. */
static bool owner_may_live(DWORD process_id, FILETIME made)
{
    if (process_id == GetCurrentProcessId())
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                                 FALSE,                 /* bInheritHandle */
                                 process_id);
    if (process == NULL)
        return GetLastError() != ERROR_INVALID_PARAMETER;
    FILETIME created, exited, kernel, user;
    bool lives = process_is_running(process)
              && (!GetProcessTimes(process, &created, &exited, &kernel, &user)
                  || as_number(created) <= as_number(made));
    CloseHandle(process);
    return lives;
}

/* Whether DACLs tell the bootstrap's directories from others here. */
static bool volume_keeps_dacls;

/* Removes one directory if it is one of this template's and stale, holding
** its lock meanwhile, so that two sweeps never remove the same directory at
** once. True when it took the lock and tried. */
static bool remove_if_stale(const wchar_t *folder, const WIN32_FIND_DATAW *found)
{
    DWORD process_id = 0;
    int steps = 0;
    if (!(found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        || (found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        || !match_from(0, found->cFileName, &process_id, &steps))
        return false;
    if (!join_path(stale_path, ONEFILE_PATH_CAPACITY, folder, L"\\", found->cFileName))
        return false;
    if (_wcsicmp(stale_path, unpack_directory) == 0
        || (process_id != 0 && owner_may_live(process_id, found->ftCreationTime))
        || (volume_keeps_dacls && !has_private_directory_dacl(stale_path)))
        return false;

    begin_unpack_work();
    HANDLE lock = claim_directory_lock(stale_path);
    if (lock != NULL) {
        remove_directory_tree(stale_path);
        CloseHandle(lock);
    }
    end_unpack_work();
    return lock != NULL;
}

void sweep_stale_unpack_directories(void)
{
    wchar_t folder[ONEFILE_PATH_CAPACITY];
    wcscpy(folder, unpack_directory);
    wchar_t *separator = wcsrchr(folder, L'\\');
    if (separator == NULL || !compile_last_name(unpack_template_text()))
        return;
    *separator = L'\0';

    /* The listing asks for the names that begin with the leading literal,
    ** up to a character the listing would read as a wildcard. */
    wchar_t leading[ONEFILE_PATH_CAPACITY];
    size_t end = pattern_count > 0 && pattern[0].kind == LITERAL ? pattern[0].length : 0;
    size_t prefix = 0;
    for (; prefix < end && pattern_text[prefix] != L'*' && pattern_text[prefix] != L'?'; prefix++)
        leading[prefix] = pattern_text[prefix];
    leading[prefix] = L'\0';
    wchar_t pattern_path[ONEFILE_EXTENDED_PATH_CAPACITY];
    if (!make_extended_length_path(folder, pattern_path, ONEFILE_EXTENDED_PATH_CAPACITY)
        || !join_path(pattern_path, ONEFILE_EXTENDED_PATH_CAPACITY, pattern_path, L"\\", leading, L"*"))
        return;

    WIN32_FIND_DATAW found;
    HANDLE search = find_first_entry(pattern_path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    volume_keeps_dacls = has_private_directory_dacl(unpack_directory);
    int removals = 0;
    do {
        if (remove_if_stale(folder, &found))
            removals++;
        pump_window_messages_now_and_then();
    } while (removals < SWEEP_LIMIT && FindNextFileW(search, &found));
    FindClose(search);
}
