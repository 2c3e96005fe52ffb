/*
** Damaged attached data through the real bootstrap. Valid objects are
** mutated (flipped bits, cut or replaced ends, wrong entry sizes, names
** without terminators, garbage after the end, wrong headers) and every
** mutant is run in one reused copy of the patchable bootstrap. Whatever the
** damage, a run either unpacks what the data says and runs the application,
** or ends with status 2 and one known message; it never crashes, never hangs
** and never writes outside its private temporary folder.
**
** What a mutant says is found by reading it here the way the bootstrap
** does: the same zstd decode calls over the same bytes, then the entries.
** That tells whether the run may reach the application, which messages can
** stop it, which files a run must leave, and whether the application
** library itself came out damaged (a flip in stored bytes decodes without
** error, as there is no checksum): only then may the child end in any way,
** and the parent must still hand its status on and remove the directory.
**
** Cases come from a seeded generator. A failure names the seed and the
** case; ONEFILE_MUTATION_SEED=<n> and ONEFILE_MUTATION_CASE=<i> run that
** case again (with --gtest_filter for its test). ONEFILE_LONG_TESTS=1 runs
** 25 times as many cases; ONEFILE_MUTATION_VERBOSE=1 prints every case.
*/
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <zstd.h>

#include "attached_data_builder.h"
#include "patch_in_place.h"
#include "process_tree.h"
#include "run_process.h"

namespace {

const size_t decode_window = 131072;
const size_t write_chunk = 32768;
const unsigned long long decoded_limit = 64ull << 20;
const DWORD run_timeout_ms = 20000;
const DWORD probe_status = 9;
const DWORD killed_child_status = 0x7E57;

/* Settings from the environment. */

std::string setting(const char *name)
{
    char value[64];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

bool long_run() { return setting("ONEFILE_LONG_TESTS") == "1"; }

/* Every case's outcome and time, for looking into a family. */
bool verbose() { return setting("ONEFILE_MUTATION_VERBOSE") == "1"; }

unsigned long long mutation_seed()
{
    std::string seed = setting("ONEFILE_MUTATION_SEED");
    return seed.empty() ? 1 : std::stoull(seed);
}

int only_case()
{
    std::string chosen = setting("ONEFILE_MUTATION_CASE");
    return chosen.empty() ? -1 : std::stoi(chosen);
}

/* The valid objects that the mutants come from. */

std::string incompressible(size_t length, unsigned seed)
{
    std::mt19937 random(seed);
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

struct base_object {
    const char *label;
    file_entries entries;
    frame_options frame;
    std::string object;
    size_t frame_end = 0; /* offset of the first byte after the frame */
};

base_object make_base(const char *label, file_entries entries, frame_options frame)
{
    base_object base;
    base.label = label;
    base.entries = std::move(entries);
    base.frame = frame;
    std::string compressed = compress_frame(encode_entries(base.entries), frame);
    base.object = wrap_object(compressed);
    base.frame_end = 3 + compressed.size();
    return base;
}

const std::vector<base_object> &base_objects()
{
    static const std::vector<base_object> bases = [] {
        std::vector<base_object> made;
        made.push_back(make_base("stored data", {{L"probe_app.dll", probe_library()},
                                                 {L"data\\zero.txt", ""},
                                                 {L"data\\large.bin", incompressible(200000, 11)},
                                                 {L"notes.txt", "notes\r\n"}},
                                 {3, 27, false, false}));
        made.push_back(make_base("text with checksum", {{L"probe_app.dll", probe_library()},
                                                        {L"text\\big.txt", text(300000, 12)},
                                                        {L"e1", ""},
                                                        {L"e2", ""}},
                                 {6, 27, true, false}));
        made.push_back(make_base("library alone, content size", {{L"probe_app.dll", probe_library()}},
                                 {1, 27, false, true}));
        file_entries many = {{L"probe_app.dll", probe_library()}};
        for (int i = 0; i < 30; i++)
            many.push_back({L"d" + std::to_wstring(i % 4) + L"\\f" + std::to_wstring(i),
                            text((size_t)i * 37, 100 + i)});
        many.push_back({L"edge\\exact.bin", incompressible(decode_window, 13)});
        many.push_back({L"edge\\over.bin", incompressible(decode_window + 1, 14)});
        many.push_back({L"edge\\empty", ""});
        made.push_back(make_base("many files", many, {3, 27, false, false}));
        return made;
    }();
    return bases;
}

/* The attached data read the way the bootstrap reads it. */

enum class ending { bad_header, undecodable, name_too_long, complete, too_large };

struct reading {
    ending end = ending::complete;
    file_entries entries;           /* read in full, in order */
    std::vector<std::wstring> names; /* every name read, the last one maybe without data */
};

class reference_stream {
public:
    explicit reference_stream(const std::string &object)
        : context(ZSTD_createDCtx()), buffer(decode_window)
    {
        input = {object.data() + 3, object.size() - 3, 0};
    }
    ~reference_stream() { ZSTD_freeDCtx(context); }

    /* Appends the next n decoded bytes; false where the bootstrap's read
    ** would fail. */
    bool read(std::string &out, size_t n)
    {
        bool filled = false;
        while (n > 0) {
            if (position < size) {
                size_t m = std::min(size - position, n);
                out.append(buffer.data() + position, m);
                position += m;
                n -= m;
                continue;
            }
            if (!filled && input.pos >= input.size)
                return false;
            ZSTD_outBuffer window = {buffer.data(), buffer.size(), 0};
            if (ZSTD_isError(ZSTD_decompressStream(context, &window, &input)))
                return false;
            filled = window.pos == buffer.size();
            size = window.pos;
            position = 0;
            decoded += size;
        }
        return true;
    }

    unsigned long long decoded = 0;

private:
    ZSTD_DCtx *context;
    ZSTD_inBuffer input;
    std::vector<char> buffer;
    size_t size = 0, position = 0;
};

reading read_like_the_bootstrap(const std::string &object)
{
    reading result;
    if (object.size() < 3 || object.compare(0, 3, "QVY") != 0) {
        result.end = ending::bad_header;
        return result;
    }
    reference_stream stream(object);
    for (;;) {
        std::wstring name;
        for (;;) {
            if (name.size() == 1023 + 1) {
                result.end = ending::name_too_long;
                return result;
            }
            std::string unit;
            if (!stream.read(unit, 2)) {
                result.end = ending::undecodable;
                return result;
            }
            wchar_t c = (wchar_t)((unsigned char)unit[0] | ((unsigned char)unit[1] << 8));
            if (c == 0)
                break;
            name += c;
        }
        if (name.empty())
            return result;
        result.names.push_back(name);
        std::string size_bytes;
        if (!stream.read(size_bytes, 8)) {
            result.end = ending::undecodable;
            return result;
        }
        unsigned long long size = 0;
        for (int i = 7; i >= 0; i--)
            size = (size << 8) | (unsigned char)size_bytes[i];
        std::string data;
        for (unsigned long long left = size; left > 0;) {
            size_t chunk = (size_t)std::min<unsigned long long>(left, write_chunk);
            if (!stream.read(data, chunk)) {
                result.end = ending::undecodable;
                return result;
            }
            left -= chunk;
            if (stream.decoded > decoded_limit) {
                result.end = ending::too_large;
                return result;
            }
        }
        result.entries.push_back({name, data});
    }
}

/* Names. */

std::wstring lower(std::wstring name)
{
    for (wchar_t &c : name)
        if (c >= L'A' && c <= L'Z')
            c = (wchar_t)(c - L'A' + L'a');
    return name;
}

bool is_device_name(const std::wstring &component)
{
    std::wstring stem = lower(component.substr(0, component.find(L'.')));
    if (stem == L"con" || stem == L"prn" || stem == L"aux" || stem == L"nul")
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, L"com") == 0 || stem.compare(0, 3, L"lpt") == 0)
           && stem[3] >= L'1' && stem[3] <= L'9';
}

/* A name such as the packer writes: short, plain components. */
bool plain_name(const std::wstring &name)
{
    if (name.empty() || name.size() > 60)
        return false;
    for (size_t start = 0; start <= name.size();) {
        size_t end = std::min(name.find(L'\\', start), name.size());
        std::wstring component = name.substr(start, end - start);
        if (component.empty() || component == L"." || component == L".." || component.back() == L'.'
            || is_device_name(component))
            return false;
        for (wchar_t c : component)
            if (c > 0x7f || (!iswalnum(c) && c != L'_' && c != L'-' && c != L'.'))
                return false;
        start = end + 1;
    }
    return true;
}

/* Every name plain, and none a folder of another: no open can fail. */
bool names_open_safely(const std::vector<std::wstring> &names)
{
    std::set<std::wstring> files;
    for (const std::wstring &name : names) {
        if (!plain_name(name))
            return false;
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

/* What a run may end with. */

enum class message {
    none, unknown, header, decode, name_too_long, path_too_long, no_application, entry_point,
    open_failure, unpack_failure, load_library
};

const char *message_name(message kind)
{
    switch (kind) {
    case message::none: return "no message";
    case message::unknown: return "an unknown message";
    case message::header: return "the header message";
    case message::decode: return "the decode message";
    case message::name_too_long: return "the long name message";
    case message::path_too_long: return "the long path message";
    case message::no_application: return "the no application message";
    case message::entry_point: return "the entry point message";
    case message::open_failure: return "the open message";
    case message::unpack_failure: return "the write message";
    case message::load_library: return "the load message";
    }
    return "?";
}

bool starts_with(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string &text, const std::string &suffix)
{
    return text.size() >= suffix.size()
           && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

/* Exactly one known line on the stream it belongs to, or unknown. */
message classify(const process_result &result, const std::wstring &temp)
{
    if (result.out.empty() && result.err.empty())
        return message::none;
    const std::string &line = result.out.empty() ? result.err : result.out;
    if (!result.out.empty() && !result.err.empty())
        return message::unknown;
    if (!ends_with(line, "\r\n") || line.find('\n') != line.size() - 1)
        return message::unknown;
    std::string text = line.substr(0, line.size() - 2);
    if (!result.out.empty()) {
        static const std::pair<const char *, message> lines[] = {
            {"Error, couldn't find attached data header.", message::header},
            {"Error, couldn't decode attached data.", message::decode},
            {"Error, attached data holds a file name longer than 1023 characters.",
             message::name_too_long},
            {"Error, attached data holds a file whose unpack path is too long.",
             message::path_too_long},
            {"Error, attached data holds no application to run.", message::no_application},
            {"Error, DLL entry point not found.", message::entry_point},
        };
        for (const auto &known : lines)
            if (text == known.first)
                return known.second;
        return message::unknown;
    }
    if (starts_with(text, "Error, failed to open '" + utf8(temp) + "\\onefile_")
        && ends_with(text, "' for writing."))
        return message::open_failure;
    if (starts_with(text, "Error, couldn't unpack file to target path. ([Error ") && ends_with(text, ")"))
        return message::unpack_failure;
    if (starts_with(text, "Error, load DLL. ([Error ") && ends_with(text, ")"))
        return message::load_library;
    return message::unknown;
}

bool reported_by_the_child(message kind)
{
    return kind == message::no_application || kind == message::entry_point
           || kind == message::load_library;
}

struct rules {
    bool may_run = false;
    bool must_run = false;
    std::set<message> messages;
    /* The application library came out damaged: the child may end any way. */
    bool application_damaged = false;
    bool compare_files = false;
    std::map<std::wstring, std::string> files;
    std::string because;
};

rules rules_for(const reading &read)
{
    rules allowed;
    bool safe = names_open_safely(read.names);
    std::set<message> open_failures;
    if (!safe)
        open_failures = {message::open_failure, message::unpack_failure};
    switch (read.end) {
    case ending::bad_header:
        allowed.messages = {message::header};
        allowed.because = "bad header";
        break;
    case ending::undecodable:
        allowed.messages = open_failures;
        allowed.messages.insert(message::decode);
        allowed.because = "content ends before its end marker";
        break;
    case ending::name_too_long:
        allowed.messages = open_failures;
        allowed.messages.insert(message::name_too_long);
        allowed.because = "a name of more than 1023 units";
        break;
    case ending::too_large:
        allowed.may_run = true;
        allowed.application_damaged = true;
        allowed.messages = {message::decode,        message::name_too_long, message::open_failure,
                            message::unpack_failure, message::load_library,  message::entry_point,
                            message::no_application};
        allowed.because = "decodes to more than the reference reads";
        break;
    case ending::complete:
        if (read.entries.empty()) {
            allowed.messages = {message::no_application};
            allowed.because = "no entry at all";
            break;
        }
        allowed.may_run = true;
        allowed.files = final_files(read.entries);
        allowed.compare_files = safe;
        std::wstring first = lower(read.entries[0].first);
        bool intact = allowed.files[first] == probe_library();
        allowed.application_damaged = !intact;
        bool loadable = intact && safe && first.size() > 4 && first.compare(first.size() - 4, 4, L".dll") == 0;
        allowed.must_run = safe && loadable;
        allowed.messages = open_failures;
        if (!loadable)
            allowed.messages.insert({message::load_library, message::entry_point});
        allowed.because = std::string("complete content, ") + (intact ? "library intact" : "library damaged")
                        + (safe ? ", plain names" : ", odd names");
        break;
    }
    return allowed;
}

/* Overrides from how a mutant was made, independent of the reference read. */
enum class made_to { follow_reading, run_unchanged, fail_with_header, fail_with_decode };

struct mutant {
    std::string object;
    std::string description;
    made_to expectation = made_to::follow_reading;
    const base_object *base = nullptr;
};

std::string describe_reading(const reading &read)
{
    static const char *const endings[] = {"bad header", "undecodable", "name too long", "complete",
                                          "too large"};
    std::ostringstream out;
    out << endings[(int)read.end] << ", " << read.entries.size() << " entries read";
    for (size_t i = 0; i < read.names.size() && i < 6; i++)
        out << (i ? ", " : ": ") << '"' << utf8(read.names[i].substr(0, 40)) << '"';
    return out.str();
}

/* FNV-1a, the same in every build: a family's cases stay the same. */
unsigned family_hash(const char *family)
{
    unsigned hash = 2166136261u;
    for (const char *c = family; *c; c++)
        hash = (hash ^ (unsigned char)*c) * 16777619u;
    return hash;
}

/* The fixture: one copy of the bootstrap, a scratch folder with the
** private TEMP, a disposable current folder and the probe's files. */
class RobustMutation : public testing::Test {
protected:
    /* Under Wine a crash starts the debugger, which shows a dialog and
    ** waits for it to be closed when a display is there: a crash would look
    ** like a hang. Without the dialog the debugger ends the process at once
    ** and writes its backtrace to the process's standard error. */
    static void SetUpTestSuite()
    {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\WineDbg", 0, NULL, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &debugger_settings, NULL) != ERROR_SUCCESS)
            return;
        DWORD size = sizeof crash_dialog;
        had_crash_dialog = RegQueryValueExW(debugger_settings, L"ShowCrashDialog", NULL, NULL,
                                            (BYTE *)&crash_dialog, &size) == ERROR_SUCCESS;
        DWORD off = 0;
        RegSetValueExW(debugger_settings, L"ShowCrashDialog", 0, REG_DWORD, (const BYTE *)&off, sizeof off);
    }

    static void TearDownTestSuite()
    {
        if (debugger_settings == NULL)
            return;
        if (had_crash_dialog)
            RegSetValueExW(debugger_settings, L"ShowCrashDialog", 0, REG_DWORD, (const BYTE *)&crash_dialog,
                           sizeof crash_dialog);
        else
            RegDeleteValueW(debugger_settings, L"ShowCrashDialog");
        RegCloseKey(debugger_settings);
        debugger_settings = NULL;
    }

    static HKEY debugger_settings;
    static DWORD crash_dialog;
    static bool had_crash_dialog;

    void SetUp() override
    {
        /* Inherited by the bootstrap and its child: on Windows, no error
        ** box waits for a user when a damaged application crashes. */
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
        const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
        /* Short: unpacked paths stay far from MAX_PATH. */
        folder = make_scratch_folder(L"mut-" + utf16(std::string(test->name()).substr(0, 12)));
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
        unsigned long long seed = mutation_seed();
        int total = long_run() ? count * 25 : count;
        int chosen = only_case();
        std::map<std::string, int> tally;
        DWORD started = GetTickCount();
        for (int index = 0; index < total; index++) {
            if (chosen >= 0 && index != chosen)
                continue;
            std::seed_seq sequence{(unsigned)seed, (unsigned)(seed >> 32), family_hash(family),
                                   (unsigned)index};
            std::mt19937_64 random(sequence);
            mutant made = make(random);
            std::ostringstream where;
            where << family << " case " << index << " of seed " << seed << " (again: ONEFILE_MUTATION_SEED="
                  << seed << " ONEFILE_MUTATION_CASE=" << index << "): " << made.description;
            SCOPED_TRACE(where.str());
            DWORD case_started = GetTickCount();
            std::string outcome = run_one(made);
            tally[outcome]++;
            if (verbose())
                std::cout << "[ case " << index << " ] " << outcome << " in " << GetTickCount() - case_started
                          << " ms: " << made.description << std::endl;
            /* Only failures are recorded as parts of the result. */
            if (testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() > 40) {
                ADD_FAILURE() << "stopping after too many failures";
                break;
            }
        }
        int run = 0;
        for (const auto &kind : tally)
            run += kind.second;
        std::cout << "[ seed " << seed << " ] " << family << ": " << run << " cases in "
                  << (GetTickCount() - started) / 1000.0 << " s;";
        for (const auto &kind : tally)
            std::cout << " " << kind.first << " " << kind.second << ";";
        std::cout << std::endl;
    }

    /* One run of one mutant; returns a short name of its outcome. */
    std::string run_one(const mutant &made)
    {
        reading read = read_like_the_bootstrap(made.object);
        rules allowed = rules_for(read);
        switch (made.expectation) {
        case made_to::follow_reading:
            break;
        case made_to::run_unchanged:
            allowed = rules();
            allowed.may_run = allowed.must_run = allowed.compare_files = true;
            allowed.files = final_files(made.base->entries);
            allowed.because = "only unread bytes changed";
            break;
        case made_to::fail_with_header:
            allowed = rules();
            allowed.messages = {message::header};
            allowed.because = "header changed";
            break;
        case made_to::fail_with_decode:
            allowed = rules();
            allowed.messages = {message::decode};
            allowed.because = "frame cut short";
            break;
        }
        SCOPED_TRACE("expected from the data: " + allowed.because + "; read here: " + describe_reading(read));

        if (!patch_in_place(executable, made.object)) {
            ADD_FAILURE() << "the executable cannot be patched: is a process of the last case still running?";
            return "not run";
        }
        observed run = start_and_watch();
        return check(run, allowed);
    }

    struct observed {
        process_result result;
        bool start_retried = false;
        bool timed_out = false;
        bool child_found_on_timeout = false;
        bool reached_application = false;
        bool reported = false;
        std::map<std::wstring, std::string> unpacked; /* lower-case names */
        std::vector<std::wstring> stray;              /* things outside TEMP */
        std::vector<std::wstring> left_in_temp;
        std::vector<std::wstring> beside_unpack_directory;
    };

    /* Under load Wine now and then fails to create a process (error 1359)
    ** before any of its code runs: the test's own start is tried once more.
    ** The bootstrap's start of its child gets no such help. */
    running_process start_bootstrap(const process_options &run, observed &seen)
    {
        for (int attempt = 0;; attempt++) {
            testing::TestPartResultArray failures;
            running_process started;
            {
                testing::ScopedFakeTestPartResultReporter intercept(
                    testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
                started = start_process(run);
            }
            if (started.process != NULL || attempt == 1) {
                for (int i = 0; i < failures.size(); i++)
                    ADD_FAILURE() << failures.GetTestPartResult(i).message();
                return started;
            }
            seen.start_retried = true;
            Sleep(200);
        }
    }

    observed start_and_watch()
    {
        std::wstring ready = probe + L"\\ready.txt", hold = probe + L"\\hold.txt";
        process_options run;
        run.command_line = quote_argument(executable);
        run.current_directory = cwd;
        use_temp_folder(run, temp);
        run.environment[L"PROBE_REPORT"] = probe + L"\\report.txt";
        run.environment[L"PROBE_READY"] = ready;
        run.environment[L"PROBE_HOLD"] = hold;
        run.environment[L"PROBE_EXIT"] = std::to_wstring(probe_status);
        for (const wchar_t *name : {L"QALVEN_ONEFILE_PARENT", L"QALVEN_ONEFILE_RANDOM",
                                    L"QALVEN_ONEFILE_TIME_US", L"QALVEN_ONEFILE_START"})
            run.environment[name] = std::nullopt;

        observed seen;
        running_process started = start_bootstrap(run, seen);
        DWORD begin = GetTickCount();
        bool released = false;
        while (started.process != NULL) {
            if (!released && path_exists(ready)) {
                /* The application runs: the extraction is complete. */
                seen.reached_application = true;
                std::vector<std::wstring> directories = list_folder(temp);
                if (directories.size() == 1)
                    for (const std::wstring &name : list_files(temp + L"\\" + directories[0]))
                        seen.unpacked[lower(name)] = read_file(temp + L"\\" + directories[0] + L"\\" + name);
                write_file(hold, "");
                released = true;
            } else if (WaitForSingleObject(started.process, 5) == WAIT_OBJECT_0) {
                break;
            } else if (GetTickCount() - begin > run_timeout_ms) {
                seen.timed_out = true;
                /* A hanging application is ended from outside: the parent
                ** must hand that status on. A hanging bootstrap is killed. */
                for (DWORD child : child_process_ids(started.id)) {
                    seen.child_found_on_timeout = true;
                    terminate_process_id(child, killed_child_status);
                }
                break;
            }
        }
        seen.result = finish_process(started, 10000);
        if (seen.result.timed_out)
            seen.timed_out = true;

        for (const std::wstring &name : list_folder(folder))
            if (name != L"app.exe" && name != L"temp" && name != L"cwd" && name != L"probe")
                seen.stray.push_back(name);
        for (const std::wstring &name : list_folder(cwd))
            seen.stray.push_back(L"cwd\\" + name);
        for (const std::wstring &name : list_folder(probe))
            if (name != L"ready.txt" && name != L"hold.txt" && name != L"report.txt")
                seen.stray.push_back(L"probe\\" + name);
        seen.left_in_temp = list_folder(temp);
        for (const std::wstring &name : seen.left_in_temp)
            if (name.compare(0, 8, L"onefile_") != 0 || !is_directory(temp + L"\\" + name))
                seen.beside_unpack_directory.push_back(name);
        seen.reported = path_exists(probe + L"\\report.txt");

        /* Reset for the next case; the bootstrap's own removal is checked
        ** above, this one is ours. */
        remove_tree(temp);
        remove_tree(probe);
        CreateDirectoryW(temp.c_str(), NULL);
        CreateDirectoryW(probe.c_str(), NULL);
        if (!list_folder(temp).empty())
            ADD_FAILURE() << "the test could not empty " << utf8(temp);
        return seen;
    }

    std::string check(const observed &seen, const rules &allowed)
    {
        const process_result &result = seen.result;
        if (seen.start_retried)
            std::cout << "[ note ] the bootstrap was started a second time after CreateProcessW failed" << std::endl;
        std::ostringstream shown;
        shown << "status 0x" << std::hex << result.exit_code << std::dec << ", stdout \"" << result.out
              << "\", stderr \"" << result.err << "\"";
        SCOPED_TRACE(shown.str());

        EXPECT_TRUE(seen.stray.empty()) << "written outside the private TEMP: " << utf8(seen.stray[0]);
        EXPECT_TRUE(seen.beside_unpack_directory.empty())
            << "written into TEMP beside the unpack directory: " << utf8(seen.beside_unpack_directory[0]);
        EXPECT_LE(seen.left_in_temp.size(), 1u) << "more than one unpack directory";

        if (seen.timed_out) {
            if (allowed.application_damaged && seen.child_found_on_timeout) {
                EXPECT_EQ(result.exit_code, killed_child_status)
                    << "the damaged application hung and was ended: the parent hands that status on";
                EXPECT_TRUE(seen.left_in_temp.empty()) << "the parent removes the directory";
                return "damaged application hung";
            }
            ADD_FAILURE() << "no end within " << run_timeout_ms / 1000 << " s"
                          << (seen.child_found_on_timeout ? " (the child was still running)"
                                                          : " (the bootstrap itself hung)");
            return "hang";
        }

        message kind = classify(result, temp);
        if (result.exit_code == probe_status && kind == message::none && seen.reached_application) {
            EXPECT_TRUE(allowed.may_run) << "the application ran although the data is unusable";
            EXPECT_TRUE(seen.left_in_temp.empty()) << "the unpack directory was not removed";
            EXPECT_TRUE(seen.reported) << "no report from the application";
            if (allowed.compare_files && seen.unpacked != allowed.files) {
                std::ostringstream difference;
                for (const auto &file : allowed.files)
                    if (!seen.unpacked.count(file.first) || seen.unpacked.at(file.first) != file.second)
                        difference << " missing or different: " << utf8(file.first) << ";";
                for (const auto &file : seen.unpacked)
                    if (!allowed.files.count(file.first))
                        difference << " unexpected: " << utf8(file.first) << ";";
                ADD_FAILURE() << "the unpacked files are not what the data says:" << difference.str();
            }
            return allowed.application_damaged ? "ran (library damaged)" : "ran";
        }
        if (result.exit_code == 2 && kind != message::none && kind != message::unknown) {
            EXPECT_FALSE(allowed.must_run) << "stopped with " << message_name(kind)
                                           << " although the data is fine to run";
            EXPECT_TRUE(allowed.messages.count(kind))
                << "stopped with " << message_name(kind) << ", which this data cannot cause";
            if (reported_by_the_child(kind))
                EXPECT_TRUE(seen.left_in_temp.empty()) << "the parent removes the directory after the child";
            if (kind == message::header)
                EXPECT_TRUE(seen.left_in_temp.empty()) << "nothing is written before the header is checked";
            return message_name(kind);
        }
        if (allowed.application_damaged && allowed.may_run) {
            /* The damaged library ended the child its own way. */
            EXPECT_TRUE(seen.left_in_temp.empty()) << "the parent removes the directory after the child";
            return "damaged application's own ending";
        }
        ADD_FAILURE() << "neither a run of the application nor a known fatal message ("
                      << message_name(kind) << ")";
        return "bad ending";
    }

    std::wstring folder, temp, cwd, probe, executable;
};

HKEY RobustMutation::debugger_settings;
DWORD RobustMutation::crash_dialog;
bool RobustMutation::had_crash_dialog;

/* Helpers for making mutants. */

size_t uniform(std::mt19937_64 &random, size_t low, size_t high) /* [low, high) */
{
    return high <= low ? low : low + (size_t)(random() % (high - low));
}

const base_object &pick_base(std::mt19937_64 &random)
{
    const std::vector<base_object> &bases = base_objects();
    return bases[random() % bases.size()];
}

std::string random_bytes(std::mt19937_64 &random, size_t length)
{
    std::string out(length, '\0');
    for (char &c : out)
        c = (char)random();
    return out;
}

std::string hex(unsigned long long value)
{
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

void append_u64(std::string &out, unsigned long long value)
{
    for (int i = 0; i < 8; i++)
        out += (char)((value >> (8 * i)) & 0xff);
}

std::string encode_name(const std::wstring &name)
{
    std::string out;
    for (wchar_t unit : name) {
        out += (char)(unit & 0xff);
        out += (char)(unit >> 8);
    }
    return out;
}

TEST_F(RobustMutation, flipped_bits_never_crash_hang_or_escape_temp)
{
    run_cases("bit flips", 40, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        mutant made;
        made.base = &base;
        made.object = base.object;
        std::ostringstream description;
        description << base.label << ", flips at";
        int flips = 1 + (int)(random() % 3);
        for (int i = 0; i < flips; i++) {
            /* Now and then in the small parts that steer everything: the
            ** header, the frame's header and first block, its end. */
            size_t where = random() % 100;
            size_t offset = where < 4 ? uniform(random, 0, 3)
                          : where < 14 ? uniform(random, 3, 3 + 16)
                          : where < 20 ? uniform(random, base.frame_end - 16, base.frame_end)
                          : where < 94 ? uniform(random, 3, base.frame_end)
                                       : uniform(random, base.frame_end, base.object.size());
            int bit = (int)(random() % 8);
            made.object[offset] = (char)(made.object[offset] ^ (1 << bit));
            description << " " << offset << "^" << (1 << bit);
        }
        /* Flips may cancel out. */
        size_t first_change = 0;
        while (first_change < base.object.size() && made.object[first_change] == base.object[first_change])
            first_change++;
        made.description = description.str();
        made.expectation = first_change < 3 ? made_to::fail_with_header
                         : first_change >= base.frame_end ? made_to::run_unchanged
                                                          : made_to::follow_reading;
        return made;
    });
}

TEST_F(RobustMutation, a_cut_frame_is_never_run_and_a_cut_trailer_always_is)
{
    run_cases("cuts", 12, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        mutant made;
        made.base = &base;
        size_t where = random() % 10;
        size_t length = where == 0 ? uniform(random, 0, 3)
                      : where < 3 ? uniform(random, base.frame_end, base.object.size())
                                  : uniform(random, 3, base.frame_end);
        made.object = base.object.substr(0, length);
        made.description = std::string(base.label) + ", cut to " + std::to_string(length) + " of "
                         + std::to_string(base.object.size()) + " bytes, frame ends at "
                         + std::to_string(base.frame_end);
        /* A cut inside the checksum leaves the content whole; a cut right
        ** after the frame leaves no input behind it, which the reader may
        ** take for the end of the data. */
        made.expectation = length < 3 ? made_to::fail_with_header
                         : length > base.frame_end ? made_to::run_unchanged
                         : length == base.frame_end ? made_to::follow_reading
                         : base.frame.checksum && length >= base.frame_end - 4 ? made_to::follow_reading
                                                                                : made_to::fail_with_decode;
        return made;
    });
}

TEST_F(RobustMutation, random_tails_never_crash_hang_or_escape_temp)
{
    run_cases("random tails", 12, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        mutant made;
        made.base = &base;
        size_t keep = random() % 5 == 0 ? uniform(random, base.frame_end, base.object.size())
                                        : uniform(random, 3, base.frame_end);
        size_t rest = base.object.size() - keep;
        size_t length = std::min<size_t>(uniform(random, 0, 2 * rest + 64), 2097152 - keep);
        made.object = base.object.substr(0, keep) + random_bytes(random, length);
        made.description = std::string(base.label) + ", " + std::to_string(length)
                         + " random bytes from offset " + std::to_string(keep) + ", frame ends at "
                         + std::to_string(base.frame_end);
        made.expectation = keep >= base.frame_end ? made_to::run_unchanged : made_to::follow_reading;
        return made;
    });
}

TEST_F(RobustMutation, wrong_entry_sizes_never_crash_hang_or_escape_temp)
{
    run_cases("wrong sizes", 12, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        mutant made;
        made.base = &base;
        size_t chosen = random() % base.entries.size();
        unsigned long long real = base.entries[chosen].second.size();
        static const long long deltas[] = {1, -1, 2, -2, 7, -7, 4096, -4096, 131072, -131072};
        unsigned long long size;
        switch (random() % 4) {
        case 0: size = real + (unsigned long long)deltas[random() % 10]; break;
        case 1: size = real + (1ull << (20 + random() % 44)); break;
        case 2: size = random(); break;
        default: size = real / 2; break;
        }
        if (size == real)
            size = real + 1;
        std::string content;
        for (size_t i = 0; i < base.entries.size(); i++) {
            content += encode_name(base.entries[i].first) + std::string(2, '\0');
            append_u64(content, i == chosen ? size : base.entries[i].second.size());
            content += base.entries[i].second;
        }
        content.append(2, '\0');
        made.object = wrap_object(compress_frame(content, base.frame));
        made.description = std::string(base.label) + ", entry " + std::to_string(chosen) + " \""
                         + utf8(base.entries[chosen].first) + "\" of " + std::to_string(real)
                         + " bytes says " + std::to_string(size);
        return made;
    });
}

TEST_F(RobustMutation, unterminated_names_never_crash_hang_or_escape_temp)
{
    run_cases("unterminated names", 12, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        mutant made;
        made.base = &base;
        size_t chosen = random() % base.entries.size();
        int variant = (int)(random() % 3);
        std::string content;
        for (size_t i = 0; i < base.entries.size(); i++) {
            content += encode_name(base.entries[i].first);
            if (i == chosen && variant == 1) {
                /* The name goes on past any buffer. */
                content += encode_name(std::wstring(1100 + random() % 2000, L'n'));
                break;
            }
            if (i == chosen && variant == 2)
                break; /* The content ends inside the name. */
            if (i != chosen)
                content.append(2, '\0');
            append_u64(content, base.entries[i].second.size());
            content += base.entries[i].second;
        }
        if (variant == 0)
            content.append(2, '\0');
        made.object = wrap_object(compress_frame(content, base.frame));
        static const char *const variants[] = {"terminator dropped", "name runs on for more than 1023 units",
                                               "content ends inside the name"};
        made.description = std::string(base.label) + ", entry " + std::to_string(chosen) + " \""
                         + utf8(base.entries[chosen].first) + "\": " + variants[variant];
        return made;
    });
}

TEST_F(RobustMutation, garbage_after_the_end_marker_or_the_frame_is_never_read)
{
    run_cases("garbage after the end", 6, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        mutant made;
        made.base = &base;
        made.expectation = made_to::run_unchanged;
        std::string garbage = random_bytes(random, uniform(random, 1, 70000));
        std::string content = encode_entries(base.entries);
        std::string frame = compress_frame(content, base.frame);
        switch (random() % 3) {
        case 0:
            made.object = wrap_object(compress_frame(content + garbage, base.frame));
            made.description = "content";
            break;
        case 1:
            made.object = wrap_object(frame + garbage);
            made.description = "frame";
            break;
        default:
            made.object = wrap_object(frame + compress_frame(garbage, base.frame));
            made.description = "frame, as a second frame,";
            break;
        }
        made.description = std::string(base.label) + ", " + std::to_string(garbage.size())
                         + " random bytes after the " + made.description;
        return made;
    });
}

TEST_F(RobustMutation, a_wrong_magic_or_mode_byte_is_refused_before_anything_is_written)
{
    run_cases("headers", 6, [](std::mt19937_64 &random) {
        const base_object &base = pick_base(random);
        mutant made;
        made.base = &base;
        made.expectation = made_to::fail_with_header;
        made.object = base.object;
        static const char alternatives[] = {'q', 'v', 'y', 'N', 'Z', '\0', '\xff', 'Q', 'V', 'Y'};
        do {
            size_t at = random() % 3;
            made.object[at] = random() % 2 ? alternatives[random() % 10] : (char)random();
        } while (made.object.compare(0, 3, "QVY") == 0);
        made.description = std::string(base.label) + ", header " + hex((unsigned char)made.object[0]) + " "
                         + hex((unsigned char)made.object[1]) + " " + hex((unsigned char)made.object[2]);
        return made;
    });
}

} // namespace
