/*
** Executables that the packer wrote, whose attached data is many frames
** with their index: unpacked on every core the process may use, the same
** files whatever their number, and every failure in any thread (a damaged
** frame, a full volume, Ctrl+C) ends the start with one line and leaves
** nothing behind.
*/
#include <gtest/gtest.h>

#include <zstd.h>

#include "attached_data_builder.h"
#include "process_tree.h"
#include "run_process.h"

namespace {

/* Bytes that zstd packs a little, the same for the same seed. */
std::string varied_bytes(size_t length, unsigned seed)
{
    std::string out(length, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (char &c : out) {
        state = state * 1103515245u + 12345u;
        c = (char)((state >> 16) % 64 + ' ');
    }
    return out;
}

/* write_file, with the folders above the file made first. */
void write_file_in_tree(const std::wstring &path, const std::string &content)
{
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), NULL);
    write_file(path, content);
}

uint64_t little_endian(const std::string &bytes, size_t at, int width)
{
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; i--)
        value = value << 8 | (unsigned char)bytes.at(at + i);
    return value;
}

class Frames : public in_scratch_folder<> {
protected:
    /* An application of many frames: a file larger than a frame and many
    ** small ones in folders, the probe library first. */
    void SetUp() override
    {
        app = folder + L"\\app";
        files[L"probe_app.dll"] = probe_library();
        files[L"big.bin"] = varied_bytes(9u << 20, 1);
        for (int i = 0; i < 300; i++)
            files[L"docs\\" + std::to_wstring(i % 7) + L"\\" + std::to_wstring(i) + L".txt"] =
                varied_bytes(100 + 97 * i, (unsigned)i);
        for (const auto &[name, content] : files)
            write_file_in_tree(app + L"\\" + name, content);
        pack_folder(app, L"probe_app.dll", executable);
    }

    process_options options(const std::wstring &temp_folder)
    {
        process_options run;
        run.command_line = quote_argument(executable);
        as_fresh_start(run, temp_folder);
        run.environment[L"PROBE_READY"] = folder + L"\\ready.txt";
        run.environment[L"PROBE_HOLD"] = folder + L"\\release.txt";
        return run;
    }

    /* The offset in the executable of the middle one of its data frames. */
    size_t middle_frame(const std::string &image)
    {
        size_t object = image.find(std::string("QVY\x5E\x2A\x4D\x18", 7));
        size_t payload = (size_t)little_endian(image, object + 7, 4);
        std::string index(ZSTD_getFrameContentSize(image.data() + object + 11, payload), '\0');
        ZSTD_decompress(&index[0], index.size(), image.data() + object + 11, payload);
        size_t frames = (size_t)little_endian(index, 4, 4);
        EXPECT_GT(frames, 4u) << "the application fills several frames";
        return object + 11 + payload + (size_t)little_endian(index, 16 + 32 * (frames / 2), 8);
    }

    std::wstring app;
    std::map<std::wstring, std::string> files;
};

TEST_F(Frames, every_number_of_cores_writes_the_same_files)
{
    for (DWORD_PTR cores : {(DWORD_PTR)1, (DWORD_PTR)0}) {
        SCOPED_TRACE(cores == 1 ? "one core" : "every core");
        DeleteFileW((folder + L"\\ready.txt").c_str());
        DeleteFileW((folder + L"\\release.txt").c_str());
        process_options run = options(temp);
        if (cores != 0)
            run.before_running = [cores](DWORD id) {
                HANDLE process = OpenProcess(PROCESS_SET_INFORMATION, FALSE, id);
                SetProcessAffinityMask(process, cores);
                CloseHandle(process);
            };
        running_process started = start_process(run);
        ASSERT_TRUE(wait_for_file(folder + L"\\ready.txt", 60000));
        std::wstring library;
        for (int i = 0; i < 500 && library.empty(); i++, Sleep(10))
            library = utf16(read_file(folder + L"\\ready.txt"));
        std::wstring unpacked = library.substr(0, library.rfind(L'\\'));
        std::vector<std::wstring> names;
        for (const auto &[name, content] : files) {
            names.push_back(name);
            EXPECT_TRUE(read_file(unpacked + L"\\" + name) == content) << utf8(name);
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(list_files(unpacked), names);
        write_file(folder + L"\\release.txt", "");
        EXPECT_EQ(finish_process(started, 60000).exit_code, 0u);
        EXPECT_TRUE(list_folder(temp).empty());
    }
}

TEST_F(Frames, a_damaged_frame_in_the_middle_ends_with_one_line_and_leaves_nothing)
{
    std::string image = read_file(executable);
    image[middle_frame(image) + 200] ^= 0x10;
    write_file(executable, image);
    process_result result = run_process(options(temp));
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, couldn't decode attached data.\r\n");
    EXPECT_FALSE(path_exists(folder + L"\\ready.txt")) << "the application never ran";
    EXPECT_TRUE(list_folder(temp).empty());
}

/* Windows reports a full disk as error 112 (ERROR_DISK_FULL), Wine 8 as 29
** (ERROR_WRITE_FAULT); the line names the folder either way. */
TEST_F(Frames, a_full_volume_ends_with_one_line_that_says_so_and_leaves_nothing)
{
    std::wstring small = folder + L"\\small";
    CreateDirectoryW(small.c_str(), NULL);
    if (!run_unix({"mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", unix_path(small)}))
        GTEST_SKIP() << "no tmpfs to be had here (not root, or not Wine)";
    process_result result = run_process(options(small));
    std::vector<std::wstring> left = list_folder(small);
    run_unix({"umount", unix_path(small)});
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err.rfind("Error, couldn't unpack file to target path: the volume that holds '", 0), 0u)
        << result.err;
    EXPECT_NE(result.err.find("' is full. ([Error "), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line";
}

/* Windows: the GUI bootstrap meets this at the end of the session, whose
** window messages its main thread serves while the workers unpack. */
TEST_F(Frames, ctrl_c_during_the_unpacking_removes_what_every_thread_wrote)
{
    /* Long enough an unpacking to be interrupted within it: many files, as
    ** a file's creation costs more than its bytes. */
    for (int i = 0; i < 6000; i++)
        write_file_in_tree(app + L"\\more\\" + std::to_wstring(i % 60) + L"\\" + std::to_wstring(i) + L".txt",
                           varied_bytes(1000, (unsigned)i));
    pack_folder(app, L"probe_app.dll", executable);
    running_process started = start_process(options(temp));
    for (int i = 0; i < 3000 && list_folder(temp).empty(); i++)
        Sleep(1);
    ASSERT_FALSE(list_folder(temp).empty()) << "unpacking did not begin";
    interrupt_windows_program(folder, executable);
    process_result result = finish_process(started, 120000);
    EXPECT_FALSE(result.timed_out);
    EXPECT_FALSE(path_exists(folder + L"\\ready.txt")) << "no child may start once the clean-up has begun";
    EXPECT_TRUE(list_folder(temp).empty());
}

} // namespace
