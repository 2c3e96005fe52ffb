// onefile-pack: the command line. The work itself is in packer.cpp.
#include "packer.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

constexpr int status_failed = 1;
constexpr int status_usage = 2;

const char *const description =
    "onefile-pack " ONEFILE_PACK_VERSION ": packs an application folder into one Windows x86-64 executable.\n";

const char *const usage =
    "Usage: onefile-pack --main NAME.dll [OPTIONS] -o OUT.exe APP_DIR\n"
    "       onefile-pack --attached-data FILE [OPTIONS] -o OUT.exe\n";

const char *const footer =
    "APP_DIR holds the application: at its top the main DLL named by --main, which\n"
    "exports run_code, and every file the application needs, in subfolders as\n"
    "needed. The main DLL is stored first and the other files follow sorted by name\n"
    "(UTF-16 code units, '\\' between folders), so the same folder always gives the\n"
    "same executable. Symbolic links, special files and names that Windows cannot\n"
    "hold are refused; empty folders are not kept.\n"
    "\n"
    "At run time the executable unpacks the files into a new folder under %TEMP%,\n"
    "calls run_code in the main DLL with its arguments, and deletes the folder again.\n"
    "\n"
    "Example:\n"
    "  onefile-pack --main app.dll --icon app.ico -o App.exe build/app\n"
    "\n"
    "Exit status: 0 done, 1 packing or linking failed, 2 bad command line.";

// CLI11's help with our own usage lines; the options show only their
// argument, not the parser's notes on which options exclude which.
class help_formatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App *, std::string) const override { return usage; }
};

void define_options(CLI::App &app, packer_options &options)
{
    app.formatter(std::make_shared<help_formatter>());
    app.footer(footer);
    app.set_version_flag("--version", "onefile-pack " ONEFILE_PACK_VERSION);
    auto *app_dir = app.add_option("APP_DIR", options.app_dir, "The application folder to pack")->option_text(" ");
    auto *main_dll = app.add_option("--main", options.main_name, "The main DLL, a file at the top of APP_DIR")
                         ->option_text("NAME.dll");
    auto *output = app.add_option("-o,--output", options.output, "The executable to make")->option_text("OUT.exe");
    app.add_option("--icon", options.icon, "The executable's icon (default: the runtime's)")
        ->option_text("ICON.ico")
        ->needs(output);
    app.add_option("--splash", options.splash, "A PNG image shown while the executable unpacks")
        ->option_text("IMAGE.png")
        ->needs(output);
    auto *level = app.add_option("--level", options.level,
                                 "zstd level, 1 (fastest) to 22 (smallest); default " + std::to_string(default_level))
                      ->option_text("N")
                      ->check(CLI::Range(1, 22));
    auto *write_object = app.add_option("--write-attached-data", options.write_attached_data,
                                        "Also write the packed data to FILE; without -o, only that")
                             ->option_text("FILE");
    app.add_option("--attached-data", options.attached_data,
                   "Link FILE, made by --write-attached-data, instead of packing APP_DIR")
        ->option_text("FILE")
        ->needs(output)
        ->excludes(app_dir, main_dll, level, write_object);
    app.add_option("--runtime-dir", options.runtime_dir,
                   "The Windows runtime to link with; default: $ONEFILE_RUNTIME_DIR, else " +
                       options.runtime_dir.string())
        ->option_text("DIR")
        ->envname("ONEFILE_RUNTIME_DIR");
    app.add_flag("-q,--quiet", options.quiet, "Print nothing unless something fails");
}

// What the parser cannot say about the options as a whole; empty if fine.
std::string combination_error(const packer_options &options)
{
    if (options.attached_data.empty() && (options.app_dir.empty() || options.main_name.empty()))
        return "give APP_DIR and --main NAME.dll, or --attached-data FILE";
    if (options.output.empty() && options.write_attached_data.empty())
        return "nothing to write: give -o OUT.exe, --write-attached-data FILE or both";
    return {};
}

int usage_error(const std::string &message)
{
    std::fprintf(stderr, "onefile-pack: error: %s (see onefile-pack --help)\n", message.c_str());
    return status_usage;
}

} // namespace

int main(int argc, char **argv)
{
    packer_options options;
    options.runtime_dir = ONEFILE_DEFAULT_RUNTIME_DIR;
    CLI::App app(description, "onefile-pack");
    define_options(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(error); // --help or --version
        return usage_error(error.what());
    }
    if (const std::string error = combination_error(options); !error.empty())
        return usage_error(error);

    try {
        run_packer(options);
    } catch (const std::exception &error) {
        // pack_error says what went wrong with the input; anything else
        // (out of memory, a filesystem error) is reported the same way.
        std::fprintf(stderr, "onefile-pack: error: %s\n", error.what());
        return status_failed;
    }
    return 0;
}
