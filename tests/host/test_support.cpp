#include "test_support.h"

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

scratch_folder::scratch_folder()
{
    std::string pattern = (fs::temp_directory_path() / "onefile-pack-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a scratch folder");
    path_ = pattern;
}

scratch_folder::~scratch_folder()
{
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

void write_file(const fs::path &path, const std::string &bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string noise(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char &byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string decode_object(const std::string &object)
{
    const std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx *)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, 27);
    // The frames, skippable ones passed over, up to the zero fill.
    const std::size_t end = object.size() - 8;
    ZSTD_inBuffer input{object.data() + 3, end - 3, 0};
    std::string content;
    std::string buffer(ZSTD_DStreamOutSize(), '\0');
    while (input.pos < input.size && object.find_first_not_of('\0', 3 + input.pos) < end) {
        ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
        const std::size_t result = ZSTD_decompressStream(context.get(), &output, &input);
        if (ZSTD_isError(result))
            throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(result));
        content.append(buffer.data(), output.pos);
        if (result != 0 && input.pos == input.size && output.pos == 0)
            throw std::runtime_error("a frame ends early");
    }
    return content;
}

std::vector<decoded_entry> parse_content(const std::string &content)
{
    std::vector<decoded_entry> entries;
    std::size_t at = 0;
    const auto take = [&](std::size_t count) {
        if (content.size() - at < count)
            throw std::runtime_error("the content is cut short");
        at += count;
        return content.substr(at - count, count);
    };
    for (;;) {
        decoded_entry entry;
        for (std::string unit = take(2); unit != std::string(2, '\0'); unit = take(2))
            entry.name += static_cast<char16_t>(static_cast<unsigned char>(unit[0]) |
                                                static_cast<unsigned char>(unit[1]) << 8);
        if (entry.name.empty())
            break;
        std::uint64_t size = 0;
        const std::string size_bytes = take(8);
        for (int i = 7; i >= 0; --i)
            size = size << 8 | static_cast<unsigned char>(size_bytes[i]);
        entry.data = take(size);
        entries.push_back(entry);
    }
    if (at != content.size())
        throw std::runtime_error("bytes follow the end marker");
    return entries;
}

process_result run_onefile_pack(const std::vector<std::string> &arguments, const fs::path &temp,
                                const std::vector<std::string> &environment,
                                const std::vector<std::string> &launcher)
{
    std::vector<char *> argv;
    for (const std::string &part : launcher)
        argv.push_back(const_cast<char *>(part.c_str()));
    argv.push_back(const_cast<char *>(ONEFILE_PACK_BINARY));
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    int error_pipe[2], output_pipe[2];
    if (::pipe(error_pipe) != 0 || ::pipe(output_pipe) != 0)
        throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(error_pipe[1], 2);
        ::dup2(output_pipe[1], 1);
        for (int fd : {error_pipe[0], error_pipe[1], output_pipe[0], output_pipe[1]})
            ::close(fd);
        ::setenv("TMPDIR", temp.c_str(), 1);
        ::unsetenv("ONEFILE_RUNTIME_DIR");
        for (const std::string &variable : environment)
            ::putenv(const_cast<char *>(variable.c_str()));
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(error_pipe[1]);
    ::close(output_pipe[1]);
    process_result result{-1, {}, {}};
    // Both at once, so that neither pipe fills while the other is read.
    pollfd ends[2] = {{error_pipe[0], POLLIN, 0}, {output_pipe[0], POLLIN, 0}};
    std::string *texts[2] = {&result.error_output, &result.output};
    for (int open = 2; open > 0;) {
        ::poll(ends, 2, -1);
        for (int i = 0; i < 2; ++i) {
            if (ends[i].fd < 0 || ends[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t got = ::read(ends[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(got));
                continue;
            }
            ::close(ends[i].fd);
            ends[i].fd = -1;
            --open;
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}
