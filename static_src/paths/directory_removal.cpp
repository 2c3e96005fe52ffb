/*
** Removal of a directory tree. Walks the tree itself, in extended-length
** form, so that paths of any length are reached; links (reparse points) are
** removed as entries and never followed, so nothing outside the tree is
** touched. The shell's deletion call is not used: under Wine it follows
** symbolic links, and a tree with paths longer than 260 characters makes it
** delete the contents of the current directory instead.
*/
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#include "paths/paths.h"

/* The longest path the system accepts in extended-length form. */
#define TREE_PATH_CAPACITY 32768

/* One open directory listing on the way down. */
struct open_level {
    HANDLE search;
    size_t path_length;     /* of the directory's path, without "\*" */
};

static wchar_t tree_path[TREE_PATH_CAPACITY];

/* "C:\x" becomes "\\?\C:\x", "\\srv\share" becomes "\\?\UNC\srv\share". */
static bool make_extended_path(const wchar_t *directory)
{
    const wchar_t *prefix = L"\\\\?\\";
    const wchar_t *rest = directory;
    if (wcsncmp(directory, L"\\\\?\\", 4) == 0) {
        prefix = L"";
    } else if (wcsncmp(directory, L"\\\\", 2) == 0) {
        prefix = L"\\\\?\\UNC\\";
        rest = directory + 2;
    }
    size_t prefix_length = wcslen(prefix);
    size_t rest_length = wcslen(rest);
    if (prefix_length + rest_length + 1 > TREE_PATH_CAPACITY)
        return false;
    wmemcpy(tree_path, prefix, prefix_length);
    wmemcpy(tree_path + prefix_length, rest, rest_length + 1);
    return true;
}

static bool append_component(size_t *length, const wchar_t *name)
{
    size_t name_length = wcslen(name);
    if (*length + 1 + name_length + 2 + 1 > TREE_PATH_CAPACITY)
        return false;
    tree_path[*length] = L'\\';
    wmemcpy(tree_path + *length + 1, name, name_length + 1);
    *length += 1 + name_length;
    return true;
}

static HANDLE open_listing(size_t length, WIN32_FIND_DATAW *found)
{
    wmemcpy(tree_path + length, L"\\*", 3);
    HANDLE search = FindFirstFileW(tree_path, found);
    tree_path[length] = L'\0';
    return search;
}

static BOOL remove_path(DWORD attributes)
{
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return DeleteFileW(tree_path);
    /* A link to a directory is a directory entry on Windows and a file on
    ** the Unix side of Wine. */
    return RemoveDirectoryW(tree_path)
        || ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && DeleteFileW(tree_path));
}

/* Read-only entries are made writable first, as the shell does. */
static void remove_entry(DWORD attributes)
{
    if (!remove_path(attributes) && GetLastError() == ERROR_ACCESS_DENIED) {
        SetFileAttributesW(tree_path, FILE_ATTRIBUTE_NORMAL);
        remove_path(attributes);
    }
}

static bool is_dot_entry(const wchar_t *name)
{
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

bool remove_directory_tree(const wchar_t *directory)
{
    if (directory[0] == L'\0' || !make_extended_path(directory))
        return false;

    size_t capacity = 16;
    size_t depth = 0;
    open_level *levels = (open_level *)malloc(capacity * sizeof *levels);
    if (levels == NULL)
        return false;

    /* A link at the top is removed itself, like any link further down. */
    DWORD attributes = GetFileAttributesW(tree_path);
    WIN32_FIND_DATAW found;
    size_t length = wcslen(tree_path);
    HANDLE search = INVALID_HANDLE_VALUE;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
        && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        search = open_listing(length, &found);
    if (search != INVALID_HANDLE_VALUE)
        levels[depth++] = open_level{search, length};
    else if (attributes != INVALID_FILE_ATTRIBUTES)
        remove_entry(attributes);

    /* Depth first: a directory is removed once its listing is exhausted. */
    bool have_entry = search != INVALID_HANDLE_VALUE;
    while (depth > 0) {
        open_level *level = &levels[depth - 1];
        if (!have_entry) {
            FindClose(level->search);
            tree_path[level->path_length] = L'\0';
            remove_entry(FILE_ATTRIBUTE_DIRECTORY);
            depth--;
            if (depth > 0) {
                tree_path[levels[depth - 1].path_length] = L'\0';
                have_entry = FindNextFileW(levels[depth - 1].search, &found) != FALSE;
            }
            continue;
        }
        length = level->path_length;
        if (!is_dot_entry(found.cFileName) && append_component(&length, found.cFileName)) {
            bool is_directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            bool is_link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (is_directory && !is_link) {
                HANDLE child = open_listing(length, &found);
                if (child != INVALID_HANDLE_VALUE) {
                    if (depth == capacity) {
                        open_level *grown =
                            (open_level *)realloc(levels, 2 * capacity * sizeof *levels);
                        if (grown == NULL) {
                            FindClose(child);
                            break;
                        }
                        levels = grown;
                        capacity *= 2;
                    }
                    levels[depth++] = open_level{child, length};
                    continue; /* `found` now holds the child's first entry */
                }
            }
            remove_entry(found.dwFileAttributes);
        }
        tree_path[level->path_length] = L'\0';
        have_entry = FindNextFileW(level->search, &found) != FALSE;
    }
    while (depth > 0)
        FindClose(levels[--depth].search);
    free(levels);

    make_extended_path(directory);
    return GetFileAttributesW(tree_path) == INVALID_FILE_ATTRIBUTES;
}
