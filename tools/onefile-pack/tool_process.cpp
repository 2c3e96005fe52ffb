#include "tool_process.h"

#include "pack_error.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// Closes the descriptors it owns however run_tool leaves.
struct descriptors {
    int fds[2] = {-1, -1};
    ~descriptors()
    {
        for (int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }
};

struct spawn_actions {
    posix_spawn_file_actions_t actions;
    spawn_actions() { posix_spawn_file_actions_init(&actions); }
    ~spawn_actions() { posix_spawn_file_actions_destroy(&actions); }
};

std::string read_all(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR)
            return text;
    }
}

int wait_for(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR)
        continue;
    return status;
}

} // namespace

void run_tool(const std::string &step, const std::vector<std::string> &arguments,
              const std::filesystem::path &working_folder)
{
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    descriptors pipe_ends;
    if (::pipe2(pipe_ends.fds, O_CLOEXEC) != 0)
        throw pack_error(step + ": cannot make a pipe: " + errno_text());
    spawn_actions spawn;
    posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&spawn.actions, pipe_ends.fds[1], 1);
    posix_spawn_file_actions_adddup2(&spawn.actions, pipe_ends.fds[1], 2);
    posix_spawn_file_actions_addchdir_np(&spawn.actions, working_folder.c_str());

    pid_t pid = 0;
    const int spawn_error = ::posix_spawnp(&pid, argv[0], &spawn.actions, nullptr, argv.data(), environ);
    if (spawn_error != 0)
        throw pack_error(step + ": cannot run " + quoted_path(arguments[0]) + ": " + std::strerror(spawn_error));
    ::close(pipe_ends.fds[1]);
    pipe_ends.fds[1] = -1;
    std::string output = read_all(pipe_ends.fds[0]);
    const int status = wait_for(pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;

    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    const std::string how = WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                                              : "was ended by signal " + std::to_string(WTERMSIG(status));
    throw pack_error(step + " failed: " + quoted_path(arguments[0]) + " " + how +
                     (output.empty() ? "" : ":\n" + output));
}
