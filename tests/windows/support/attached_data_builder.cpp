#include "attached_data_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <zstd.h>

#include "run_process.h"

static void append_u64(std::string &out, unsigned long long value)
{
    for (int i = 0; i < 8; i++)
        out += (char)((value >> (8 * i)) & 0xff);
}

std::string encode_entries(const file_entries &entries)
{
    std::string out;
    for (const auto &entry : entries) {
        for (wchar_t unit : entry.first) {
            out += (char)(unit & 0xff);
            out += (char)(unit >> 8);
        }
        out.append(2, '\0');
        append_u64(out, entry.second.size());
        out += entry.second;
    }
    return out.append(2, '\0');
}

std::string compress_frame(const std::string &content, const frame_options &options)
{
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, options.level);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, options.window_log);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, options.checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, options.content_size ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_dictIDFlag, 0);
    if (options.content_size)
        ZSTD_CCtx_setPledgedSrcSize(context, content.size());

    /* Content handed over in pieces and the end announced separately, as a
    ** streaming packer does: a single call would let the library shrink the
    ** window to the content's size. */
    std::string frame;
    std::vector<char> buffer(ZSTD_CStreamOutSize());
    for (size_t offset = 0;; offset += 4096) {
        bool last = offset >= content.size();
        size_t piece = last ? 0 : std::min<size_t>(4096, content.size() - offset);
        ZSTD_inBuffer input = {content.data() + (last ? 0 : offset), piece, 0};
        ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_continue;
        size_t left;
        do {
            ZSTD_outBuffer output = {buffer.data(), buffer.size(), 0};
            left = ZSTD_compressStream2(context, &output, &input, mode);
            if (ZSTD_isError(left)) {
                ADD_FAILURE() << ZSTD_getErrorName(left);
                ZSTD_freeCCtx(context);
                return frame;
            }
            frame.append(buffer.data(), output.pos);
        } while (last ? left != 0 : input.pos < input.size);
        if (last)
            break;
    }
    ZSTD_freeCCtx(context);
    return frame;
}

std::string skippable_frame(size_t length)
{
    std::string frame = "\x50\x2a\x4d\x18";
    for (int i = 0; i < 4; i++)
        frame += (char)((length >> (8 * i)) & 0xff);
    return frame + std::string(length, '\x5a');
}

std::string wrap_object(const std::string &frames)
{
    std::string object = "QVY" + frames;
    while (object.size() % 8 != 0)
        object += '\0';
    append_u64(object, object.size());
    return object;
}

std::string make_object(const file_entries &entries)
{
    return wrap_object(compress_frame(encode_entries(entries)));
}

std::string probe_library()
{
    static const std::string library =
        read_file(std::wstring(ONEFILE_TEST_APPS_DIR) + L"\\probe_app.dll");
    return library;
}

namespace {

void write_patched_copy(const std::string &original, const std::wstring &path, const std::string &object)
{
    const std::string marker = "ONEFILE-PATCH-ME";
    size_t at = original.find(marker);
    ASSERT_NE(at, std::string::npos) << "patchable bootstrap not found or without marker";
    ASSERT_EQ(original.find(marker, at + 1), std::string::npos);
    size_t size_at = at + marker.size();
    size_t data_at = (size_at + 8 + 15) / 16 * 16;
    ASSERT_LE(object.size(), 2097152u);

    std::string patched = original;
    for (int i = 0; i < 8; i++)
        patched[size_at + i] = (char)((object.size() >> (8 * i)) & 0xff);
    patched.replace(data_at, object.size(), object);
    write_file(path, patched);
}

} // namespace

void write_patched_bootstrap(const std::wstring &path, const std::string &object)
{
    static const std::string original =
        read_file(std::wstring(ONEFILE_TEST_BINARY_DIR) + L"\\patchable_bootstrap.exe");
    write_patched_copy(original, path, object);
}

void write_patched_splash_bootstrap(const std::wstring &path, const std::string &object)
{
    static const std::string original =
        read_file(std::wstring(ONEFILE_TEST_BINARY_DIR) + L"\\patchable_splash_bootstrap.exe");
    write_patched_copy(original, path, object);
}

void set_rcdata_resource(const std::wstring &executable, unsigned id, const std::string &data)
{
    HANDLE update = BeginUpdateResourceW(executable.c_str(), FALSE);
    ASSERT_NE(update, (HANDLE)NULL) << "error " << GetLastError();
    ASSERT_TRUE(UpdateResourceW(update, (LPCWSTR)RT_RCDATA, MAKEINTRESOURCEW(id),
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), (void *)data.data(),
                                (DWORD)data.size()))
        << "error " << GetLastError();
    ASSERT_TRUE(EndUpdateResourceW(update, FALSE)) << "error " << GetLastError();
}

void pack_folder(const std::wstring &folder, const std::wstring &main, const std::wstring &output,
                 const std::wstring &options)
{
    process_options pack;
    pack.command_line = quote_argument(ONEFILE_TEST_PACKER) + L" --quiet --level 1 --runtime-dir "
                      + quote_argument(ONEFILE_TEST_RUNTIME_DIR) + L" --main " + quote_argument(main)
                      + L" " + options + L" -o " + quote_argument(output) + L" " + quote_argument(folder);
    process_result packed = run_process(pack);
    ASSERT_EQ(packed.exit_code, 0u) << packed.err;
}
