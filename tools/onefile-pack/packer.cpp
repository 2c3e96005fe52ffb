#include "packer.h"

#include "app_folder.h"
#include "attached_data.h"
#include "entry_encoding.h"
#include "executable_writer.h"
#include "pe_dependencies.h"
#include "file_io.h"
#include "pack_error.h"
#include "progress_report.h"
#include "signing.h"
#include "temp_paths.h"
#include "unpack_template.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t interrupted = 0;

void note_interrupt(int)
{
    interrupted = 1;
}

// Ends the work at the next step once Ctrl+C or a termination request came:
// the exception removes every temporary file on its way out.
void stop_if_interrupted()
{
    if (interrupted)
        throw pack_error("interrupted; nothing was written");
}

// Writes the object with a progress line.
attached_data_summary pack(const std::vector<app_file> &files, const packer_options &options, const fs::path &object)
{
    progress_line line(!options.quiet);
    const auto show = [&line](const pack_progress &progress) {
        stop_if_interrupted();
        line.show(progress);
    };
    return write_attached_data(files, options.level, options.threads, object, show);
}

std::string elapsed_since(std::chrono::steady_clock::time_point start)
{
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds.count());
    return text;
}

std::string destinations(const packer_options &options)
{
    if (options.output.empty())
        return options.write_attached_data.u8string();
    if (options.write_attached_data.empty())
        return options.output.u8string();
    return options.output.u8string() + " and " + options.write_attached_data.u8string();
}

std::string packing_summary(const std::vector<app_file> &files, std::uint64_t object_size)
{
    std::uint64_t content = 0;
    for (const app_file &file : files)
        content += file.size;
    std::string text = "packed " + std::to_string(files.size()) + (files.size() == 1 ? " file, " : " files, ") +
                       format_size(content) + " -> " + format_size(object_size);
    if (content > 0) {
        char ratio[32];
        const double percent = 100.0 * static_cast<double>(object_size) / static_cast<double>(content);
        std::snprintf(ratio, sizeof ratio, " (%.1f%%)", percent);
        text += ratio;
    }
    return text;
}

// Runs a step of signing; a command that failed because of Ctrl+C is told
// as the interruption it was.
template <typename step> std::size_t signing(const step &sign)
{
    try {
        return sign();
    } catch (const pack_error &) {
        stop_if_interrupted();
        throw;
    }
}

std::string signing_summary(std::size_t images, bool executable)
{
    std::string text = ", signed " + std::to_string(images) + (images == 1 ? " image" : " images");
    return executable ? text + " and the executable" : text;
}

pe_image read_template(const packer_options &options)
{
    const fs::path path = options.runtime_dir / (options.console ? "template-console.exe" : "template-gui.exe");
    std::error_code error;
    if (!fs::is_regular_file(path, error))
        throw pack_error("no template " + quoted_path(path) + ": the packer's share/onefile-pack folder is " +
                         "incomplete; name another with --runtime-dir");
    try {
        pe_image image = parse_pe_image(read_whole_file(path, "template"));
        check_template(image);
        return image;
    } catch (const pe_error &problem) {
        throw pack_error("template " + quoted_path(path) + " cannot be used: " + problem.what());
    }
}

resource_options resources_asked(const packer_options &options)
{
    resource_options resources;
    if (options.attached_data.empty() && is_program(options.main_name))
        resources.program = entry_name(path_from_utf8(options.main_name));
    resources.fixed_arguments = options.fixed_arguments;
    resources.packer = "onefile-pack " ONEFILE_PACK_VERSION;
    resources.manifest.ours = options.runtime_dir / "onefile.manifest";
    resources.manifest.own = options.manifest;
    resources.manifest.utf8 = options.utf8;
    resources.manifest.execution_level = options.execution_level;
    resources.manifest.dpi_awareness = options.dpi_awareness;
    resources.icon = options.icon.empty() ? options.runtime_dir / "onefile.ico" : options.icon;
    resources.splash = options.splash;
    resources.version = options.version;
    resources.file_name = options.output.filename().u8string();
    return resources;
}

// Writes the executable to `output`, a temporary name for `destination`,
// which messages name.
void write_executable_file(const pe_image &image, const std::vector<resource_entry> &resources,
                           const fs::path &object, const attached_data_summary &summary,
                           const packer_options &options, const fs::path &output, const fs::path &destination)
{
    const file_handle in = open_file(object, "rb");
    const file_handle out = open_file(output, "wb");
    if (!in || !out)
        throw pack_error("cannot write " + quoted_path(destination) + ": " + errno_text());
    executable_parts parts;
    parts.object = in.get();
    parts.object_size = summary.length;
    parts.record_digest = summary.record_digest;
    if (!options.unpack_template.empty())
        parts.unpack_template = stored_unpack_template(options.unpack_template, content_name(object));
    parts.verify_content = options.verify_content;
    parts.resource_section = [&resources](std::uint32_t rva) { return build_resource_section(resources, rva); };
    try {
        write_executable(image, parts, out.get());
    } catch (const std::runtime_error &error) {
        throw pack_error(quoted_path(destination) + ": " + error.what());
    }
}

// Refuses a main file that the bootstrap cannot run, and warns about each
// DLL that the application imports but that neither its folder nor Windows
// holds: the loader would fail on the user's machine.
void check_application(const packer_options &options)
{
    const fs::path main = options.app_dir / path_from_utf8(options.main_name);
    const bool program = is_program(options.main_name);
    try {
        check_main_file(read_whole_file(main, "main file"), program ? main_file_kind::executable
                                                                   : main_file_kind::dll);
        for (const missing_dll &dll : find_missing_dlls(main.parent_path(), main.filename()))
            std::fprintf(stderr,
                         "onefile-pack: warning: %s imports %s, which is neither beside it nor part of Windows\n",
                         dll.importer.c_str(), dll.name.c_str());
    } catch (const pe_error &error) {
        throw pack_error(quoted_path(path_from_utf8(options.main_name)) + ": " + error.what());
    }
}

// Throws unless each file the packer writes stays clear of what it reads: an
// output that is an input would destroy it, and one inside the application
// folder would be packed into the next build.
void check_outputs(const packer_options &options)
{
    // Each input with the option that names it; -o is one for --write-attached-data.
    std::vector<std::pair<std::string, fs::path>> inputs{
        {"--attached-data", options.attached_data}, {"--icon", options.icon}, {"--splash", options.splash},
        {"--manifest", options.manifest}, {"-o", options.output}};
    for (const char *name : {"template-gui.exe", "template-console.exe", "onefile.manifest", "onefile.ico",
                             launcher_name})
        inputs.emplace_back("--runtime-dir", options.runtime_dir / name);
    const std::pair<std::string, fs::path> outputs[] = {{"-o", options.output},
                                                        {"--write-attached-data", options.write_attached_data}};
    for (const auto &[option, output] : outputs) {
        if (output.empty())
            continue;
        if (options.attached_data.empty() && lies_inside(output, options.app_dir))
            throw pack_error(option + " " + quoted_path(output) + " lies inside the application folder " +
                             quoted_path(options.app_dir) + ", whose next build would pack it; write it elsewhere");
        for (const auto &[input_option, input] : inputs)
            if (input_option != option && !input.empty() && same_file(output, input))
                throw pack_error(option + " " + quoted_path(output) + " is the " + input_option + " file " +
                                 quoted_path(input) + ": writing it would destroy that input");
    }
}

} // namespace

void stop_on_interrupt()
{
    std::signal(SIGINT, note_interrupt);
    std::signal(SIGTERM, note_interrupt);
}

bool is_program(const std::string &main_name)
{
    const std::size_t dot = main_name.rfind('.');
    std::string extension = dot == std::string::npos ? "" : main_name.substr(dot);
    for (char &c : extension)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return extension == ".exe";
}

fs::path installed_runtime_dir()
{
    return own_program_folder().parent_path() / "share" / "onefile-pack";
}

void run_packer(const packer_options &options)
{
    const auto start = std::chrono::steady_clock::now();
    check_outputs(options);

    // Everything that can be checked quickly is, before a long compression.
    const bool writing_executable = !options.output.empty();
    std::optional<pe_image> image;
    std::vector<resource_entry> resources;
    if (writing_executable) {
        image = read_template(options);
        if (!options.unpack_template.empty())
            check_unpack_template(options.unpack_template);
        const bool cached = !options.unpack_template.empty() && is_cached_template(options.unpack_template);
        if (options.verify_content && !cached)
            throw pack_error("--verify content needs a cached --unpack-to template, one without {PID}, {TIME_US}, "
                             "{RANDOM} and {TIME}: a per-run folder is written afresh at every start");
        if (cached && !lies_in_user_folders(options.unpack_template))
            std::fprintf(stderr, "onefile-pack: warning: the cached folder of --unpack-to '%s' lies outside the "
                                 "user's own folders ({TEMP}, {CACHE_DIR}, {HOME}); where another user can make "
                                 "it first, the executable refuses to run from it\n",
                         options.unpack_template.c_str());
        resources = executable_resources(resources_asked(options));
    }
    const bool packing = options.attached_data.empty();
    std::vector<app_file> files;
    attached_data_summary ready_made{0, 0};
    if (packing && is_program(options.main_name))
        files = list_program_files(options.app_dir, options.main_name, options.runtime_dir / launcher_name,
                                   launcher_name);
    else if (packing)
        files = list_app_files(options.app_dir, options.main_name);
    if (packing)
        check_application(options);
    else
        ready_made = check_attached_data(options.attached_data);
    std::optional<image_signer> signer;
    std::size_t signed_images = 0;
    if (!options.sign_command.empty())
        signer.emplace(options.sign_command, options.resign, options.threads);
    if (signer && packing)
        signed_images = signing([&] { return signer->sign_images(files); });

    std::optional<pending_file> executable;
    std::optional<pending_file> object_file;
    if (writing_executable)
        executable.emplace(options.output);
    if (!options.write_attached_data.empty())
        object_file.emplace(options.write_attached_data);
    else if (packing)
        object_file.emplace(fs::path(options.output) += ".data"); // removed at the end

    const fs::path object = packing ? object_file->path() : fs::absolute(options.attached_data);
    const attached_data_summary summary = packing ? pack(files, options, object) : ready_made;
    stop_if_interrupted();
    if (writing_executable)
        write_executable_file(*image, resources, object, summary, options, executable->path(), options.output);
    if (writing_executable && signer)
        signing([&] {
            signer->sign_executable(executable->path(), options.output);
            return 1;
        });

    stop_if_interrupted();
    if (!options.write_attached_data.empty())
        object_file->commit(0666);
    if (executable)
        executable->commit(0777);
    if (options.quiet)
        return;
    std::string what = packing ? packing_summary(files, summary.length)
                               : "used " + options.attached_data.u8string() + " (" + format_size(summary.length) + ")";
    if (signer)
        what += signing_summary(signed_images, writing_executable);
    std::fprintf(stderr, "onefile-pack: %s in %s -> %s\n", what.c_str(), elapsed_since(start).c_str(),
                 destinations(options).c_str());
}
