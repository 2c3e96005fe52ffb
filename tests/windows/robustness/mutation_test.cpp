/*
** Damaged attached data through the real bootstrap. Valid objects, framed as
** the packer frames them (with the content checksum), are mutated and every
** mutant is run in one reused copy of the patchable bootstrap. A run either
** unpacks exactly what the data says and runs the application, or ends with
** status 2 and one known line; in both cases it leaves nothing in its
** private TEMP and writes nothing outside it. It never runs damaged data,
** never crashes and never hangs.
**
** What the data says is decided without the bootstrap's code: the zstd
** command-line program decodes the mutant's frame (and fails on a damaged
** one), and the decoded bytes are split into entries by the plain layout
** (name, 0x0000, 64-bit size, data; an empty name ends the list).
**
** Cases come from a seeded generator. A failure names the seed and the
** case; ONEFILE_MUTATION_SEED=<n> and ONEFILE_MUTATION_CASE=<i> run that
** case again (with --gtest_filter for its test). ONEFILE_LONG_TESTS=1 runs
** 25 times as many cases; ONEFILE_MUTATION_VERBOSE=1 prints every case.
*/
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "attached_data_builder.h"
#include "patch_in_place.h"
#include "process_tree.h"
#include "run_process.h"

namespace {

const size_t decode_window = 131072;
const DWORD run_timeout_ms = 20000;
const DWORD probe_status = 9;

std::string setting(const char *name)
{
    char value[64];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

std::string random_bytes(std::mt19937_64 &random, size_t length)
{
    std::string out(length, '\0');
    for (char &c : out)
        c = (char)random();
    return out;
}

std::string text(size_t length, unsigned seed)
{
    static const char *const words[] = {"bootstrap ", "unpack ", "window ", "frame ", "entry ",
                                        "directory\n", "child ", "status ", "zstd ", "name "};
    std::mt19937 random(seed);
    std::string out;
    while (out.size() < length)
        out += words[random() % 10];
    return out.substr(0, length);
}

/* The valid objects that the mutants come from: framed as the packer does. */

const frame_options packed = {3, 27, true, false};

struct base_object {
    const char *label;
    file_entries entries;
    std::string object;
    size_t frame_end = 0; /* offset of the first byte after the frame */
};

const std::vector<base_object> &base_objects()
{
    static const std::vector<base_object> bases = [] {
        std::mt19937_64 random(11);
        file_entries many = {{L"probe_app.dll", probe_library()}};
        for (int i = 0; i < 30; i++)
            many.push_back({L"d" + std::to_wstring(i % 4) + L"\\f" + std::to_wstring(i),
                            text((size_t)i * 37, 100 + i)});
        many.push_back({L"edge\\exact.bin", random_bytes(random, decode_window)});
        many.push_back({L"edge\\over.bin", random_bytes(random, decode_window + 1)});
        many.push_back({L"edge\\empty", ""});
        std::vector<std::pair<const char *, file_entries>> made = {
            {"stored data", {{L"probe_app.dll", probe_library()},
                             {L"data\\zero.txt", ""},
                             {L"data\\large.bin", random_bytes(random, 200000)},
                             {L"notes.txt", "notes\r\n"}}},
            {"text", {{L"probe_app.dll", probe_library()}, {L"text\\big.txt", text(300000, 12)}}},
            {"many files", many},
        };
        std::vector<base_object> out;
        for (auto &m : made) {
            std::string frame = compress_frame(encode_entries(m.second), packed);
            out.push_back({m.first, m.second, wrap_object(frame), 3 + frame.size()});
        }
        return out;
    }();
    return bases;
}

/* The oracle: the zstd program, built for Windows from the same Debian
** sources as the decoder but with none of the bootstrap's code, decodes the
** frame; nullopt when it refuses it. */
std::optional<std::string> decoded_by_zstd(const std::string &frame)
{
    process_options run;
    run.command_line = quote_argument(ONEFILE_TEST_APPS_DIR L"\\zstd.exe") + L" -d -q -c";
    run.input = frame;
    process_result result = run_process(run);
    if (result.timed_out)
        ADD_FAILURE() << "the zstd program did not end";
    if (result.exit_code != 0)
        return std::nullopt;
    return result.out;
}

/* Entries by the layout; nullopt when the content does not end right at
** its end marker. */
std::optional<file_entries> split_entries(const std::string &content)
{
    file_entries entries;
    size_t at = 0;
    for (;;) {
        std::wstring name;
        for (;; at += 2) {
            if (at + 2 > content.size() || name.size() > 1023)
                return std::nullopt;
            wchar_t unit = (wchar_t)((unsigned char)content[at] | ((unsigned char)content[at + 1] << 8));
            if (unit == 0)
                break;
            name += unit;
        }
        at += 2;
        if (name.empty())
            return at == content.size() ? std::optional<file_entries>(entries) : std::nullopt;
        if (at + 8 > content.size())
            return std::nullopt;
        unsigned long long size = 0;
        for (int i = 7; i >= 0; i--)
            size = (size << 8) | (unsigned char)content[at + i];
        at += 8;
        if (size > content.size() - at)
            return std::nullopt;
        entries.push_back({name, content.substr(at, (size_t)size)});
        at += (size_t)size;
    }
}

std::wstring lower(std::wstring name)
{
    for (wchar_t &c : name)
        if (c >= L'A' && c <= L'Z')
            c = (wchar_t)(c - L'A' + L'a');
    return name;
}

/* Short names of plain ASCII components, none a folder of another: no
** open can fail and no name is refused. */
bool plain_names(const file_entries &entries)
{
    std::set<std::wstring> files;
    for (const auto &entry : entries) {
        const std::wstring &name = entry.first;
        if (name.empty() || name.size() > 60)
            return false;
        for (size_t start = 0; start <= name.size();) {
            size_t end = std::min(name.find(L'\\', start), name.size());
            std::wstring part = name.substr(start, end - start);
            if (part.empty() || part.back() == L'.' || lower(part).rfind(L"con", 0) == 0
                || lower(part).rfind(L"nul", 0) == 0)
                return false;
            for (wchar_t c : part)
                if (c > 0x7f || (!iswalnum(c) && c != L'_' && c != L'-' && c != L'.'))
                    return false;
            start = end + 1;
        }
        files.insert(lower(name));
    }
    for (const std::wstring &file : files)
        for (size_t at = file.find(L'\\'); at != std::wstring::npos; at = file.find(L'\\', at + 1))
            if (files.count(file.substr(0, at)))
                return false;
    return true;
}

std::map<std::wstring, std::string> final_files(const file_entries &entries)
{
    std::map<std::wstring, std::string> files;
    for (const auto &entry : entries)
        files[lower(entry.first)] = entry.second;
    return files;
}

/* The lines a start may end with, each on its stream. */
const char *const output_lines[] = {
    "Error, couldn't find attached data header.",
    "Error, couldn't decode attached data.",
    "Error, attached data holds a file name longer than 1023 characters.",
    "Error, attached data holds a file whose unpack path is too long.",
    "Error, attached data holds an unsafe file name.",
    "Error, attached data holds no application to run.",
};
const char *const error_line_starts[] = {
    "Error, failed to open '",
    "Error, couldn't unpack file to target path. ([Error ",
};

/* The one line of a run that ended with status 2, or "" when it said
** something else or more. */
std::string one_known_line(const process_result &result)
{
    bool on_output = !result.out.empty();
    const std::string &said = on_output ? result.out : result.err;
    if ((on_output && !result.err.empty()) || said.size() < 2 || said.find('\n') != said.size() - 1
        || said.compare(said.size() - 2, 2, "\r\n") != 0)
        return "";
    std::string line = said.substr(0, said.size() - 2);
    if (on_output) {
        for (const char *known : output_lines)
            if (line == known)
                return line;
        return "";
    }
    for (const char *start : error_line_starts)
        if (line.rfind(start, 0) == 0)
            return line;
    return "";
}

/* What a mutant's run must do. */
struct expectation {
    std::string because;
    bool must_run = false;   /* else it must end with one line */
    bool may_run = false;
    std::map<std::wstring, std::string> files; /* of a run */
    std::string only_line;   /* when set, the one line it must end with */
};

/* From the content the mutant's frame decodes to (nullopt: damaged). */
expectation expect_from(const std::optional<std::string> &content)
{
    expectation expected;
    if (!content) {
        expected.because = "the zstd program refuses the frame";
        return expected;
    }
    std::optional<file_entries> entries = split_entries(*content);
    if (!entries) {
        expected.because = "the content does not end at its end marker";
        return expected;
    }
    if (entries->empty()) {
        expected.because = "no entry";
        expected.only_line = "Error, attached data holds no application to run.";
        return expected;
    }
    bool library = lower((*entries)[0].first) == L"probe_app.dll" && (*entries)[0].second == probe_library();
    expected.may_run = library;
    expected.must_run = library && plain_names(*entries);
    expected.files = final_files(*entries);
    expected.because = std::string("complete content") + (library ? "" : ", no intact library first")
                     + (plain_names(*entries) ? "" : ", odd names");
    return expected;
}

struct mutant {
    std::string object;
    std::string description;
    const base_object *base = nullptr;
    /* The bytes that the zstd program is given: the frame's place. */
    std::string frame;
};

unsigned family_hash(const char *family)
{
    unsigned hash = 2166136261u;
    for (const char *c = family; *c; c++)
        hash = (hash ^ (unsigned char)*c) * 16777619u;
    return hash;
}

class RobustMutation : public testing::Test {
protected:
    /* Under Wine a crash starts the debugger, whose dialog would wait for
    ** a user: without it the debugger ends the process at once. */
    static void SetUpTestSuite()
    {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\WineDbg", 0, NULL, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &debugger_settings, NULL) != ERROR_SUCCESS)
            return;
        DWORD off = 0;
        RegSetValueExW(debugger_settings, L"ShowCrashDialog", 0, REG_DWORD, (const BYTE *)&off, sizeof off);
    }

    static void TearDownTestSuite()
    {
        if (debugger_settings == NULL)
            return;
        RegDeleteValueW(debugger_settings, L"ShowCrashDialog");
        RegCloseKey(debugger_settings);
        debugger_settings = NULL;
    }

    static HKEY debugger_settings;

    void SetUp() override
    {
        /* Inherited: on Windows, no error box waits for a user. */
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        folder = make_scratch_folder(L"mut-" + utf16(name.substr(0, 12)));
        temp = folder + L"\\temp";
        cwd = folder + L"\\cwd";
        probe = folder + L"\\probe";
        executable = folder + L"\\app.exe";
        CreateDirectoryW(cwd.c_str(), NULL);
        CreateDirectoryW(probe.c_str(), NULL);
        write_patchable_copy(executable);
    }

    /* Runs `count` cases (25 times as many in the long run) made by `make`. */
    void run_cases(const char *family, int count, const std::function<mutant(std::mt19937_64 &)> &make)
    {
        unsigned long long seed = setting("ONEFILE_MUTATION_SEED").empty()
                                      ? 1 : std::stoull(setting("ONEFILE_MUTATION_SEED"));
        int chosen = setting("ONEFILE_MUTATION_CASE").empty() ? -1 : std::stoi(setting("ONEFILE_MUTATION_CASE"));
        int total = setting("ONEFILE_LONG_TESTS") == "1" ? count * 25 : count;
        std::map<std::string, int> tally;
        for (int index = 0; index < total; index++) {
            if (chosen >= 0 && index != chosen)
                continue;
            std::seed_seq sequence{(unsigned)seed, (unsigned)(seed >> 32), family_hash(family), (unsigned)index};
            std::mt19937_64 random(sequence);
            mutant made = make(random);
            std::ostringstream where;
            where << family << " case " << index << " (again: ONEFILE_MUTATION_SEED=" << seed
                  << " ONEFILE_MUTATION_CASE=" << index << "): " << made.description;
            SCOPED_TRACE(where.str());
            expectation expected = expect_from(decoded_by_zstd(made.frame));
            SCOPED_TRACE("expected: " + expected.because);
            ASSERT_TRUE(patch_in_place(executable, made.object)) << "is a process of the last case still running?";
            std::string outcome = run_and_check(expected);
            tally[outcome]++;
            if (setting("ONEFILE_MUTATION_VERBOSE") == "1")
                std::cout << "[ case " << index << " ] " << outcome << ": " << made.description << std::endl;
            if (testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() > 40)
                FAIL() << "stopping after too many failures";
        }
        std::cout << "[ seed " << seed << " ] " << family << ":";
        for (const auto &kind : tally)
            std::cout << " " << kind.first << " " << kind.second << ";";
        std::cout << std::endl;
    }

    /* One run; returns a short name of its outcome. */
    std::string run_and_check(const expectation &expected)
    {
        std::wstring ready = probe + L"\\ready.txt";
        process_options run;
        run.command_line = quote_argument(executable);
        run.current_directory = cwd;
        as_fresh_start(run, temp);
        run.environment[L"PROBE_REPORT"] = probe + L"\\report.txt";
        run.environment[L"PROBE_READY"] = ready;
        run.environment[L"PROBE_HOLD"] = probe + L"\\hold.txt";
        run.environment[L"PROBE_EXIT"] = std::to_wstring(probe_status);

        running_process started = start_process(run);
        std::map<std::wstring, std::string> unpacked;
        bool reached = false;
        for (DWORD begin = GetTickCount(); started.process != NULL;) {
            if (!reached && path_exists(ready)) {
                /* The application runs: the extraction is complete. */
                reached = true;
                std::vector<std::wstring> directories = list_folder(temp);
                if (directories.size() == 1)
                    for (const std::wstring &name : list_files(temp + L"\\" + directories[0]))
                        unpacked[lower(name)] = read_file(temp + L"\\" + directories[0] + L"\\" + name);
                write_file(probe + L"\\hold.txt", "");
            } else if (WaitForSingleObject(started.process, 5) == WAIT_OBJECT_0) {
                break;
            } else if (GetTickCount() - begin > run_timeout_ms) {
                for (DWORD child : child_process_ids(started.id))
                    terminate_process_id(child, 1);
                break;
            }
        }
        process_result result = finish_process(started, 10000);
        std::vector<std::wstring> stray;
        for (const std::wstring &name : list_folder(folder))
            if (name != L"app.exe" && name != L"temp" && name != L"cwd" && name != L"probe")
                stray.push_back(name);
        for (const std::wstring &name : list_folder(cwd))
            stray.push_back(L"cwd\\" + name);
        std::vector<std::wstring> left = list_folder(temp);
        remove_tree(temp);
        remove_tree(probe);
        CreateDirectoryW(temp.c_str(), NULL);
        CreateDirectoryW(probe.c_str(), NULL);

        std::ostringstream shown;
        shown << "status 0x" << std::hex << result.exit_code << std::dec << ", stdout \"" << result.out
              << "\", stderr \"" << result.err << "\"";
        SCOPED_TRACE(shown.str());
        EXPECT_TRUE(stray.empty()) << "written outside the private TEMP: " << utf8(stray[0]);
        EXPECT_TRUE(left.empty()) << "left in TEMP: " << utf8(left[0]);
        if (result.timed_out) {
            ADD_FAILURE() << "no end within " << run_timeout_ms / 1000 << " s";
            return "hang";
        }
        std::string line = one_known_line(result);
        if (result.exit_code == probe_status && reached && result.out.empty() && result.err.empty()) {
            EXPECT_TRUE(expected.may_run) << "the application ran although the data is unusable";
            if (expected.may_run)
                EXPECT_TRUE(unpacked == expected.files) << "the unpacked files are not what the data says";
            return "ran";
        }
        if (result.exit_code == 2 && !line.empty()) {
            EXPECT_FALSE(expected.must_run) << "stopped although the data is fine to run";
            if (!expected.only_line.empty())
                EXPECT_EQ(line, expected.only_line);
            return line.substr(0, 40);
        }
        ADD_FAILURE() << "neither a run of the application nor one known line";
        return "bad ending";
    }

    std::wstring folder, temp, cwd, probe, executable;
};

HKEY RobustMutation::debugger_settings;

size_t uniform(std::mt19937_64 &random, size_t low, size_t high) /* [low, high) */
{
    return high <= low ? low : low + (size_t)(random() % (high - low));
}

const base_object &pick_base(std::mt19937_64 &random)
{
    return base_objects()[random() % base_objects().size()];
}

/* The frame's place in a mutant of the same length as its base. */
mutant in_place(const base_object &base, std::string object, std::string description)
{
    mutant made;
    made.base = &base;
    made.frame = object.substr(3, base.frame_end - 3);
    made.object = std::move(object);
    made.description = std::string(base.label) + ", " + description;
    return made;
}

TEST_F(RobustMutation, flipped_bits_end_with_one_line_or_run_intact)
{
    run_cases("bit flips", 40, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        std::string object = base.object;
        std::ostringstream description;
        description << "flips at";
        for (int flips = 1 + (int)(random() % 3); flips > 0; flips--) {
            /* Now and then in the parts that steer everything: the frame's
            ** header, its end and checksum, what follows it. */
            size_t where = random() % 100;
            size_t offset = where < 10 ? uniform(random, 3, 3 + 16)
                          : where < 20 ? uniform(random, base.frame_end - 16, base.frame_end)
                          : where < 94 ? uniform(random, 3, base.frame_end)
                                       : uniform(random, base.frame_end, base.object.size());
            int bit = (int)(random() % 8);
            object[offset] = (char)(object[offset] ^ (1 << bit));
            description << " " << offset << "^" << (1 << bit);
        }
        return in_place(base, object, description.str());
    });
}

TEST_F(RobustMutation, a_flip_in_stored_bytes_is_caught_by_the_checksum)
{
    /* Incompressible data is stored as it is: a flip there decodes without
    ** error and only the checksum shows it. */
    run_cases("stored flips", 6, [](std::mt19937_64 &random) {
        const base_object &base = base_objects()[0];
        const std::string &large = base.entries[2].second;
        std::string object = base.object;
        size_t at = object.find(large.substr(1000, 64));
        size_t offset = at + uniform(random, 0, 64);
        object[offset] = (char)(object[offset] ^ (1 << (random() % 8)));
        mutant made = in_place(base, object, "a flip at " + std::to_string(offset));
        return made;
    });
}

TEST_F(RobustMutation, a_cut_frame_ends_with_one_line_and_a_cut_trailer_runs)
{
    run_cases("cuts", 12, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        size_t length = random() % 4 == 0 ? uniform(random, base.frame_end, base.object.size())
                                          : uniform(random, 3, base.frame_end);
        mutant made;
        made.base = &base;
        made.object = base.object.substr(0, length);
        made.frame = made.object.substr(3, base.frame_end - 3);
        made.description = std::string(base.label) + ", cut to " + std::to_string(length) + " bytes, frame ends at "
                         + std::to_string(base.frame_end);
        return made;
    });
}

TEST_F(RobustMutation, random_tails_end_with_one_line_or_run_intact)
{
    run_cases("random tails", 12, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        size_t keep = random() % 5 == 0 ? uniform(random, base.frame_end, base.object.size())
                                        : uniform(random, 3, base.frame_end);
        size_t length = uniform(random, 1, 2 * (base.object.size() - keep) + 64);
        mutant made;
        made.base = &base;
        made.object = base.object.substr(0, keep) + random_bytes(random, length);
        made.frame = made.object.substr(3, base.frame_end - 3);
        made.description = std::string(base.label) + ", " + std::to_string(length) + " random bytes from "
                         + std::to_string(keep) + ", frame ends at " + std::to_string(base.frame_end);
        return made;
    });
}

/* Content the packer would never write, in a sound frame: entry sizes that
** are wrong, names without their end. The library, first, stays intact. */
TEST_F(RobustMutation, wrong_content_in_a_sound_frame_ends_with_one_line_or_runs_as_it_says)
{
    run_cases("wrong content", 16, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        size_t chosen = 1 + random() % (base.entries.size() - 1);
        int variant = (int)(random() % 4);
        std::string content, said;
        for (size_t i = 0; i < base.entries.size(); i++) {
            file_entries one = {base.entries[i]};
            std::string entry = encode_entries(one);
            entry.resize(entry.size() - 2);    /* without the end marker */
            size_t size_at = 2 * base.entries[i].first.size() + 2;
            if (i == chosen && variant == 0) {
                unsigned long long real = base.entries[i].second.size();
                const unsigned long long sizes[] = {real + 1, real / 2, real + 7, real + 4096, real + 131072,
                                                    real + (1ull << 40), random()};
                unsigned long long size = sizes[random() % 7];
                for (int b = 0; b < 8; b++)
                    entry[size_at + b] = (char)(size >> (8 * b));
                said = "size " + std::to_string(size) + " for " + std::to_string(real);
            } else if (i == chosen && variant == 1) {
                entry.erase(size_at - 2, 2);
                said = "terminator dropped";
            } else if (i == chosen && variant == 2) {
                entry = entry.substr(0, size_at - 2) + std::string(2 * (1100 + random() % 2000), 'n');
                said = "name runs on past 1023 units";
            } else if (i == chosen) {
                entry = entry.substr(0, uniform(random, 0, size_at - 2));
                said = "content ends inside the name";
            }
            content += entry;
            if (i == chosen && variant >= 2)
                break;
        }
        if (variant < 2)
            content.append(2, '\0');
        std::string frame = compress_frame(content, packed);
        mutant made;
        made.base = &base;
        made.object = wrap_object(frame);
        made.frame = frame;
        made.description = std::string(base.label) + ", entry " + std::to_string(chosen) + ": " + said;
        return made;
    });
}

TEST_F(RobustMutation, what_follows_the_frame_or_the_end_marker_is_never_read)
{
    run_cases("after the end", 6, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        std::string garbage = random_bytes(random, uniform(random, 1, 70000));
        std::string content = encode_entries(base.entries);
        std::string frame = compress_frame(content, packed);
        mutant made;
        made.base = &base;
        if (random() % 2) {
            made.object = wrap_object(compress_frame(content + garbage, packed));
            made.description = "bytes after the end marker";
        } else {
            made.object = wrap_object(frame + garbage);
            made.description = "bytes after the frame";
        }
        /* What the data says is the base's content either way. */
        made.frame = frame;
        made.description = std::string(base.label) + ", " + std::to_string(garbage.size()) + " random "
                         + made.description;
        return made;
    });
}

} // namespace
