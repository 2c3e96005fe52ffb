#include "signing.h"

#include "file_io.h"
#include "file_position.h"
#include "pack_error.h"
#include "shell_command.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace fs = std::filesystem;

namespace {

// The probe of the file at `path`, given the bytes it asks for.
signature_probe probe_file(const fs::path &path)
{
    std::error_code error;
    const std::uint64_t size = fs::file_size(path, error);
    if (error)
        throw pack_error("cannot read " + quoted_path(path) + ": " + error.message());
    const file_handle in = open_file(path, "rb");
    if (!in)
        throw pack_error("cannot read " + quoted_path(path) + ": " + errno_text());
    signature_probe probe(size);
    byte buffer[4096];
    for (std::uint64_t at; (at = probe.wanted()) < size;) {
        const std::size_t got = seek_to(in.get(), at) ? std::fread(buffer, 1, sizeof buffer, in.get()) : 0;
        if (got == 0)
            throw pack_error("cannot read " + quoted_path(path) + ": " + errno_text());
        probe.feed(at, buffer, got);
    }
    return probe;
}

// The certificate table of a signed image; empty for any other file.
bytes certificate_table(const fs::path &path)
{
    const signature_probe probe = probe_file(path);
    if (probe.state() != signature_state::signed_image)
        return {};
    bytes table(probe.certificate_size());
    const file_handle in = open_file(path, "rb");
    if (!in || !seek_to(in.get(), probe.certificate_offset()) ||
        std::fread(table.data(), 1, table.size(), in.get()) != table.size())
        throw pack_error("cannot read " + quoted_path(path) + ": " + errno_text());
    return table;
}

std::string replaced(std::string text, const std::string &placeholder, const std::string &value)
{
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
    return text;
}

void copy_whole_file(const fs::path &from, const fs::path &to)
{
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    if (error)
        throw pack_error("cannot copy " + quoted_path(from) + " to " + quoted_path(to) + ": " + error.message());
}

} // namespace

signature_state file_signature_state(const fs::path &path)
{
    return probe_file(path).state();
}

image_signer::image_signer(std::string command, bool resign, int threads)
    : command_(std::move(command)), resign_(resign), threads_(std::max(threads, 1)), folder_("onefile-sign")
{
}

fs::path image_signer::copy_path(std::size_t index, const fs::path &original) const
{
    const std::string extension = original.extension().u8string(); // empty, or "." and the rest
    const bool plain = extension.size() <= 16 &&
                       extension.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz",
                                                   1) == std::string::npos;
    return folder_.path() / (std::to_string(index + 1) + (plain ? extension : ""));
}

std::string image_signer::sign_copy(const fs::path &copy, const std::string &name) const
{
    const bytes before = resign_ ? certificate_table(copy) : bytes();
    const command_result result = run_shell_command(replaced(command_, sign_placeholder, shell_word(copy)));
    const std::string said = result.last_line.empty() ? "(it wrote nothing)" : result.last_line;
    if (result.status != 0)
        return "the sign command failed on " + name +
               (result.status < 0 ? " (ended by a signal): " : " with status " + std::to_string(result.status) + ": ") +
               said;
    std::error_code error;
    if (!fs::is_regular_file(copy, error))
        return "the sign command removed its copy of " + name + ": " + said;
    const bytes after = certificate_table(copy);
    if (after.empty() || after == before)
        return "the sign command left " + name + " without " + (before.empty() ? "a" : "a new") +
               " signature: " + said;
    return {};
}

std::size_t image_signer::sign_images(std::vector<app_file> &files)
{
    struct job {
        app_file *file;
        fs::path copy;
        std::string failure;    // empty: signed
    };
    std::vector<job> jobs;
    for (app_file &file : files) {
        const signature_state state = file_signature_state(file.source);
        if (state == signature_state::unsigned_image || (state == signature_state::signed_image && resign_))
            jobs.push_back({&file, copy_path(copies_++, file.source), {}});
    }
    // Jobs are taken in order and none is taken after a failure, so every
    // job before the first that fails has run: the failure reported is the
    // same for any number of workers.
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        for (std::size_t index; !failed && (index = next++) < jobs.size();) {
            job &current = jobs[index];
            try {
                copy_whole_file(current.file->source, current.copy);
                current.failure = sign_copy(current.copy, quoted_path(current.file->name));
            } catch (const std::exception &error) {
                current.failure = error.what();
            }
            if (!current.failure.empty())
                failed = true;
        }
    };
    std::vector<std::thread> workers;
    for (std::size_t i = 1; i < std::min<std::size_t>(static_cast<std::size_t>(threads_), jobs.size()); ++i)
        workers.emplace_back(work);
    work();
    for (std::thread &worker : workers)
        worker.join();
    for (const job &done : jobs)
        if (!done.failure.empty())
            throw pack_error(done.failure);
    for (const job &done : jobs) {
        done.file->source = done.copy;
        done.file->size = fs::file_size(done.copy);
    }
    return jobs.size();
}

void image_signer::sign_executable(const fs::path &path, const fs::path &name)
{
    const fs::path copy = copy_path(copies_++, name);
    copy_whole_file(path, copy);
    const std::string failure = sign_copy(copy, quoted_path(name));
    if (!failure.empty())
        throw pack_error(failure);
    copy_whole_file(copy, path);
}
