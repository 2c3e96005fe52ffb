/*
** Removal of a directory tree. Walks the tree itself, in extended-length
** form, so that paths of any length are reached. The shell's deletion call
** is not used: under Wine it follows symbolic links, and a tree with paths
** longer than 260 characters makes it delete the contents of the current
** directory instead.
**
** Nothing outside the tree may be touched, even when entries are swapped for
** links while the walk runs:
** - each directory is opened as itself and held without delete sharing
**   while its entries go, so it cannot be renamed or replaced and the paths
**   below it keep leading into it; emptied, it is opened again to go;
** - each entry is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT) and
**   deleted through that handle, so a link is removed as a link, whatever
**   the listing said about it;
** - the handle must name the entry that was listed, or the entry is passed
**   over: Wine opens what a Unix symbolic link points to even when asked not
**   to (and so does every Windows call of Wine's that deletes by path), so a
**   Unix link stays where it is rather than taking its target with it.
*/
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#include "paths/paths.h"

/* The longest path the system accepts in extended-length form. */
#define TREE_PATH_CAPACITY 32768

/* Not in every SDK's enumeration: FileDispositionInfoEx (Windows 10 1607). */
#define FILE_DISPOSITION_INFO_EX_CLASS ((FILE_INFO_BY_HANDLE_CLASS)21)
#define DISPOSITION_DELETE 0x1
#define DISPOSITION_POSIX_SEMANTICS 0x2          /* the name goes at once */
#define DISPOSITION_IGNORE_READONLY 0x10

/* One open directory on the way down. */
struct open_level {
    HANDLE directory;       /* held against renaming while it is listed */
    HANDLE search;
    size_t path_length;     /* of its path in tree_path, without "\*" */
    size_t name_length;     /* of its volume-relative name in handle_name */
};

/* The entry's path, and the name its handle must report. */
static wchar_t tree_path[TREE_PATH_CAPACITY];
static wchar_t handle_name[TREE_PATH_CAPACITY];

static union {
    FILE_NAME_INFO info;
    BYTE bytes[sizeof(FILE_NAME_INFO) + TREE_PATH_CAPACITY * sizeof(wchar_t)];
} name_query;

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

/* Opens tree_path as itself. A directory to be emptied is held against
** renaming: no delete sharing, and no delete access of its own, which would
** keep the listing from opening it. Anything else is opened to be deleted,
** sharing deletion so that it goes even while others read it. */
static HANDLE open_entry(bool hold_against_renaming)
{
    if (hold_against_renaming)
        return CreateFileW(tree_path,
                           FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL,                              /* lpSecurityAttributes */
                           OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                           NULL);                             /* hTemplateFile */
    return CreateFileW(tree_path,
                       DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL,                                  /* lpSecurityAttributes */
                       OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                       NULL);                                 /* hTemplateFile */
}

static DWORD handle_attributes(HANDLE entry)
{
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &tag, sizeof tag))
        return INVALID_FILE_ATTRIBUTES;
    return tag.FileAttributes;
}

/* The volume-relative name that the handle reports, into name_query. */
static bool query_handle_name(HANDLE entry)
{
    return GetFileInformationByHandleEx(entry, FileNameInfo, &name_query, sizeof name_query) != FALSE;
}

/* Whether the handle is the entry whose expected name fills handle_name up
** to `length`. Letter case may differ: a name that differs only so stays in
** the same held directory. */
static bool is_listed_entry(HANDLE entry, size_t length)
{
    if (!query_handle_name(entry))
        return false;
    size_t reported = name_query.info.FileNameLength / sizeof(wchar_t);
    return reported == length
        && CompareStringOrdinal(name_query.info.FileName, (int)reported,
                                handle_name, (int)length, TRUE /* bIgnoreCase */) == CSTR_EQUAL;
}

/* Deletes the entry behind the handle when it is closed; a read-only entry
** is made writable first, as the shell does. */
static void delete_by_handle(HANDLE entry)
{
    DWORD flags = DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS | DISPOSITION_IGNORE_READONLY;
    if (SetFileInformationByHandle(entry, FILE_DISPOSITION_INFO_EX_CLASS, &flags, sizeof flags))
        return;
    /* Before Windows 10, and under Wine: the classic disposition. */
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition)
        || GetLastError() != ERROR_ACCESS_DENIED)
        return;
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic)
        || !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return;
    basic.FileAttributes &= ~(DWORD)FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic))
        SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition);
}

/* The emptied directory at tree_path, whose expected name fills
** handle_name up to `length`, once its holding handle is closed. */
static void remove_emptied_directory(size_t length)
{
    HANDLE directory = open_entry(false);
    if (directory == INVALID_HANDLE_VALUE)
        return;
    if (is_listed_entry(directory, length))
        delete_by_handle(directory);
    CloseHandle(directory);
}

static bool is_dot_entry(const wchar_t *name)
{
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

/* Starts listing the directory whose path fills tree_path up to `length`. */
static HANDLE open_listing(size_t length, WIN32_FIND_DATAW *found)
{
    wmemcpy(tree_path + length, L"\\*", 3);
    HANDLE search = FindFirstFileW(tree_path, found);
    tree_path[length] = L'\0';
    return search;
}

/* The expected name of the entry `name` below the level that ends at
** `parent_length` in handle_name; false when it does not fit. */
static bool expect_name(size_t parent_length, const wchar_t *name, size_t *length)
{
    size_t name_length = wcslen(name);
    if (parent_length + 1 + name_length + 1 > TREE_PATH_CAPACITY)
        return false;
    handle_name[parent_length] = L'\\';
    wmemcpy(handle_name + parent_length + 1, name, name_length + 1);
    *length = parent_length + 1 + name_length;
    return true;
}

/* Grows the level stack when it is full; false when memory runs out. */
static bool make_room(open_level **levels, size_t depth, size_t *capacity)
{
    if (depth < *capacity)
        return true;
    open_level *grown = (open_level *)realloc(*levels, 2 * *capacity * sizeof **levels);
    if (grown == NULL)
        return false;
    *levels = grown;
    *capacity *= 2;
    return true;
}

bool remove_directory_tree(const wchar_t *directory)
{
    if (directory[0] == L'\0' || !make_extended_length_path(directory, tree_path, TREE_PATH_CAPACITY))
        return false;

    size_t capacity = 16;
    size_t depth = 0;
    open_level *levels = (open_level *)malloc(capacity * sizeof *levels);
    if (levels == NULL)
        return false;

    /* The top: a link there is removed itself, like any link further down. */
    DWORD listed = GetFileAttributesW(tree_path);
    size_t length = wcslen(tree_path);
    WIN32_FIND_DATAW found;
    bool have_entry = false;
    bool top_is_directory = listed != INVALID_FILE_ATTRIBUTES && (listed & FILE_ATTRIBUTE_DIRECTORY)
                         && !(listed & FILE_ATTRIBUTE_REPARSE_POINT);
    HANDLE top = listed != INVALID_FILE_ATTRIBUTES ? open_entry(top_is_directory) : INVALID_HANDLE_VALUE;
    DWORD top_opened = top != INVALID_HANDLE_VALUE ? handle_attributes(top) : INVALID_FILE_ATTRIBUTES;
    if (top_opened == INVALID_FILE_ATTRIBUTES) {
        if (top != INVALID_HANDLE_VALUE)
            CloseHandle(top);
    } else if (!top_is_directory || (top_opened & FILE_ATTRIBUTE_REPARSE_POINT)
               || !(top_opened & FILE_ATTRIBUTE_DIRECTORY)) {
        /* Not a directory of ours. A link is deleted through a handle that
        ** is the link itself; a file, or whatever Wine opened through a
        ** link, stays. */
        if (!top_is_directory && (top_opened & FILE_ATTRIBUTE_REPARSE_POINT))
            delete_by_handle(top);
        CloseHandle(top);
    } else if (query_handle_name(top)) {
        size_t name_length = name_query.info.FileNameLength / sizeof(wchar_t);
        wmemcpy(handle_name, name_query.info.FileName, name_length);
        HANDLE search = open_listing(length, &found);
        if (search != INVALID_HANDLE_VALUE) {
            levels[depth++] = open_level{top, search, length, name_length};
            have_entry = true;
        } else {
            CloseHandle(top);
            remove_emptied_directory(name_length);
        }
    } else {
        CloseHandle(top);
    }

    /* Depth first: a directory is deleted once its listing is exhausted. */
    while (depth > 0) {
        const open_level *level = &levels[depth - 1];
        if (!have_entry) {
            FindClose(level->search);
            CloseHandle(level->directory);
            tree_path[level->path_length] = L'\0';
            remove_emptied_directory(level->name_length);
            depth--;
            if (depth > 0) {
                tree_path[levels[depth - 1].path_length] = L'\0';
                have_entry = FindNextFileW(levels[depth - 1].search, &found) != FALSE;
            }
            continue;
        }
        length = level->path_length;
        size_t name_length = 0;
        if (!is_dot_entry(found.cFileName) && append_component(&length, found.cFileName)
            && expect_name(level->name_length, found.cFileName, &name_length)) {
            bool listed_link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            bool listed_directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !listed_link;
            HANDLE entry = open_entry(listed_directory);
            if (entry != INVALID_HANDLE_VALUE) {
                /* What was opened matters only where a directory was
                ** listed; anything else goes once its handle names the
                ** listed entry (under Wine a server request less per file). */
                DWORD opened = listed_directory ? handle_attributes(entry) : 0;
                if (opened == INVALID_FILE_ATTRIBUTES) {
                    CloseHandle(entry);
                } else if (!is_listed_entry(entry, name_length)) {
                    CloseHandle(entry);
                } else if (listed_directory && (opened & FILE_ATTRIBUTE_DIRECTORY)
                           && !(opened & FILE_ATTRIBUTE_REPARSE_POINT)) {
                    HANDLE search = make_room(&levels, depth, &capacity)
                                        ? open_listing(length, &found) : INVALID_HANDLE_VALUE;
                    if (search != INVALID_HANDLE_VALUE) {
                        levels[depth++] = open_level{entry, search, length, name_length};
                        continue; /* `found` now holds the child's first entry */
                    }
                    CloseHandle(entry);
                    remove_emptied_directory(name_length);
                } else if (listed_directory) {
                    /* Held for listing, yet no longer a directory of ours:
                    ** reopened to be deleted as what it now is. */
                    CloseHandle(entry);
                    remove_emptied_directory(name_length);
                } else {
                    /* A file, a link, or a directory that appeared after the
                    ** listing and is not held: only an empty one goes. */
                    delete_by_handle(entry);
                    CloseHandle(entry);
                }
            }
        }
        /* The stack may have moved while it grew. */
        tree_path[levels[depth - 1].path_length] = L'\0';
        have_entry = FindNextFileW(levels[depth - 1].search, &found) != FALSE;
    }
    free(levels);

    make_extended_length_path(directory, tree_path, TREE_PATH_CAPACITY);
    return GetFileAttributesW(tree_path) == INVALID_FILE_ATTRIBUTES;
}

bool remove_file_entry(const wchar_t *path)
{
    if (!make_extended_length_path(path, tree_path, TREE_PATH_CAPACITY))
        return false;
    wchar_t *separator = wcsrchr(tree_path, L'\\');
    if (separator == NULL)
        return false;
    /* The folder's own name, links on the way to it followed: they are the
    ** user's, and the entry is opened through them too. */
    *separator = L'\0';
    HANDLE folder = CreateFileW(tree_path,
                                FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL,                        /* lpSecurityAttributes */
                                OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS,  /* a directory */
                                NULL);                       /* hTemplateFile */
    *separator = L'\\';
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    bool named = query_handle_name(folder);
    CloseHandle(folder);
    size_t name_length = 0;
    if (!named)
        return false;
    size_t folder_length = name_query.info.FileNameLength / sizeof(wchar_t);
    wmemcpy(handle_name, name_query.info.FileName, folder_length);
    if (!expect_name(folder_length, separator + 1, &name_length))
        return false;

    HANDLE entry = open_entry(false);
    if (entry == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    DWORD attributes = handle_attributes(entry);
    if (attributes != INVALID_FILE_ATTRIBUTES
        && !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        && is_listed_entry(entry, name_length))
        delete_by_handle(entry);
    CloseHandle(entry);
    /* Whether the name is free now; a creation that must be new checks again. */
    return GetFileAttributesW(tree_path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}
