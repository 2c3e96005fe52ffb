// The executables that onefile-pack writes, read back by other tools than
// ours: binutils' objdump for the headers and sections, icoutils' wrestool
// for the resources. The application is a real DLL of the Windows build.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>
#include <set>

namespace {

const fs::path probe_dll = fs::path(ONEFILE_WINDOWS_BUILD_DIR) / "tests" / "apps" / "probe_app.dll";

// Standard output of a shell command; fails the test unless it succeeds.
std::string command_output(const std::string &command)
{
    std::string output;
    std::FILE *pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t got; pipe != nullptr && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    EXPECT_TRUE(pipe != nullptr && ::pclose(pipe) == 0) << command;
    return output;
}

std::string quoted(const fs::path &path)
{
    return "'" + path.string() + "'";
}

std::uint64_t little_endian(const std::string &bytes, std::size_t at, int width)
{
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
    return value;
}

// The PE checksum as the format defines it, written out once more here.
std::uint32_t pe_checksum_of(std::string image, std::size_t checksum_at)
{
    image.replace(checksum_at, 4, std::string(4, '\0'));
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < image.size(); i += 2) {
        sum += little_endian(image + '\0', i, 2);
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint32_t>((sum & 0xffff) + (sum >> 16) + image.size());
}

struct section {
    std::uint64_t size, address, file_offset;
};

// objdump's section table: name -> size, address, file offset.
std::map<std::string, section> sections_of(const fs::path &executable)
{
    std::map<std::string, section> sections;
    const std::string table = command_output("x86_64-w64-mingw32-objdump -h " + quoted(executable));
    const std::regex row(R"(\n\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+))");
    for (std::sregex_iterator it(table.begin(), table.end(), row), end; it != end; ++it)
        sections[(*it)[1]] = {std::stoull((*it)[2], nullptr, 16), std::stoull((*it)[3], nullptr, 16),
                              std::stoull((*it)[4], nullptr, 16)};
    return sections;
}

std::string header_field(const std::string &headers, const std::string &name)
{
    std::smatch match;
    EXPECT_TRUE(std::regex_search(headers, match, std::regex("\n" + name + R"(\s+([0-9a-fA-F]+))"))) << name;
    return match.size() > 1 ? match[1].str() : "";
}

std::string utf16(const std::string &ascii)
{
    std::string out;
    for (char c : ascii)
        out += std::string(1, c) + '\0';
    return out;
}

class written_executable : public testing::Test {
protected:
    void SetUp() override
    {
        app_ = scratch_.path() / "app";
        fs::create_directories(app_);
        fs::copy_file(probe_dll, app_ / "probe_app.dll");
        write_file(app_ / "data" / "values.bin", noise(70000, 4));
    }

    // Packs the application with `options`; returns the executable's path.
    fs::path pack(const std::string &name, std::vector<std::string> options,
                  const std::vector<std::string> &environment = {})
    {
        const fs::path output = scratch_.path() / name;
        options.insert(options.end(), {"--main", "probe_app.dll", "-o", output.string(), app_.string()});
        const process_result result = run_onefile_pack(options, scratch_.path(), environment);
        EXPECT_EQ(result.status, 0) << result.error_output;
        return output;
    }

    scratch_folder scratch_;
    fs::path app_;
};

} // namespace

TEST_F(written_executable, is_a_pe32_plus_with_the_asked_subsystem_a_valid_checksum_and_imports_only_what_every_start_needs)
{
    for (const bool console : {false, true}) {
        const fs::path executable = pack("app.exe", console ? std::vector<std::string>{"--console"}
                                                            : std::vector<std::string>{});
        const std::string headers = command_output("x86_64-w64-mingw32-objdump -p " + quoted(executable));
        EXPECT_NE(headers.find("file format pei-x86-64"), std::string::npos);
        EXPECT_EQ(header_field(headers, "Subsystem"), console ? "00000003" : "00000002");

        const std::string image = read_file(executable);
        const std::size_t optional_header = little_endian(image, 0x3c, 4) + 24;
        EXPECT_EQ(std::stoul(header_field(headers, "CheckSum"), nullptr, 16),
                  pe_checksum_of(image, optional_header + 64));

        std::uint64_t image_end = 0;
        for (const auto &[name, s] : sections_of(executable))
            image_end = std::max(image_end, s.address - 0x140000000 + s.size);
        EXPECT_GE(std::stoull(header_field(headers, "SizeOfImage"), nullptr, 16), image_end);

        // Only what every start needs, all KnownDLLs, which Windows never loads from the executable's
        // own folder; the window, picture and shell libraries are delay-loaded from System32.
        const std::regex import("DLL Name: (\\S+)");
        std::set<std::string> imported;
        for (std::sregex_iterator it(headers.begin(), headers.end(), import), end; it != end; ++it) {
            std::string dll = (*it)[1];
            for (char &c : dll)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            imported.insert(dll);
        }
        EXPECT_EQ(imported, (std::set<std::string>{"advapi32.dll", "kernel32.dll", "msvcrt.dll"}));
    }
}

TEST_F(written_executable, holds_the_object_in_its_last_data_section_and_its_length_in_the_settings)
{
    const fs::path object = scratch_.path() / "app.qvd";
    const fs::path executable = pack("app.exe", {"--write-attached-data", object.string()});
    const std::string data = read_file(object);
    const std::string image = read_file(executable);
    const std::map<std::string, section> sections = sections_of(executable);

    ASSERT_TRUE(sections.count(".qvdata") && sections.count(".qvconf") && sections.count(".rsrc"));
    const section &attached = sections.at(".qvdata");
    EXPECT_EQ(attached.size, data.size());
    EXPECT_EQ(image.substr(attached.file_offset, attached.size), data);
    EXPECT_EQ(little_endian(image, sections.at(".qvconf").file_offset, 8), data.size());
    EXPECT_GT(sections.at(".rsrc").address, attached.address) << "resources come after the attached data";
    EXPECT_EQ(attached.file_offset % 4096, 0u) << "raw data is page-aligned, so the image can be mapped";
}

TEST_F(written_executable, resources_read_back_with_wrestool)
{
    // A two-image icon laid out as icon files are: directory, then images.
    std::string icon = std::string("\0\0\1\0\2\0", 6);
    const std::string images[] = {noise(300, 1), noise(700, 2)};
    std::uint32_t offset = 6 + 2 * 16;
    for (int i = 0; i < 2; ++i) {
        const unsigned char size = i == 0 ? 16 : 32;
        icon += std::string{static_cast<char>(size), static_cast<char>(size), 0, 0, 1, 0, 32, 0};
        for (std::uint32_t field : {static_cast<std::uint32_t>(images[i].size()), offset})
            for (int b = 0; b < 4; ++b)
                icon += static_cast<char>(field >> (8 * b));
        offset += static_cast<std::uint32_t>(images[i].size());
    }
    icon += images[0] + images[1];
    write_file(scratch_.path() / "app.ico", icon);
    const fs::path splash = fs::path(ONEFILE_RESOURCES_DIR).parent_path() / "examples" / "splash.png";
    const std::string png = read_file(splash);
    write_file(scratch_.path() / "splash.png", png);

    const fs::path executable =
        pack("Viewer.exe", {"--icon", (scratch_.path() / "app.ico").string(), "--splash",
                            (scratch_.path() / "splash.png").string(), "--utf8", "--product-name", "Viewer",
                            "--company-name", "Acme Ltd", "--file-version", "1.4.2", "--copyright", "(c) Acme"});
    const std::string wrestool = "wrestool -x " + quoted(executable);
    std::string group = icon.substr(0, 6);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(command_output(wrestool + " --raw -t 3 -n " + std::to_string(i + 1)), images[i]);
        group += icon.substr(6 + 16 * i, 12) + std::string{static_cast<char>(i + 1), 0};
    }
    EXPECT_EQ(command_output(wrestool + " --raw -t 14 -n 1"), group);
    EXPECT_EQ(command_output(wrestool + " --raw -t 10 -n 28"), png);
    // Beside the PNG, its pixels: version 1, 900 x 600, a zstd frame.
    EXPECT_EQ(command_output(wrestool + " --raw -t 10 -n 32").substr(0, 16),
              std::string("\1\0\0\0\x84\3\0\0\x58\2\0\0\x28\xb5\x2f\xfd", 16));
    EXPECT_NE(command_output(wrestool + " --raw -t 24").find(">UTF-8</activeCodePage>"), std::string::npos);

    const std::string version = command_output(wrestool + " --raw -t 16");
    for (const auto &[key, value] : std::map<std::string, std::string>{{"ProductName", "Viewer"},
                                                                         {"CompanyName", "Acme Ltd"},
                                                                         {"FileVersion", "1.4.2"},
                                                                         {"ProductVersion", "1.4.2"},
                                                                         {"LegalCopyright", "(c) Acme"},
                                                                         {"OriginalFilename", "Viewer.exe"}})
        // The key's terminator and the padding to 4 bytes, then the value.
        EXPECT_TRUE(version.find(utf16(key) + std::string(2, '\0') + utf16(value) + std::string(2, '\0')) !=
                        std::string::npos ||
                    version.find(utf16(key) + std::string(4, '\0') + utf16(value) + std::string(2, '\0')) !=
                        std::string::npos)
            << key << " is not " << value;
    const std::size_t fixed = version.find("\xBD\x04\xEF\xFE");
    ASSERT_NE(fixed, std::string::npos);
    EXPECT_EQ(little_endian(version, fixed + 8, 4), 0x00010004u) << "file version 1.4";
    EXPECT_EQ(little_endian(version, fixed + 12, 4), 0x00020000u) << "file version .2.0";
    EXPECT_NE(version.find(utf16("Translation") + std::string("\0\0\0\0\x09\x04\xB0\x04", 8)), std::string::npos);

    // Without version options there is no version resource.
    EXPECT_EQ(command_output("wrestool -l " + quoted(pack("plain.exe", {}))).find("type=16"), std::string::npos);
}

// Wine ignores the execution level and the DPI awareness. On Windows an
// executable that asks for requireAdministrator shows the UAC prompt to a
// user who is not elevated yet, and CreateProcessW from such a process fails
// with 740 (ERROR_ELEVATION_REQUIRED); highestAvailable asks only members of
// Administrators; a per-monitor aware process gets its windows unscaled and
// WM_DPICHANGED when it moves to another screen.
TEST_F(written_executable, manifest_options_reach_its_manifest_and_a_manifest_of_ones_own_is_kept_as_it_is)
{
    const auto manifest_of = [](const fs::path &executable) {
        return command_output("wrestool -x --raw -t 24 " + quoted(executable));
    };
    const auto manifest_lines = [this](const fs::path &executable) {
        const std::string list = run_onefile_pack({"--list", executable.string()}, scratch_.path()).output;
        const std::size_t start = list.find("execution level: ");
        return list.substr(start, list.find("attached data: ") - start);
    };
    EXPECT_EQ(manifest_of(pack("plain.exe", {})), read_file(fs::path(ONEFILE_RESOURCES_DIR) / "onefile.manifest"));

    const fs::path asked =
        pack("asked.exe", {"--execution-level", "requireAdministrator", "--dpi-aware", "per-monitor", "--utf8"});
    const std::string manifest = manifest_of(asked);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"),
              std::string::npos) << manifest;
    EXPECT_NE(manifest.find(">true/pm</dpiAware>"), std::string::npos) << manifest;
    EXPECT_NE(manifest.find(">PerMonitorV2, PerMonitor</dpiAwareness>"), std::string::npos) << manifest;
    EXPECT_EQ(manifest_lines(asked), "execution level: requireAdministrator\nDPI awareness: per-monitor\ncode page: UTF-8\n");
    EXPECT_EQ(manifest_lines(pack("system.exe", {"--execution-level", "highestAvailable", "--dpi-aware", "system"})),
              "execution level: highestAvailable\nDPI awareness: system\ncode page: the user's\n");

    // Another namespace prefix, an older Windows' DPI element beside a newer one, no long paths, another architecture.
    const std::string own =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<asm:assembly xmlns:asm=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
        "  <asm:assemblyIdentity type=\"win32\" name=\"Acme.Tool\" version=\"1.0.0.0\" processorArchitecture=\"x86\"/>\n"
        "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v2\"><security><requestedPrivileges>\n"
        "    <requestedExecutionLevel level=\"highestAvailable\"/></requestedPrivileges></security></trustInfo>\n"
        "  <application xmlns=\"urn:schemas-microsoft-com:asm.v3\"><windowsSettings>\n"
        "    <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>\n"
        "    <dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">Weird, PerMonitorV2</dpiAwareness>\n"
        "  </windowsSettings></application>\n"
        "</asm:assembly>\n";
    const fs::path own_file = scratch_.path() / "own.manifest";
    write_file(own_file, own);
    const fs::path executable = scratch_.path() / "own.exe";
    const process_result result = run_onefile_pack(
        {"-q", "--manifest", own_file.string(), "--main", "probe_app.dll", "-o", executable.string(), app_.string()},
        scratch_.path());
    EXPECT_EQ(result.status, 0) << result.error_output;
    EXPECT_EQ(result.error_output,
              "onefile-pack: warning: manifest " + quoted(own_file) + " does not declare longPathAware true: the "
              "executable then cannot load its application or start its program from an unpack folder whose paths "
              "pass 260 characters\n"
              "onefile-pack: warning: manifest " + quoted(own_file) + " names processorArchitecture 'x86': Windows "
              "refuses to start a 64-bit executable whose manifest names another architecture\n");
    EXPECT_EQ(manifest_of(executable), own);
    EXPECT_EQ(manifest_lines(executable), "execution level: highestAvailable\nDPI awareness: per-monitor\ncode page: the user's\n");
}

TEST_F(written_executable, same_input_gives_the_same_bytes_with_no_other_program_on_the_path)
{
    const std::string first = read_file(pack("one.exe", {"--console"}, {"PATH="}));
    const std::string second = read_file(pack("two.exe", {"--console"}, {"PATH="}));
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, second);
}

TEST_F(written_executable, keeps_the_unpack_template_with_a_folder_per_build_when_it_is_cached)
{
    const auto stored_template = [](const fs::path &executable) {
        const std::string image = read_file(executable);
        std::string text;
        for (std::size_t at = sections_of(executable).at(".qvconf").file_offset + 8;; at += 2) {
            const auto unit = static_cast<char16_t>(little_endian(image, at, 2));
            if (unit == 0)
                return text;
            text += static_cast<char>(unit); // the templates here are ASCII
        }
    };
    EXPECT_EQ(stored_template(pack("default.exe", {})), "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}");
    EXPECT_EQ(stored_template(pack("run.exe", {"--unpack-to", "{TEMP}\\acme_{PID}_{RANDOM}"})),
              "{TEMP}\\acme_{PID}_{RANDOM}");

    const std::string first = stored_template(pack("cached.exe", {"--unpack-to", "{CACHE_DIR}/Acme/Viewer"}));
    EXPECT_TRUE(std::regex_match(first, std::regex(R"(\{CACHE_DIR\}\\Acme\\Viewer\\[0-9a-f]{16})"))) << first;
    write_file(app_ / "data" / "values.bin", noise(70000, 5));
    const std::string second = stored_template(pack("cached.exe", {"--unpack-to", "{CACHE_DIR}/Acme/Viewer"}));
    EXPECT_NE(first, second) << "a new build must never meet the files of an old one";

    // The cached folder's check follows the template's 512 units.
    const auto cache_check = [](const fs::path &executable) {
        return little_endian(read_file(executable), sections_of(executable).at(".qvconf").file_offset + 1032, 8);
    };
    EXPECT_EQ(cache_check(scratch_.path() / "cached.exe"), 0u) << "names and sizes";
    EXPECT_EQ(cache_check(pack("verified.exe", {"--unpack-to", "{CACHE_DIR}/Acme/Viewer", "--verify", "content"})),
              1u);
    const fs::path shared = scratch_.path() / "shared.exe";
    const process_result result = run_onefile_pack({"--unpack-to", "C:\\ProgramData\\Acme\\Viewer", "--main",
                                                     "probe_app.dll", "-q", "-o", shared.string(), app_.string()},
                                                    scratch_.path());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.error_output.rfind("onefile-pack: warning: the cached folder of --unpack-to", 0), 0u)
        << result.error_output;
    EXPECT_EQ(result.error_output.find('\n'), result.error_output.size() - 1) << "one line";
}

TEST_F(written_executable, refuses_unusable_templates_and_version_values_with_one_line)
{
    struct refusal {
        std::vector<std::string> arguments;
        int status;
        const char *expected;
    };
    const refusal refusals[] = {
        {{"--unpack-to", "{TEMP}\\{NOPE}"}, 1, "--unpack-to: unknown placeholder {NOPE}"},
        {{"--unpack-to", "{TEMP}\\app_{PID"}, 1, "--unpack-to: '{' without its '}'"},
        {{"--unpack-to", "{TEMP}\\app}"}, 1, "--unpack-to: '}' without its '{'"},
        {{"--unpack-to", "{TEMP}"}, 1, "--unpack-to: '{TEMP}' must end in a folder name"},
        {{"--unpack-to", "{CACHE_DIR}\\Acme\\"}, 1, "must end in a folder name"},
        {{"--unpack-to", "{TEMP}\\{PID}\\app"}, 1, "--unpack-to: {PID} may stand only in the last folder name"},
        {{"--unpack-to", "Acme\\Viewer"}, 1, "--unpack-to: 'Acme\\Viewer' must start with {TEMP}"},
        {{"--unpack-to", "{TEMP}\\app_{PID}", "--verify", "content"}, 1, "--verify content needs a cached --unpack-to"},
        {{"--verify", "content"}, 1, "--verify content needs a cached --unpack-to"},
        {{"--file-version", "1.2.x"}, 1, "--file-version '1.2.x' is not one to four numbers"},
        {{"--file-version", "1.2.3.4.5"}, 1, "is not one to four numbers"},
        {{"--file-version", "70000"}, 1, "is not one to four numbers"},
        {{"--copyright", "(c)\tAcme"}, 1, "--copyright must not hold control characters"},
        {{"--product-name", ""}, 2, "--product-name must not be empty"},
        {{"--manifest", (scratch_.path() / "bad.manifest").string()}, 1, "' is not well-formed XML: line 2: mismatched tag"},
        {{"--manifest", (scratch_.path() / "other.manifest").string()}, 1, "' is no application manifest: its root"},
        {{"--manifest", (scratch_.path() / "bad.manifest").string(), "--dpi-aware", "system"}, 2,
         "--dpi-aware cannot change a --manifest FILE"},
        {{"--execution-level", "admin"}, 2, "--execution-level"},
    };
    for (const refusal &input : refusals) {
        const fs::path output = scratch_.path() / "refused.exe";
        write_file(scratch_.path() / "bad.manifest", "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
                                                     "manifestVersion=\"1.0\">\n<a></b></assembly>");
        write_file(scratch_.path() / "other.manifest", "<assembly manifestVersion=\"1.0\"/>");
        std::vector<std::string> arguments = input.arguments;
        arguments.insert(arguments.end(), {"--main", "probe_app.dll", "-o", output.string(), app_.string()});
        const process_result result = run_onefile_pack(arguments, scratch_.path());
        EXPECT_EQ(result.status, input.status) << input.arguments[1];
        EXPECT_NE(result.error_output.find(input.expected), std::string::npos) << result.error_output;
        EXPECT_EQ(result.error_output.find('\n'), result.error_output.size() - 1) << result.error_output;
        EXPECT_FALSE(fs::exists(output));
    }
}

TEST_F(written_executable, list_shows_what_it_holds_and_extract_writes_its_files_as_packed)
{
    const fs::path splash = fs::path(ONEFILE_RESOURCES_DIR).parent_path() / "examples" / "splash.png";
    const fs::path executable =
        pack("listed.exe", {"--console", "--utf8", "--splash", splash.string(), "--unpack-to",
                            "{CACHE_DIR}\\Acme\\Viewer", "--product-name", "Viewer", "--file-version", "1.4.2"});
    const std::string dll_size = std::to_string(fs::file_size(probe_dll));
    const std::string total = std::to_string(fs::file_size(probe_dll) + 70000);
    process_result listed = run_onefile_pack({"--list", executable.string()}, scratch_.path());
    EXPECT_EQ(listed.status, 0) << listed.error_output;
    EXPECT_EQ(listed.error_output, "");
    const std::string expected =
        "made by: onefile-pack " ONEFILE_PACK_VERSION "\n"
        "subsystem: console\n"
        "signature: unsigned\n"
        "main DLL: probe_app\\.dll\n"
        "unpack: cached in \\{CACHE_DIR\\}\\\\Acme\\\\Viewer\\\\[0-9a-f]{16}\n"
        "splash: PNG 900x600, " + std::to_string(fs::file_size(splash)) + " bytes; pixels 900x600, \\d+ bytes\n"
        "icon: \\d+x\\d+(, \\d+x\\d+)*\n"
        "execution level: asInvoker\n"
        "DPI awareness: none\n"
        "code page: UTF-8\n"
        "version: FileVersion: 1\\.4\\.2\n"
        "version: OriginalFilename: listed\\.exe\n"
        "version: ProductName: Viewer\n"
        "version: ProductVersion: 1\\.4\\.2\n"
        "attached data: \\d+ bytes, 2 files, " + total + " bytes unpacked\n"
        "  " + std::string(total.size() - dll_size.size(), ' ') + dll_size + "  unsigned  probe_app\\.dll\n"
        "  " + std::string(total.size() - 5, ' ') + "70000            data\\\\values\\.bin\n";
    EXPECT_TRUE(std::regex_match(listed.output, std::regex(expected))) << listed.output;

    const fs::path files = scratch_.path() / "files";
    process_result extracted = run_onefile_pack({"--extract", executable.string(), files.string()}, scratch_.path());
    EXPECT_EQ(extracted.status, 0) << extracted.error_output;
    EXPECT_EQ(read_file(files / "probe_app.dll"), read_file(probe_dll));
    EXPECT_EQ(read_file(files / "data" / "values.bin"), read_file(app_ / "data" / "values.bin"));
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(files), {}), 3);
    extracted = run_onefile_pack({"--extract", executable.string(), files.string()}, scratch_.path());
    EXPECT_EQ(extracted.status, 1);
    EXPECT_NE(extracted.error_output.find("exists already"), std::string::npos) << extracted.error_output;

    // A program with its fixed arguments, unpacked per run.
    fs::create_directories(app_ / "bin");
    fs::copy_file(fs::path(ONEFILE_WINDOWS_BUILD_DIR) / "tests" / "apps" / "lua.exe", app_ / "bin" / "lua.exe");
    const fs::path tool = scratch_.path() / "tool.exe";
    const process_result packed = run_onefile_pack({"--quiet", "--main", "bin/lua.exe", "--arg", "{APP_DIR}\\t.lua",
                                                    "--arg=-x \"y\"", "-o", tool.string(), app_.string()},
                                                   scratch_.path());
    EXPECT_EQ(packed.status, 0) << packed.error_output;
    listed = run_onefile_pack({"--list", tool.string()}, scratch_.path());
    EXPECT_NE(listed.output.find("subsystem: GUI\nsignature: unsigned\nprogram: bin\\lua.exe, started by onefile-launcher.dll\n"
                                 "argument: {APP_DIR}\\t.lua\nargument: -x \"y\"\n"
                                 "unpack: per run to {TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}\n"
                                 "splash: none\n"),
              std::string::npos)
        << listed.output;
    // Eight times {APP_DIR}, each as long as a path may be, quoted at the worst: more than the launcher has room for.
    std::vector<std::string> too_long{"--main", "bin/lua.exe", "-o", tool.string(), app_.string()};
    too_long.insert(too_long.begin(), 8, "--arg={APP_DIR}");
    const process_result refused = run_onefile_pack(too_long, scratch_.path());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.error_output.find("the --arg values are too long"), std::string::npos) << refused.error_output;
}

TEST_F(written_executable, list_and_extract_refuse_what_is_not_a_whole_packed_executable_with_one_line)
{
    const fs::path executable = pack("app.exe", {});
    std::string damaged = read_file(executable);
    // The end of the frame: the last file's tail and the end marker.
    const section data = sections_of(executable).at(".qvdata");
    const std::uint64_t length = little_endian(damaged, sections_of(executable).at(".qvconf").file_offset, 8);
    const std::uint64_t trailer_at = data.file_offset + length - 8;
    damaged.replace(trailer_at - 48, 40, std::string(40, '\xFF'));
    write_file(scratch_.path() / "damaged.exe", damaged);
    write_file(scratch_.path() / "cut.exe", read_file(executable).substr(0, 8192));

    const fs::path files = scratch_.path() / "files";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--list", probe_dll.string()}, "is not an executable made by onefile-pack"},
        {{"--list", (scratch_.path() / "cut.exe").string()}, "is not an executable made by onefile-pack"},
        {{"--list", (scratch_.path() / "missing.exe").string()}, "executable '" + (scratch_.path() / "missing.exe").string() + "' does not exist"},
        {{"--list", (scratch_.path() / "damaged.exe").string()}, "its attached data is damaged"},
        {{"--extract", (scratch_.path() / "damaged.exe").string(), files.string()}, "its attached data is damaged"},
    };
    for (const auto &[arguments, expected] : cases) {
        const process_result result = run_onefile_pack(arguments, scratch_.path());
        EXPECT_EQ(result.status, 1) << arguments[1];
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.error_output.find('\n'), result.error_output.size() - 1) << result.error_output;
        EXPECT_NE(result.error_output.find(expected), std::string::npos) << result.error_output;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch_.path()), {}), 4) << "app, app.exe and the two made here";

    const std::vector<std::vector<std::string>> usage_errors = {
        {"--list", executable.string(), "--console"},
        {"--list", executable.string(), "--extract", executable.string(), files.string()},
        {"--main", "probe_app.dll", "--arg", "x", "-o", (scratch_.path() / "x.exe").string(), app_.string()},
        {"--attached-data", executable.string(), "--arg", "x", "-o", (scratch_.path() / "x.exe").string()},
    };
    for (const std::vector<std::string> &arguments : usage_errors) {
        const process_result result = run_onefile_pack(arguments, scratch_.path());
        EXPECT_EQ(result.status, 2) << arguments[2];
        EXPECT_EQ(result.error_output.find('\n'), result.error_output.size() - 1) << result.error_output;
    }
    EXPECT_FALSE(fs::exists(files));
}
