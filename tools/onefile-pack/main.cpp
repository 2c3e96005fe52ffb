// onefile-pack: the command line. The work itself is in packer.cpp.
#include "format/onefile_format.h"
#include "file_io.h"
#include "packed_executable.h"
#include "packer.h"
#include "signing.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int status_failed = 1;
constexpr int status_usage = 2;

const char *const description =
    "onefile-pack " ONEFILE_PACK_VERSION ": packs an application folder into one Windows x86-64 executable.\n";

const char *const usage =
    "Usage: onefile-pack --main NAME.dll|PROGRAM.exe [OPTIONS] -o OUT.exe APP_DIR\n"
    "       onefile-pack --attached-data FILE [OPTIONS] -o OUT.exe\n"
    "       onefile-pack --list APP.exe | --extract APP.exe DIR\n";

const char *const footer =
    "APP_DIR holds the application: at its top the main DLL named by --main, which\n"
    "exports run_code, and every file the application needs, in subfolders as\n"
    "needed. Or --main names a program (.exe) anywhere in APP_DIR: our launcher is\n"
    "then stored first, and at run time it starts the program with the arguments,\n"
    "standard handles and console of the executable, and hands its exit status on.\n"
    "The first file is stored first and the other files follow sorted by name\n"
    "(UTF-16 code units, '\\' between folders), so the same folder and options always\n"
    "give the same executable, on Linux and on Windows. Symbolic links, special files\n"
    "and names that Windows cannot hold are refused; empty folders are not kept.\n"
    "\n"
    "At run time the executable unpacks the files into a new folder under %TEMP%,\n"
    "calls run_code in the main DLL with its arguments, and deletes the folder again.\n"
    "\n"
    "--unpack-to chooses the unpack folder. With a per-run placeholder ({PID},\n"
    "{TIME_US}, {RANDOM}, {TIME}) in its last name, every start unpacks afresh and\n"
    "removes the folder at its end. Without one it names a cached folder, such as\n"
    "{CACHE_DIR}\\Acme\\Viewer: the packer adds a folder named after the packed data,\n"
    "the first start fills it, later starts of the same build run from it at once,\n"
    "repair what is missing, and remove the folders of older builds.\n"
    "Other placeholders: {TEMP}, {CACHE_DIR} (the local application data), {HOME},\n"
    "{PROGRAM}, {PROGRAM_BASE}, {PROGRAM_DIR}.\n"
    "\n"
    "--arg VALUE, with --main PROGRAM.exe, puts VALUE after the program's name and\n"
    "before the user's arguments: one argument per --arg, in their order, quoted\n"
    "as needed. {APP_DIR} in it stands for the unpack folder, per run or cached.\n"
    "--arg takes the next word whatever it is: --arg -e passes -e, --arg --console\n"
    "passes --console. --arg=VALUE is the same.\n"
    "\n"
    "--list APP.exe shows what an executable from onefile-pack holds: its files and\n"
    "sizes, which images are signed (and whether it is), main file, unpack folder,\n"
    "splash, icon, manifest settings and version texts. --extract\n"
    "APP.exe DIR writes its files into DIR, a new folder, as the executable would\n"
    "unpack them. Both refuse names that lead out of the folder.\n"
    "\n"
    "--utf8 helps programs built for narrow strings (main, fopen): on Windows 10\n"
    "version 1903 and later their arguments, file names and environment come as\n"
    "UTF-8, so names outside the user's code page reach them. Older Windows ignore\n"
    "it, and it changes nothing for programs that use wide strings.\n"
    "\n"
    "--utf8, --execution-level and --dpi-aware go into our manifest. --manifest FILE\n"
    "replaces it whole: FILE must be well-formed XML with an <assembly> root and\n"
    "says itself what it asks for, so it takes none of the three. The packer warns\n"
    "when FILE lacks what the executable relies on (longPathAware).\n"
    "\n"
    "--sign-command COMMAND signs with your own tool, before Windows' application\n"
    "control (Smart App Control, AppLocker, WDAC) meets the files: each PE image the\n"
    "executable stores, recognised by its headers (DLLs, programs, .pyd, .node, our\n"
    "launcher), that is unsigned (every one with --resign), then the executable.\n"
    "COMMAND runs once per file on a copy in a private temporary folder, never in\n"
    "APP_DIR, through /bin/sh -c on Linux and cmd.exe /c on Windows, on --threads\n"
    "workers. {file} stands for the copy's path as one word, quoted for that shell\n"
    "('...' or \"...\"): write it without quotes of your own; text right after it\n"
    "joins it ({file}.signed). A command that fails, or leaves its file unsigned,\n"
    "ends the packing with its last line and writes nothing. With --attached-data\n"
    "only the executable is signed. Signed bytes depend on the certificate and the\n"
    "signing time: only unsigned executables are the same from run to run.\n"
    "\n"
    "Examples:\n"
    "  onefile-pack --main app.dll -o App.exe build/app\n"
    "  onefile-pack --main app.dll --icon app.ico --splash splash.png -o App.exe build/app\n"
    "  onefile-pack --main bin/viewer.exe -o Viewer.exe dist/viewer\n"
    "  onefile-pack --main tool.dll --console --utf8 -o tool.exe build/tool\n"
    "  onefile-pack --main app.dll --product-name Viewer --company-name \"Acme Ltd\" \\\n"
    "               --file-version 1.4.2 --copyright \"(c) 2026 Acme Ltd\" -o Viewer.exe build/app\n"
    "  onefile-pack --main app.dll --unpack-to \"{CACHE_DIR}\\Acme\\Viewer\" -o Viewer.exe build/app\n"
    "  onefile-pack --main app.dll --unpack-to \"{CACHE_DIR}\\Acme\\Viewer\" --verify content \\\n"
    "               -o Viewer.exe build/app\n"
    "  onefile-pack --main app.dll --level 19 --threads 2 -q -o App.exe build/app\n"
    "  onefile-pack --runtime-dir ~/onefile/share/onefile-pack --main app.dll -o App.exe build/app\n"
    "  onefile-pack --main bin/setup.exe --execution-level requireAdministrator -o Setup.exe dist/setup\n"
    "  onefile-pack --main app.dll --dpi-aware per-monitor -o App.exe build/app\n"
    "  onefile-pack --main app.dll --manifest app.manifest -o App.exe build/app\n"
    "  onefile-pack --main app.dll -o App.exe build/app --sign-command \\\n"
    "      'osslsigncode sign -pkcs12 cert.p12 -pass \"$P\" -in {file} -out {file}.signed && mv {file}.signed {file}'\n"
    "  onefile-pack.exe --main app.dll -o App.exe build\\app --sign-command \"signtool sign /fd sha256 /a {file}\"\n"
    "  onefile-pack --main node.exe --arg \"{APP_DIR}\\node_modules\\typescript\\bin\\tsc\" \\\n"
    "               --console -o tsc.exe dist/node\n"
    "  onefile-pack --main app.dll --write-attached-data app.qvd build/app\n"
    "  onefile-pack --attached-data app.qvd --console -o App.exe\n"
    "  onefile-pack --list App.exe\n"
    "  onefile-pack --extract App.exe App-files\n"
    "\n"
    "Exit status: 0 done, 1 packing, listing or extracting failed, 2 bad command line.";

// The command line as given: UTF-8 text, turned into paths afterwards.
struct arguments {
    std::string app_dir, main_name, attached_data, write_attached_data, output, icon, splash, runtime_dir, verify;
    std::string manifest;
    std::string list;                   // --list: the executable to show
    std::vector<std::string> extract;   // --extract: the executable and the folder to make
};

// CLI11's help with our own usage lines; the options show only their
// argument, not the parser's notes on which options exclude which.
class help_formatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App *, std::string) const override { return usage; }
};

void define_options(CLI::App &app, arguments &given, packer_options &options)
{
    app.formatter(std::make_shared<help_formatter>());
    app.footer(footer);
    app.set_version_flag("--version", "onefile-pack " ONEFILE_PACK_VERSION);
    auto *app_dir = app.add_option("APP_DIR", given.app_dir, "The application folder to pack")->option_text(" ");
    auto *main_dll = app.add_option("--main", given.main_name,
                                    "The main DLL at the top of APP_DIR, or the program to start")
                         ->option_text("NAME.dll|PROGRAM.exe");
    app.add_option("--arg", options.fixed_arguments,
                   "With --main PROGRAM.exe: an argument put before the user's; repeatable (see below)")
        ->option_text("VALUE")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    auto *output = app.add_option("-o,--output", given.output, "The executable to make")->option_text("OUT.exe");
    app.add_option("--icon", given.icon, "The executable's icon (default: ours)")
        ->option_text("ICON.ico")
        ->needs(output);
    app.add_option("--splash", given.splash, "A PNG image shown while the executable unpacks")
        ->option_text("IMAGE.png")
        ->needs(output);
    app.add_flag("--console", options.console,
                 "Make a console program: cmd.exe and PowerShell wait for it and show its output");
    app.add_option("--unpack-to", options.unpack_template,
                   "Where the executable unpacks; default " ONEFILE_DEFAULT_UNPACK_TEMPLATE " (see below)")
        ->option_text("TEMPLATE")
        ->needs(output);
    app.add_option("--verify", given.verify,
                   "content: a cached executable checks every file's content at every start, not only names "
                   "and sizes")
        ->option_text("content")
        ->check(CLI::IsMember({"content"}))
        ->needs(output);
    app.add_flag("--utf8", options.utf8, "UTF-8 as the code page of narrow-string programs (see below)");
    app.add_option("--execution-level", options.execution_level,
                   "asInvoker (default), highestAvailable or requireAdministrator (the UAC prompt)")
        ->option_text("LEVEL")
        ->check(CLI::IsMember({"asInvoker", "highestAvailable", "requireAdministrator"}))
        ->needs(output);
    app.add_option("--dpi-aware", options.dpi_awareness,
                   "The application draws for the screen's DPI (default: Windows scales it)")
        ->option_text("system|per-monitor")
        ->check(CLI::IsMember({"system", "per-monitor"}))
        ->needs(output);
    app.add_option("--manifest", given.manifest,
                   "FILE as the executable's manifest instead of ours (see below)")
        ->option_text("FILE")
        ->needs(output);
    auto *sign_command = app.add_option("--sign-command", options.sign_command,
                                        "Signs each image stored, then the executable, with COMMAND (see below)")
                             ->option_text("COMMAND");
    app.add_flag("--resign", options.resign, "With --sign-command: signs images that are signed already too")
        ->option_text(" ")
        ->needs(sign_command);
    const std::pair<const char *, std::string *> texts[] = {
        {"--product-name", &options.version.product_name},
        {"--company-name", &options.version.company_name},
        {"--file-description", &options.version.file_description},
        {"--file-version", &options.version.file_version},
        {"--product-version", &options.version.product_version},
        {"--copyright", &options.version.copyright}};
    for (const auto &[name, value] : texts)
        app.add_option(name, *value)->option_text("TEXT")->needs(output);
    app.get_option("--product-name")->description("Version information that Explorer shows: product,");
    app.get_option("--company-name")->description("company,");
    app.get_option("--file-description")->description("description,");
    app.get_option("--file-version")->description("file version, one to four numbers (1.2.0),")->option_text("N.N.N.N");
    app.get_option("--product-version")->description("product version (default: the file version),");
    app.get_option("--copyright")->description("copyright; none given: no version information");
    auto *level = app.add_option("--level", options.level,
                                 "zstd level, 1 (fastest) to 22 (smallest); default " + std::to_string(default_level))
                      ->option_text("N")
                      ->check(CLI::Range(1, 22));
    options.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    app.add_option("--threads", options.threads,
                   "Compression threads; default: one per core. The output is the same for any number")
        ->option_text("N")
        ->check(CLI::Range(1, 256));
    auto *write_object = app.add_option("--write-attached-data", given.write_attached_data,
                                        "Also write the packed data to FILE; without -o, only that")
                             ->option_text("FILE");
    app.add_option("--attached-data", given.attached_data,
                   "Use FILE, made by --write-attached-data, instead of packing APP_DIR")
        ->option_text("FILE")
        ->needs(output)
        ->excludes(app_dir, main_dll, level, write_object);
    app.add_option("--runtime-dir", given.runtime_dir,
                   "The templates to write executables from; default: $ONEFILE_RUNTIME_DIR, else "
                   "share/onefile-pack beside this program's folder")
        ->option_text("DIR")
        ->envname("ONEFILE_RUNTIME_DIR");
    app.add_flag("-q,--quiet", options.quiet, "No progress and no summary; errors and warnings still show");
    app.add_option("--list", given.list, "Show what a packed executable holds, and nothing else")
        ->option_text("APP.exe");
    app.add_option("--extract", given.extract, "Write its files into DIR, a new folder, as it unpacks them")
        ->option_text("APP.exe DIR")
        ->expected(2);
}

// --list and --extract stand alone; true when `given` asks for one of them.
bool inspecting(const CLI::App &app, const arguments &given, std::string &error)
{
    if (given.list.empty() && given.extract.empty())
        return false;
    // --runtime-dir may come from the environment; it changes nothing here.
    for (const CLI::Option *option : app.get_options())
        if (option->count() > 0 && option->get_name() != "--list" && option->get_name() != "--extract" &&
            option->get_name() != "--runtime-dir")
            error = "--list and --extract take no other option";
    if (!given.list.empty() && !given.extract.empty())
        error = "--list and --extract take no other option";
    return true;
}

int inspect(const arguments &given)
{
    try {
        if (!given.list.empty())
            list_packed_executable(path_from_utf8(given.list), stdout);
        else
            extract_packed_executable(path_from_utf8(given.extract[0]), path_from_utf8(given.extract[1]));
    } catch (const std::exception &error) {
        std::fprintf(stderr, "onefile-pack: error: %s\n", error.what());
        return status_failed;
    }
    return 0;
}

// What the parser cannot say about the options as a whole; empty if fine.
std::string combination_error(const CLI::App &app, const packer_options &options)
{
    if (options.attached_data.empty() && (options.app_dir.empty() || options.main_name.empty()))
        return "give APP_DIR and --main NAME.dll, or --attached-data FILE";
    if (!options.fixed_arguments.empty() && (!options.attached_data.empty() || !is_program(options.main_name)))
        return "--arg needs --main PROGRAM.exe";
    if (options.output.empty() && options.write_attached_data.empty())
        return "nothing to write: give -o OUT.exe, --write-attached-data FILE or both";
    for (const char *name : {"--utf8", "--execution-level", "--dpi-aware"})
        if (!options.manifest.empty() && app.count(name) > 0)
            return std::string(name) + " cannot change a --manifest FILE: write what it asks for into FILE";
    if (app.count("--sign-command") > 0 && options.sign_command.find(sign_placeholder) == std::string::npos)
        return "--sign-command must hold {file}, which stands for the file to sign";
    for (const char *name : {"--product-name", "--company-name", "--file-description", "--file-version",
                             "--product-version", "--copyright"})
        if (app.count(name) > 0 && app.get_option(name)->as<std::string>().empty())
            return std::string(name) + " must not be empty";
    return {};
}

int usage_error(const std::string &message)
{
    std::fprintf(stderr, "onefile-pack: error: %s (see onefile-pack --help)\n", message.c_str());
    return status_usage;
}

// `args` are the arguments after the program name, as UTF-8.
int run(std::vector<std::string> args)
{
    arguments given;
    packer_options options;
    CLI::App app(description, "onefile-pack");
    define_options(app, given, options);
    try {
        std::reverse(args.begin(), args.end()); // CLI11 takes them last first
        app.parse(args);
    } catch (const CLI::ParseError &error) {
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(error); // --help or --version
        return usage_error(error.what());
    }
    if (std::string error; inspecting(app, given, error))
        return error.empty() ? inspect(given) : usage_error(error);
    options.app_dir = path_from_utf8(given.app_dir);
    options.main_name = given.main_name;
    options.attached_data = path_from_utf8(given.attached_data);
    options.write_attached_data = path_from_utf8(given.write_attached_data);
    options.output = path_from_utf8(given.output);
    options.icon = path_from_utf8(given.icon);
    options.splash = path_from_utf8(given.splash);
    options.manifest = path_from_utf8(given.manifest);
    options.verify_content = given.verify == "content";
    if (const std::string error = combination_error(app, options); !error.empty())
        return usage_error(error);

    try {
        options.runtime_dir = given.runtime_dir.empty() ? installed_runtime_dir() : path_from_utf8(given.runtime_dir);
        stop_on_interrupt();
        run_packer(options);
    } catch (const std::exception &error) {
        // pack_error says what went wrong with the input; anything else
        // (out of memory, a filesystem error) is reported the same way.
        std::fprintf(stderr, "onefile-pack: error: %s\n", error.what());
        return status_failed;
    }
    return 0;
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t **argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(utf8_from_wide(argv[i]));
    return run(std::move(args));
}
#else
int main(int argc, char **argv)
{
    return run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
