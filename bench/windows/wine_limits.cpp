/*
** The limits on the Windows side, measured inside one process under Wine so
** that process start-up is not counted. Prints key=value pairs, seconds.
**
**   bench_limits.exe write MANIFEST DIR [shell|plain|signal]
**       Writes the files that MANIFEST lists ("<size> <relative/path>" a
**       line) below DIR the way the bootstrap does: the parent folder made
**       when new, CreateFileW(GENERIC_WRITE, FILE_SHARE_WRITE, CREATE_ALWAYS),
**       WriteFile in 32768-byte chunks, CloseHandle. A line
**       "<size>@<offset> <relative/path>" is a piece of a file, written at
**       its offset into the file whether another writer has made it or not
**       (OPEN_ALWAYS), as the bootstrap's threads write the pieces of a
**       file that spans frames. Then removes DIR with one call of the
**       shell's SHFileOperationW, or with "plain" by a walk of
**       FindFirstFileW, DeleteFileW and RemoveDirectoryW. Prints write_s,
**       delete_s, files, bytes. With "signal" it prints "ready" once the
**       manifest is read, writes when a line arrives on its standard input,
**       keeps the files and prints write_s, end_us (when it was done, in
**       microseconds since 1970, the Linux side's CLOCK_REALTIME), files,
**       bytes: the writer of one of the pipelines that run side by side.
**   bench_limits.exe delete DIR [shell|plain]
**       Only the removal of DIR, timed. Prints delete_s.
**   bench_limits.exe decode OBJECT
**       Reads an object made by onefile-pack --write-attached-data into
**       memory, then walks it with the bootstrap's own entry walk and
**       payload reader as the extraction does, writing nothing. Prints
**       decode_s, files, bytes.
**   bench_limits.exe requests N
**       N wineserver requests of the cheapest kind (SetEvent on an event
**       of its own), timed: what Wine adds to every file creation, open,
**       query and removal. Prints request_us, the microseconds of one.
**   bench_limits.exe extract OBJECT DIR
**       The same walk writing every file below DIR as the plain writer
**       does: the bootstrap's extraction without the rest of the bootstrap
**       (no private folder, no locks, no extended paths). Then removes DIR
**       by the plain walk. Prints extract_s, files, bytes.
*/
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>
#include <set>

#include "attached_data/attached_data.h"

// The stand-ins of the bootstrap's error reports that the reader calls.
[[noreturn]] void fatal_error(const char *message)
{
    printf("%s\n", message);
    exit(2);
}

[[noreturn]] void fatal_out_of_memory(void)
{
    fatal_error("out of memory");
}

static double seconds_since(LARGE_INTEGER start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)(now.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
}

static std::wstring widen(const std::string &text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size);
    return out;
}

struct manifest_entry {
    std::wstring name;
    unsigned long long size;
    unsigned long long offset;
    bool piece;
};

static std::vector<manifest_entry> read_manifest(const wchar_t *path)
{
    std::vector<manifest_entry> entries;
    FILE *file = _wfopen(path, L"rb");
    if (file == NULL)
        fatal_error("cannot read the manifest");
    char line[8192];
    while (fgets(line, sizeof line, file) != NULL) {
        char *end = NULL;
        unsigned long long size = strtoull(line, &end, 10), offset = 0;
        bool piece = end != line && *end == '@';
        if (piece)
            offset = strtoull(end + 1, &end, 10);
        if (end == line || *end != ' ')
            continue;
        std::string name(end + 1);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
            name.pop_back();
        for (char &c : name)
            if (c == '/')
                c = '\\';
        entries.push_back({widen(name), size, offset, piece});
    }
    fclose(file);
    return entries;
}

/* The folder step of the extraction: known folders are not asked for again. */
static std::set<std::wstring> known_folders;

static void make_folder_tree(const std::wstring &folder)
{
    if (known_folders.count(folder))
        return;
    if (!CreateDirectoryW(folder.c_str(), NULL) && GetLastError() == ERROR_PATH_NOT_FOUND) {
        size_t separator = folder.find_last_of(L'\\');
        if (separator != std::wstring::npos)
            make_folder_tree(folder.substr(0, separator));
        CreateDirectoryW(folder.c_str(), NULL);
    }
    known_folders.insert(folder);
}

/* Removes a folder tree with the plain file API, depth first. */
static void delete_tree(const std::wstring &folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                delete_tree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

/* One SHFileOperationW call for the whole tree. */
static void delete_tree_with_shell(const std::wstring &folder)
{
    std::wstring name_list = folder + L'\0' + L'\0';
    SHFILEOPSTRUCTW request = {};
    request.wFunc = FO_DELETE;
    request.pFrom = name_list.c_str();
    request.pTo = L"";
    request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    SHFileOperationW(&request);
}

static long long now_microseconds(void)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    unsigned long long ticks = ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
    return (long long)(ticks / 10) - 11644473600000000LL;
}

enum after_writing { DELETE_WITH_SHELL, DELETE_PLAIN, KEEP_ON_SIGNAL };

static int write_files(const wchar_t *manifest, const wchar_t *directory, after_writing after)
{
    std::vector<manifest_entry> entries = read_manifest(manifest);
    if (after == KEEP_ON_SIGNAL) {
        printf("ready\n");
        fflush(stdout);
        char line[16];
        if (fgets(line, sizeof line, stdin) == NULL)
            fatal_error("no signal to write");
    }
    static unsigned char chunk[ONEFILE_WRITE_CHUNK];
    unsigned int state = 12345;
    for (unsigned char &byte : chunk) {
        state = state * 1103515245u + 12345u;
        byte = (unsigned char)(state >> 24);
    }
    std::wstring root(directory);
    unsigned long long bytes = 0;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (const manifest_entry &entry : entries) {
        std::wstring path = root + L"\\" + entry.name;
        make_folder_tree(path.substr(0, path.find_last_of(L'\\')));
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, NULL,
                                  entry.piece ? OPEN_ALWAYS : CREATE_ALWAYS, 0, NULL);
        if (file == INVALID_HANDLE_VALUE)
            fatal_error("cannot create a file");
        LARGE_INTEGER offset;
        offset.QuadPart = (LONGLONG)entry.offset;
        if (entry.piece && !SetFilePointerEx(file, offset, NULL, FILE_BEGIN))
            fatal_error("cannot seek in a file");
        for (unsigned long long remaining = entry.size; remaining > 0;) {
            DWORD n = remaining < ONEFILE_WRITE_CHUNK ? (DWORD)remaining : ONEFILE_WRITE_CHUNK;
            DWORD written = 0;
            if (!WriteFile(file, chunk, n, &written, NULL) || written != n)
                fatal_error("cannot write a file");
            remaining -= n;
        }
        CloseHandle(file);
        bytes += entry.size;
    }
    double write_seconds = seconds_since(start);
    if (after == KEEP_ON_SIGNAL) {
        printf("write_s=%.6f end_us=%lld files=%zu bytes=%llu\n", write_seconds, now_microseconds(),
               entries.size(), bytes);
        return 0;
    }

    QueryPerformanceCounter(&start);
    if (after == DELETE_PLAIN)
        delete_tree(root);
    else
        delete_tree_with_shell(root);
    double delete_seconds = seconds_since(start);
    printf("write_s=%.6f delete_s=%.6f files=%zu bytes=%llu\n", write_seconds, delete_seconds, entries.size(),
           bytes);
    return 0;
}

/* What the walk wrote: below `root` as write_files writes, unless it is
** empty. */
struct walk_totals {
    std::wstring root;
    unsigned long long files = 0;
    unsigned long long bytes = 0;
};

static void discard_piece(const unsigned char *, size_t, void *) {}

static void write_piece(const unsigned char *piece, size_t length, void *file)
{
    DWORD written = 0;
    if (!WriteFile(*(HANDLE *)file, piece, (DWORD)length, &written, NULL) || written != length)
        fatal_error("cannot write a file");
}

static void take_entry(const wchar_t *name, uint64_t size, void *context)
{
    walk_totals &totals = *(walk_totals *)context;
    totals.files++;
    totals.bytes += size;
    if (totals.root.empty()) {
        read_entry_content(size, discard_piece, NULL);
        return;
    }
    std::wstring path = totals.root + L"\\" + name;
    make_folder_tree(path.substr(0, path.find_last_of(L'\\')));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        fatal_error("cannot create a file");
    read_entry_content(size, write_piece, &file);
    CloseHandle(file);
}

static std::vector<unsigned char> read_object(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        fatal_error("cannot open the object");
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    std::vector<unsigned char> object((size_t)size.QuadPart);
    for (size_t done = 0; done < object.size();) {
        DWORD want = (DWORD)std::min<size_t>(object.size() - done, 1 << 30), got = 0;
        if (!ReadFile(file, object.data() + done, want, &got, NULL) || got == 0)
            fatal_error("cannot read the object");
        done += got;
    }
    CloseHandle(file);
    return object;
}

static int decode_object(const wchar_t *path)
{
    std::vector<unsigned char> object = read_object(path);
    walk_totals totals;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    walk_entries(object.data(), object.size(), take_entry, &totals);
    double seconds = seconds_since(start);
    printf("decode_s=%.6f files=%llu bytes=%llu\n", seconds, (unsigned long long)totals.files,
           (unsigned long long)totals.bytes);
    return 0;
}

static int extract_object(const wchar_t *path, const wchar_t *directory)
{
    std::vector<unsigned char> object = read_object(path);
    walk_totals totals;
    totals.root = directory;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    make_folder_tree(totals.root);
    walk_entries(object.data(), object.size(), take_entry, &totals);
    double seconds = seconds_since(start);
    delete_tree(totals.root);
    printf("extract_s=%.6f files=%llu bytes=%llu\n", seconds, (unsigned long long)totals.files,
           (unsigned long long)totals.bytes);
    return 0;
}

static int time_requests(int count)
{
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (event == NULL || count <= 0)
        fatal_error("cannot make an event");
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < count; i++)
        SetEvent(event);
    printf("request_us=%.2f\n", seconds_since(start) * 1e6 / count);
    CloseHandle(event);
    return 0;
}

static int delete_only(const wchar_t *directory, bool plain_delete)
{
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (plain_delete)
        delete_tree(directory);
    else
        delete_tree_with_shell(directory);
    printf("delete_s=%.6f\n", seconds_since(start));
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if ((argc == 4 || argc == 5) && wcscmp(argv[1], L"write") == 0) {
        after_writing after = DELETE_WITH_SHELL;
        if (argc == 5 && wcscmp(argv[4], L"plain") == 0)
            after = DELETE_PLAIN;
        if (argc == 5 && wcscmp(argv[4], L"signal") == 0)
            after = KEEP_ON_SIGNAL;
        return write_files(argv[2], argv[3], after);
    }
    if ((argc == 3 || argc == 4) && wcscmp(argv[1], L"delete") == 0)
        return delete_only(argv[2], argc == 4 && wcscmp(argv[3], L"plain") == 0);
    if (argc == 3 && wcscmp(argv[1], L"decode") == 0)
        return decode_object(argv[2]);
    if (argc == 3 && wcscmp(argv[1], L"requests") == 0)
        return time_requests(_wtoi(argv[2]));
    if (argc == 4 && wcscmp(argv[1], L"extract") == 0)
        return extract_object(argv[2], argv[3]);
    fprintf(stderr, "usage: bench_limits.exe write MANIFEST DIR [shell|plain|signal] | delete DIR [shell|plain] | decode OBJECT | requests N | extract OBJECT DIR\n");
    return 2;
}
