#include "shell_command.h"

#include "pack_error.h"

#include <algorithm>

#ifdef _WIN32
#include "file_io.h"

#include <mutex>
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

namespace {

// The output kept to find its last line; a tool may write much more.
constexpr std::size_t kept_output = 16384;

// Appends a piece of output, keeping only its last kept_output bytes.
void keep_tail(std::string &tail, const char *data, std::size_t size)
{
    tail.append(data, size);
    if (tail.size() > 2 * kept_output)
        tail.erase(0, tail.size() - kept_output);
}

// The last line of `output` that holds more than blanks, with control
// characters shown as blanks: it goes into a one-line message.
std::string last_line_of(const std::string &output)
{
    for (std::size_t end = output.size(); end > 0;) {
        const std::size_t start = output.find_last_of("\r\n", end - 1);
        const std::size_t from = start == std::string::npos ? 0 : start + 1;
        std::string line = output.substr(from, end - from);
        std::replace_if(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; },
                        ' ');
        const std::size_t first = line.find_first_not_of(' ');
        if (first != std::string::npos)
            return line.substr(first, line.find_last_not_of(' ') + 1 - first);
        if (start == std::string::npos)
            break;
        end = start;
    }
    return {};
}

#ifdef _WIN32
std::wstring wide(const std::string &text)
{
    return path_from_utf8(text).native();
}

std::string system_error_text()
{
    return std::system_category().message(static_cast<int>(GetLastError()));
}

// Handles are made inheritable only while one process is being created, so
// that a command started by another thread never holds this one's pipe
// open and its reader waits for both.
std::mutex creating_process;

// An inheritable handle while `creating_process` is held; not inheritable otherwise.
struct inheritable_while_creating {
    HANDLE handle;
    explicit inheritable_while_creating(HANDLE h) : handle(h)
    {
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    ~inheritable_while_creating() { SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0); }
};
#endif

} // namespace

#ifdef _WIN32
std::string shell_word(const std::filesystem::path &path)
{
    return "\"" + path.u8string() + "\"";
}

command_result run_shell_command(const std::string &command)
{
    wchar_t system_folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system_folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        throw pack_error("cannot find cmd.exe: " + system_error_text());
    const std::wstring shell = std::wstring(system_folder) + L"\\cmd.exe";
    // /d: no AutoRun commands; /s /c "...": the rest exactly as given.
    std::wstring line = L"cmd.exe /d /s /c \"" + wide(command) + L"\"";

    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, nullptr, 0))
        throw pack_error("cannot start cmd.exe: " + system_error_text());
    const HANDLE nothing = CreateFileW(L"NUL",
                                       GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr,               // lpSecurityAttributes
                                       OPEN_EXISTING,
                                       0,                     // dwFlagsAndAttributes
                                       nullptr);              // hTemplateFile
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process{};
    BOOL created = FALSE;
    DWORD error = 0;
    {
        const std::lock_guard<std::mutex> lock(creating_process);
        const inheritable_while_creating output(write_end);
        const inheritable_while_creating input(nothing);
        created = CreateProcessW(shell.c_str(),
                                 line.data(),
                                 nullptr,               // lpProcessAttributes
                                 nullptr,               // lpThreadAttributes
                                 TRUE,                  // bInheritHandles: the two above
                                 // In our console, if we have one, so that Ctrl+C reaches it too.
                                 GetConsoleWindow() != nullptr ? 0 : CREATE_NO_WINDOW,
                                 nullptr,               // lpEnvironment: ours
                                 nullptr,               // lpCurrentDirectory: ours
                                 &startup,
                                 &process);
        error = GetLastError();
    }
    CloseHandle(write_end);
    if (nothing != INVALID_HANDLE_VALUE)
        CloseHandle(nothing);
    if (!created) {
        CloseHandle(read_end);
        SetLastError(error);
        throw pack_error("cannot start cmd.exe: " + system_error_text());
    }
    CloseHandle(process.hThread);
    std::string tail;
    char buffer[4096];
    for (DWORD got = 0; ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0;)
        keep_tail(tail, buffer, got);
    CloseHandle(read_end);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    if (!GetExitCodeProcess(process.hProcess, &status))
        status = 1;
    CloseHandle(process.hProcess);
    return {static_cast<int>(status), last_line_of(tail)};
}
#else
std::string shell_word(const std::filesystem::path &path)
{
    std::string word = "'";
    for (const char c : path.string())
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

command_result run_shell_command(const std::string &command)
{
    // Close-on-exec, so that a command started by another thread never
    // holds this one's pipe open.
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0)
        throw pack_error("cannot start /bin/sh: " + errno_text());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
    std::string shell = "/bin/sh", option = "-c", text = command;
    char *const arguments[] = {shell.data(), option.data(), text.data(), nullptr};
    pid_t child = 0;
    const int failed = ::posix_spawn(&child, "/bin/sh", &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_ends[1]);
    if (failed != 0) {
        ::close(pipe_ends[0]);
        throw pack_error(std::string("cannot start /bin/sh: ") + std::strerror(failed));
    }
    std::string tail;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(pipe_ends[0], buffer, sizeof buffer);
        if (got > 0)
            keep_tail(tail, buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    ::close(pipe_ends[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, last_line_of(tail)};
}
#endif
