#include "temp_paths.h"

#include "pack_error.h"

#include <cstdio>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

pending_file::pending_file(const fs::path &destination) : destination_(fs::absolute(destination))
{
    std::string pattern = destination_.string() + ".tmp-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        throw pack_error("cannot write next to " + quoted_path(destination) + ": " + errno_text());
    ::close(fd);
    path_ = pattern;
}

pending_file::~pending_file()
{
    if (!committed_)
        ::unlink(path_.c_str()); // may be gone already: a failed link removes its output
}

void pending_file::commit(mode_t mode)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::chmod(path_.c_str(), mode & ~mask) != 0 || std::rename(path_.c_str(), destination_.c_str()) != 0)
        throw pack_error("cannot write " + quoted_path(destination_) + ": " + errno_text());
    committed_ = true;
}
