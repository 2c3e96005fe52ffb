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
**   to (and so does every Windows call of Wine's that deletes by path); such
**   an entry is renamed over by a file of our own, which takes the name
**   without following it and then goes by its handle. Wine refuses that for
**   a link to a directory, which stays where it is rather than taking its
**   target with it.
**
** On a machine with several cores the folders at the tree's top are
** removed side by side, each by a walker of its own: the file system's
** requests per entry, not the walk, take the time.
*/
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#include "paths/paths.h"

/* The longest path the system accepts in extended-length form. */
#define TREE_PATH_CAPACITY 32768

/* Walkers at the most, the caller's included. */
#define TREE_WALKERS_MAX 16

/* Not in every SDK's enumeration: FileDispositionInfoEx (Windows 10 1607). */
#define FILE_DISPOSITION_INFO_EX_CLASS ((FILE_INFO_BY_HANDLE_CLASS)21)
#define DISPOSITION_DELETE 0x1
#define DISPOSITION_POSIX_SEMANTICS 0x2          /* the name goes at once */
#define DISPOSITION_IGNORE_READONLY 0x10

/* NtQueryObject's class for an object's name, and what it writes: the
** device and the path on it. Not in every SDK's headers. */
#define OBJECT_NAME_INFORMATION_CLASS 1
struct object_name {
    USHORT length;          /* in bytes, without a terminator */
    USHORT maximum_length;
    wchar_t *buffer;
};
typedef LONG (NTAPI *query_object_function)(HANDLE, int, void *, ULONG, ULONG *);

/* Room for the device before the path, such as \Device\HarddiskVolume12. */
#define OBJECT_DEVICE_CAPACITY 256

/* One open directory on the way down. */
struct open_level {
    HANDLE directory;       /* held against renaming while it is listed */
    HANDLE search;
    size_t path_length;     /* of its path in tree_path, without "\*" */
    size_t name_length;     /* of the name its handle reports, in handle_name */
};

/* A folder at the top of the tree, left to whichever walker takes it. */
struct subtree {
    wchar_t *path;          /* extended-length */
    wchar_t *handle_name;   /* the name its handle must report */
};

/* The folders of one split removal and the next one to take. */
struct subtree_list {
    subtree *items;
    size_t count, capacity;
    volatile LONG next;
};

/* One walk's own state. */
struct tree_walker {
    wchar_t tree_path[TREE_PATH_CAPACITY];      /* the entry's path */
    wchar_t handle_name[TREE_PATH_CAPACITY];    /* the name its handle must report */
    wchar_t own_path[TREE_PATH_CAPACITY];       /* a file of our own beside the entry */
    union {
        FILE_RENAME_INFO info;
        BYTE bytes[sizeof(FILE_RENAME_INFO) + TREE_PATH_CAPACITY * sizeof(wchar_t)];
    } rename_query;
    union {
        object_name info;
        BYTE bytes[sizeof(object_name) + (TREE_PATH_CAPACITY + OBJECT_DEVICE_CAPACITY) * sizeof(wchar_t)];
    } name_query;
    open_level *levels;
    size_t capacity;
    subtree_list *hand_over;    /* the top's folders go here instead of being walked; NULL: none */
    bool hand_over_failed;      /* a folder that could not be listed: walked here after all */
};

/* Whether this system deletes with POSIX semantics (FileDispositionInfoEx);
** once refused, never asked again. */
static volatile bool posix_disposition_refused;

static bool append_component(tree_walker *w, size_t *length, const wchar_t *name)
{
    size_t name_length = wcslen(name);
    if (*length + 1 + name_length + 2 + 1 > TREE_PATH_CAPACITY)
        return false;
    w->tree_path[*length] = L'\\';
    wmemcpy(w->tree_path + *length + 1, name, name_length + 1);
    *length += 1 + name_length;
    return true;
}

/* Opens tree_path as itself. A directory to be emptied is held against
** renaming: no delete sharing, and no delete access of its own, which would
** keep the listing from opening it. Anything else is opened to be deleted,
** sharing deletion so that it goes even while others read it. */
static HANDLE open_entry(tree_walker *w, bool hold_against_renaming)
{
    if (hold_against_renaming)
        return CreateFileW(w->tree_path,
                           FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL,                              /* lpSecurityAttributes */
                           OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                           NULL);                             /* hTemplateFile */
    return CreateFileW(w->tree_path,
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

/* The system's name for what the handle is, into name_query: the object's
** name, which Wine has in one request where the file name query needs two,
** and the removal asks it for every entry. */
static bool query_handle_name(tree_walker *w, HANDLE entry)
{
    /* ntdll is in every process; looked up once (a race only looks it up twice). */
    static query_object_function query_object;
    if (query_object == NULL)
        query_object = (query_object_function)(void (*)(void))GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                                                            "NtQueryObject");
    ULONG written = 0;
    return query_object != NULL
        && query_object(entry, OBJECT_NAME_INFORMATION_CLASS, &w->name_query, sizeof w->name_query, &written) >= 0
        && w->name_query.info.buffer != NULL;
}

static size_t reported_length(const tree_walker *w)
{
    return w->name_query.info.length / sizeof(wchar_t);
}

/* Whether the handle is the entry whose expected name fills handle_name up
** to `length`. Letter case may differ: a name that differs only so stays in
** the same held directory. */
static bool is_listed_entry(tree_walker *w, HANDLE entry, size_t length)
{
    if (!query_handle_name(w, entry))
        return false;
    size_t reported = reported_length(w);
    return reported == length
        && CompareStringOrdinal(w->name_query.info.buffer, (int)reported,
                                w->handle_name, (int)length, TRUE /* bIgnoreCase */) == CSTR_EQUAL;
}

/* Deletes the entry behind the handle when it is closed; a read-only entry
** is made writable first, as the shell does. */
static void delete_by_handle(HANDLE entry)
{
    DWORD flags = DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS | DISPOSITION_IGNORE_READONLY;
    if (!posix_disposition_refused) {
        if (SetFileInformationByHandle(entry, FILE_DISPOSITION_INFO_EX_CLASS, &flags, sizeof flags))
            return;
        DWORD refusal = GetLastError();
        /* Before Windows 10, and under Wine: the classic disposition. */
        if (refusal == ERROR_INVALID_PARAMETER || refusal == ERROR_NOT_SUPPORTED
            || refusal == ERROR_INVALID_FUNCTION || refusal == ERROR_CALL_NOT_IMPLEMENTED)
            posix_disposition_refused = true;
    }
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

/* The entry at tree_path (`length` units, its folder's `parent_length`),
** whose handle named something else, replaced by a new file of our own that
** then goes: a rename replaces the name itself, never what a link names,
** and it cannot replace a directory. */
static void replace_by_own_file(tree_walker *w, size_t parent_length, size_t length)
{
    static const wchar_t suffix[] = L".gone";
    size_t own_length = parent_length + 2 + ONEFILE_RANDOM_TOKEN_LENGTH + (sizeof suffix / sizeof *suffix - 1);
    if (own_length + 1 > TREE_PATH_CAPACITY)
        return;
    wmemcpy(w->own_path, w->tree_path, parent_length);
    w->own_path[parent_length] = L'\\';
    w->own_path[parent_length + 1] = L'~';
    make_random_token(w->own_path + parent_length + 2);
    wcscat(w->own_path + parent_length, suffix);
    HANDLE own = CreateFileW(w->own_path, DELETE | SYNCHRONIZE, 0 /* dwShareMode */,
                             NULL,                            /* lpSecurityAttributes */
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                             NULL);                           /* hTemplateFile */
    if (own == INVALID_HANDLE_VALUE)
        return;
    FILE_RENAME_INFO *rename = &w->rename_query.info;
    memset(rename, 0, sizeof *rename);
    rename->ReplaceIfExists = TRUE;
    rename->FileNameLength = (DWORD)(length * sizeof(wchar_t));
    wmemcpy(rename->FileName, w->tree_path, length);
    SetFileInformationByHandle(own, FileRenameInfo, rename,
                               (DWORD)(sizeof *rename + length * sizeof(wchar_t)));
    delete_by_handle(own);
    CloseHandle(own);
}

/* The emptied directory at tree_path, whose expected name fills
** handle_name up to `length`, once its holding handle is closed. */
static void remove_emptied_directory(tree_walker *w, size_t length)
{
    HANDLE directory = open_entry(w, false);
    if (directory == INVALID_HANDLE_VALUE)
        return;
    if (is_listed_entry(w, directory, length))
        delete_by_handle(directory);
    CloseHandle(directory);
}

static bool is_dot_entry(const wchar_t *name)
{
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

/* Starts listing the directory whose path fills tree_path up to `length`. */
static HANDLE open_listing(tree_walker *w, size_t length, WIN32_FIND_DATAW *found)
{
    wmemcpy(w->tree_path + length, L"\\*", 3);
    HANDLE search = FindFirstFileW(w->tree_path, found);
    w->tree_path[length] = L'\0';
    return search;
}

/* The expected name of the entry `name` below the level that ends at
** `parent_length` in handle_name; false when it does not fit. */
static bool expect_name(tree_walker *w, size_t parent_length, const wchar_t *name, size_t *length)
{
    size_t name_length = wcslen(name);
    if (parent_length + 1 + name_length + 1 > TREE_PATH_CAPACITY)
        return false;
    w->handle_name[parent_length] = L'\\';
    wmemcpy(w->handle_name + parent_length + 1, name, name_length + 1);
    *length = parent_length + 1 + name_length;
    return true;
}

/* Returns `items`, an array of *capacity items of `size` bytes, with room
** for item `index`, doubling it from `first`; NULL when memory runs out. */
static void *grow_array(void *items, size_t *capacity, size_t index, size_t size, size_t first)
{
    if (index < *capacity)
        return items;
    size_t grown_capacity = *capacity == 0 ? first : 2 * *capacity;
    void *grown = realloc(items, grown_capacity * size);
    if (grown != NULL)
        *capacity = grown_capacity;
    return grown;
}

/* Grows the level stack when it is full; false when memory runs out. */
static bool make_room(tree_walker *w, size_t depth)
{
    void *grown = grow_array(w->levels, &w->capacity, depth, sizeof *w->levels, 16);
    if (grown != NULL)
        w->levels = (open_level *)grown;
    return grown != NULL;
}

static wchar_t *copy_of(const wchar_t *text, size_t length)
{
    wchar_t *copy = (wchar_t *)malloc((length + 1) * sizeof *copy);
    if (copy != NULL) {
        wmemcpy(copy, text, length);
        copy[length] = L'\0';
    }
    return copy;
}

/* Leaves the folder at tree_path (`length` units), whose handle must report
** the name in handle_name (`name_length`), to the walkers; false when it
** cannot be noted, and the caller walks it itself. */
static bool hand_over(tree_walker *w, size_t length, size_t name_length)
{
    subtree_list *list = w->hand_over;
    void *grown = grow_array(list->items, &list->capacity, list->count, sizeof *list->items, 64);
    if (grown == NULL)
        return false;
    list->items = (subtree *)grown;
    subtree item = {copy_of(w->tree_path, length), copy_of(w->handle_name, name_length)};
    if (item.path == NULL || item.handle_name == NULL) {
        free(item.path);
        free(item.handle_name);
        return false;
    }
    list->items[list->count++] = item;
    return true;
}

/* Empties and removes the directory at tree_path (`length` units), held by
** `top` with its name in handle_name (`name_length`), depth first: a
** directory goes once its listing is exhausted. With a hand-over list the
** directories right below it are noted there instead of walked. */
static void walk_tree(tree_walker *w, HANDLE top, size_t length, size_t name_length)
{
    WIN32_FIND_DATAW found;
    size_t depth = 0;
    HANDLE search = make_room(w, 0) ? open_listing(w, length, &found) : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE) {
        CloseHandle(top);
        remove_emptied_directory(w, name_length);
        return;
    }
    w->levels[depth++] = open_level{top, search, length, name_length};
    bool have_entry = true;
    while (depth > 0) {
        const open_level *level = &w->levels[depth - 1];
        if (!have_entry) {
            FindClose(level->search);
            CloseHandle(level->directory);
            w->tree_path[level->path_length] = L'\0';
            /* The top goes only once the walkers are done with its folders. */
            if (depth > 1 || w->hand_over == NULL)
                remove_emptied_directory(w, level->name_length);
            depth--;
            if (depth > 0) {
                w->tree_path[w->levels[depth - 1].path_length] = L'\0';
                have_entry = FindNextFileW(w->levels[depth - 1].search, &found) != FALSE;
            }
            continue;
        }
        length = level->path_length;
        size_t entry_name_length = 0;
        if (!is_dot_entry(found.cFileName) && append_component(w, &length, found.cFileName)
            && expect_name(w, level->name_length, found.cFileName, &entry_name_length)) {
            bool listed_link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            bool listed_directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !listed_link;
            if (listed_directory && depth == 1 && w->hand_over != NULL && hand_over(w, length, entry_name_length)) {
                /* Checked and held by the walker that takes it. */
            } else {
                HANDLE entry = open_entry(w, listed_directory);
                if (entry != INVALID_HANDLE_VALUE) {
                    /* What was opened matters only where a directory was
                    ** listed; anything else goes once its handle names the
                    ** listed entry (under Wine a server request less per file). */
                    DWORD opened = listed_directory ? handle_attributes(entry) : 0;
                    if (opened == INVALID_FILE_ATTRIBUTES) {
                        CloseHandle(entry);
                    } else if (!is_listed_entry(w, entry, entry_name_length)) {
                        CloseHandle(entry);
                        replace_by_own_file(w, level->path_length, length);
                    } else if (listed_directory && (opened & FILE_ATTRIBUTE_DIRECTORY)
                               && !(opened & FILE_ATTRIBUTE_REPARSE_POINT)) {
                        HANDLE child_search = make_room(w, depth) ? open_listing(w, length, &found)
                                                                   : INVALID_HANDLE_VALUE;
                        if (child_search != INVALID_HANDLE_VALUE) {
                            w->levels[depth++] = open_level{entry, child_search, length, entry_name_length};
                            continue; /* `found` now holds the child's first entry */
                        }
                        CloseHandle(entry);
                        remove_emptied_directory(w, entry_name_length);
                    } else if (listed_directory) {
                        /* Held for listing, yet no longer a directory of ours:
                        ** reopened to be deleted as what it now is. */
                        CloseHandle(entry);
                        remove_emptied_directory(w, entry_name_length);
                    } else {
                        /* A file, a link, or a directory that appeared after the
                        ** listing and is not held: only an empty one goes. */
                        delete_by_handle(entry);
                        CloseHandle(entry);
                    }
                }
            }
        }
        /* The stack may have moved while it grew. */
        w->tree_path[w->levels[depth - 1].path_length] = L'\0';
        have_entry = FindNextFileW(w->levels[depth - 1].search, &found) != FALSE;
    }
}

/* Removes one handed-over folder: opened as itself, walked only when its
** handle is the folder that was listed. */
static void walk_subtree(tree_walker *w, const subtree *item)
{
    size_t length = wcslen(item->path);
    size_t name_length = wcslen(item->handle_name);
    wmemcpy(w->tree_path, item->path, length + 1);
    wmemcpy(w->handle_name, item->handle_name, name_length + 1);
    HANDLE directory = open_entry(w, true);
    if (directory == INVALID_HANDLE_VALUE)
        return;
    DWORD opened = handle_attributes(directory);
    if (opened == INVALID_FILE_ATTRIBUTES || !(opened & FILE_ATTRIBUTE_DIRECTORY)
        || (opened & FILE_ATTRIBUTE_REPARSE_POINT) || !is_listed_entry(w, directory, name_length)) {
        CloseHandle(directory);
        /* No longer a directory of ours: deleted as what it now is. */
        remove_emptied_directory(w, name_length);
        return;
    }
    walk_tree(w, directory, length, name_length);
}

/* Takes handed-over folders until none is left. */
static void take_subtrees(tree_walker *w, subtree_list *list)
{
    for (;;) {
        size_t k = (size_t)InterlockedIncrement(&list->next) - 1;
        if (k >= list->count)
            return;
        walk_subtree(w, &list->items[k]);
    }
}

static tree_walker *new_walker(void)
{
    return (tree_walker *)calloc(1, sizeof(tree_walker));
}

static void free_walker(tree_walker *w)
{
    free(w->levels);
    free(w);
}

/* A helper walker's thread; its walker is its own to free. */
static DWORD WINAPI helper_procedure(void *list)
{
    tree_walker *w = new_walker();
    if (w != NULL) {
        take_subtrees(w, (subtree_list *)list);
        free_walker(w);
    }
    return 0;
}

/* Removes the folders noted at the top: on a helper thread per core (the
** caller one of them), or by the caller alone. */
static void remove_subtrees(tree_walker *w, subtree_list *list)
{
    size_t helpers = usable_cores();
    if (helpers > list->count)
        helpers = list->count;
    if (helpers > TREE_WALKERS_MAX)
        helpers = TREE_WALKERS_MAX;
    HANDLE threads[TREE_WALKERS_MAX];
    size_t started = 0;
    for (; started + 1 < helpers; started++) {
        threads[started] = CreateThread(NULL,       /* lpThreadAttributes */
                                        0,          /* dwStackSize: the executable's default */
                                        helper_procedure,
                                        list,
                                        0,          /* dwCreationFlags */
                                        NULL);      /* lpThreadId */
        if (threads[started] == NULL)
            break;
    }
    take_subtrees(w, list);
    if (started > 0)
        WaitForMultipleObjects((DWORD)started, threads, TRUE /* bWaitAll */, INFINITE);
    for (size_t i = 0; i < started; i++)
        CloseHandle(threads[i]);
    for (size_t i = 0; i < list->count; i++) {
        free(list->items[i].path);
        free(list->items[i].handle_name);
    }
    free(list->items);
}

bool remove_directory_tree(const wchar_t *directory)
{
    tree_walker *w = new_walker();
    if (w == NULL || directory[0] == L'\0' || !make_extended_length_path(directory, w->tree_path, TREE_PATH_CAPACITY)) {
        free(w);
        return false;
    }

    /* The top: a link there is removed itself, like any link further down. */
    DWORD listed = GetFileAttributesW(w->tree_path);
    size_t length = wcslen(w->tree_path);
    bool top_is_directory = listed != INVALID_FILE_ATTRIBUTES && (listed & FILE_ATTRIBUTE_DIRECTORY)
                         && !(listed & FILE_ATTRIBUTE_REPARSE_POINT);
    HANDLE top = listed != INVALID_FILE_ATTRIBUTES ? open_entry(w, top_is_directory) : INVALID_HANDLE_VALUE;
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
    } else if (query_handle_name(w, top) && reported_length(w) < TREE_PATH_CAPACITY) {
        size_t name_length = reported_length(w);
        wmemcpy(w->handle_name, w->name_query.info.buffer, name_length);
        /* The folders right below the top go to the walkers; the top's
        ** files, and the top itself once emptied, to this one. */
        subtree_list list = {NULL, 0, 0, 0};
        bool split = usable_cores() > 1;
        w->hand_over = split ? &list : NULL;
        walk_tree(w, top, length, name_length);
        w->hand_over = NULL;
        if (split) {
            remove_subtrees(w, &list);
            make_extended_length_path(directory, w->tree_path, TREE_PATH_CAPACITY);
            remove_emptied_directory(w, name_length);
        }
    } else {
        CloseHandle(top);
    }
    free_walker(w);

    wchar_t gone[ONEFILE_EXTENDED_PATH_CAPACITY];
    return make_extended_length_path(directory, gone, ONEFILE_EXTENDED_PATH_CAPACITY)
        && GetFileAttributesW(gone) == INVALID_FILE_ATTRIBUTES;
}

/* remove_file_entry with the walker's buffers. */
static bool remove_entry_with(tree_walker *w, const wchar_t *path)
{
    if (!make_extended_length_path(path, w->tree_path, TREE_PATH_CAPACITY))
        return false;
    wchar_t *separator = wcsrchr(w->tree_path, L'\\');
    if (separator == NULL)
        return false;
    /* The folder's own name, links on the way to it followed: they are the
    ** user's, and the entry is opened through them too. */
    *separator = L'\0';
    HANDLE folder = CreateFileW(w->tree_path,
                                FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL,                        /* lpSecurityAttributes */
                                OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS,  /* a directory */
                                NULL);                       /* hTemplateFile */
    *separator = L'\\';
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    bool named = query_handle_name(w, folder);
    CloseHandle(folder);
    size_t name_length = 0;
    if (!named)
        return false;
    size_t folder_length = reported_length(w);
    if (folder_length >= TREE_PATH_CAPACITY)
        return false;
    wmemcpy(w->handle_name, w->name_query.info.buffer, folder_length);
    if (!expect_name(w, folder_length, separator + 1, &name_length))
        return false;

    HANDLE entry = open_entry(w, false);
    if (entry == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    DWORD attributes = handle_attributes(entry);
    bool folder_of_its_own = (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (attributes == INVALID_FILE_ATTRIBUTES || folder_of_its_own) {
        CloseHandle(entry);
    } else if (is_listed_entry(w, entry, name_length)) {
        delete_by_handle(entry);
        CloseHandle(entry);
    } else {
        /* Closed first: Wine renames over no file that is open. */
        CloseHandle(entry);
        replace_by_own_file(w, (size_t)(separator - w->tree_path), wcslen(w->tree_path));
    }
    /* Whether the name is free now; a creation that must be new checks again. */
    return GetFileAttributesW(w->tree_path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool remove_file_entry(const wchar_t *path)
{
    tree_walker *w = new_walker();
    bool removed = w != NULL && remove_entry_with(w, path);
    if (w != NULL)
        free_walker(w);
    return removed;
}
