#include "packer.h"

#include "app_folder.h"
#include "attached_data.h"
#include "image_checks.h"
#include "link_executable.h"
#include "progress_report.h"
#include "runtime_description.h"
#include "temp_paths.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Writes the object with a progress line; returns its length.
std::uint64_t pack(const std::vector<app_file> &files, const packer_options &options, const fs::path &object)
{
    progress_line line(!options.quiet);
    const auto show = [&line](const pack_progress &progress) { line.show(progress); };
    return write_attached_data(files, options.level, object, show);
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
        return options.write_attached_data.string();
    if (options.write_attached_data.empty())
        return options.output.string();
    return options.output.string() + " and " + options.write_attached_data.string();
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

} // namespace

void run_packer(const packer_options &options)
{
    const auto start = std::chrono::steady_clock::now();

    // Everything that can be checked quickly is, before a long compression.
    const bool linking = !options.output.empty();
    std::optional<runtime_description> runtime;
    if (linking) {
        runtime = read_runtime_description(options.runtime_dir);
        if (!options.icon.empty())
            check_ico(options.icon);
        if (!options.splash.empty())
            check_png(options.splash);
    }
    const bool packing = options.attached_data.empty();
    std::vector<app_file> files;
    std::uint64_t ready_made_size = 0;
    if (packing)
        files = list_app_files(options.app_dir, options.main_name);
    else
        ready_made_size = check_attached_data(options.attached_data);

    std::optional<temp_folder> work;
    std::optional<pending_file> kept_object;
    std::optional<pending_file> executable;
    if (linking) {
        work.emplace();
        executable.emplace(options.output);
    }
    if (!options.write_attached_data.empty())
        kept_object.emplace(options.write_attached_data);

    const fs::path object = !packing    ? fs::absolute(options.attached_data)
                            : kept_object ? kept_object->path()
                                          : work->path() / "attached_data.bin";
    const std::uint64_t object_size = packing ? pack(files, options, object) : ready_made_size;
    if (linking)
        link_executable(*runtime, {object, options.icon, options.splash, executable->path()}, work->path());

    if (kept_object)
        kept_object->commit(0666);
    if (executable)
        executable->commit(0777);
    if (options.quiet)
        return;
    const std::string what =
        packing ? packing_summary(files, object_size)
                : "linked " + options.attached_data.string() + " (" + format_size(object_size) + ")";
    std::fprintf(stderr, "onefile-pack: %s in %s -> %s\n", what.c_str(), elapsed_since(start).c_str(),
                 destinations(options).c_str());
}
