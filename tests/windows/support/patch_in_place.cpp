#include "patch_in_place.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "attached_data_builder.h"
#include "run_process.h"

namespace {

const size_t object_capacity = 2097152;
const size_t template_capacity = 512;

/* Where the length and the object lie in the patchable bootstrap's file. */
struct patch_offsets {
    size_t size_at = 0;
    size_t data_at = 0;
};

const patch_offsets &offsets()
{
    static const patch_offsets found = [] {
        patch_offsets at;
        std::string original =
            read_file(std::wstring(ONEFILE_TEST_BINARY_DIR) + L"\\patchable_bootstrap.exe");
        const std::string marker = "ONEFILE-PATCH-ME";
        size_t marker_at = original.find(marker);
        if (marker_at != std::string::npos) {
            at.size_at = marker_at + marker.size();
            at.data_at = (at.size_at + 8 + 15) / 16 * 16;
        }
        return at;
    }();
    return found;
}

bool write_at(HANDLE file, size_t offset, const void *data, size_t length)
{
    LARGE_INTEGER position;
    position.QuadPart = (LONGLONG)offset;
    if (!SetFilePointerEx(file, position, NULL, FILE_BEGIN))
        return false;
    DWORD written = 0;
    return length == 0 || (WriteFile(file, data, (DWORD)length, &written, NULL) && written == length);
}

} // namespace

void write_patchable_copy(const std::wstring &path)
{
    write_patched_bootstrap(path, "");
}

bool patch_in_place(const std::wstring &path, const std::string &object)
{
    const patch_offsets &at = offsets();
    if (at.size_at == 0) {
        ADD_FAILURE() << "patchable bootstrap not found or without marker";
        return false;
    }
    if (object.size() > object_capacity) {
        ADD_FAILURE() << "object of " << object.size() << " bytes does not fit";
        return false;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;

    unsigned char old_size_bytes[8] = {};
    LARGE_INTEGER position;
    position.QuadPart = (LONGLONG)at.size_at;
    DWORD read = 0;
    SetFilePointerEx(file, position, NULL, FILE_BEGIN);
    bool ok = ReadFile(file, old_size_bytes, 8, &read, NULL) && read == 8;
    unsigned long long old_size = 0;
    for (int i = 7; i >= 0; i--)
        old_size = (old_size << 8) | old_size_bytes[i];
    if (old_size > object_capacity)
        old_size = object_capacity;

    unsigned char size_bytes[8];
    for (int i = 0; i < 8; i++)
        size_bytes[i] = (unsigned char)((object.size() >> (8 * i)) & 0xff);
    ok = ok && write_at(file, at.size_at, size_bytes, 8)
         && write_at(file, at.data_at, object.data(), object.size());
    if (ok && old_size > object.size()) {
        std::string zeros(old_size - object.size(), '\0');
        ok = write_at(file, at.data_at + object.size(), zeros.data(), zeros.size());
    }
    CloseHandle(file);
    return ok;
}

/* Writes `bytes` at `offset` after the template marker, which is found in
** the copy itself: it may come from either patchable bootstrap. */
static bool patch_after_template_marker(const std::wstring &path, size_t offset, const std::string &bytes)
{
    const std::string marker = "ONEFILE-TEMPLATE";
    size_t marker_at = read_file(path).find(marker);
    if (marker_at == std::string::npos) {
        ADD_FAILURE() << "no template marker in " << utf8(path);
        return false;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = write_at(file, marker_at + marker.size() + offset, bytes.data(), bytes.size());
    CloseHandle(file);
    return ok;
}

bool patch_unpack_template(const std::wstring &path, const std::wstring &unpack_template)
{
    if (unpack_template.size() >= template_capacity) {
        ADD_FAILURE() << "template of " << unpack_template.size() << " units does not fit";
        return false;
    }
    /* UTF-16LE, as wchar_t is here. */
    std::string units((const char *)unpack_template.c_str(), 2 * unpack_template.size());
    units.resize(2 * template_capacity, '\0');
    return patch_after_template_marker(path, 0, units);
}

bool patch_cache_check(const std::wstring &path, unsigned long long check)
{
    return patch_after_template_marker(path, 2 * template_capacity, std::string((const char *)&check, 8));
}
