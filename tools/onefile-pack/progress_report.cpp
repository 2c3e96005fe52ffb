#include "progress_report.h"

#include <cstdio>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Whether standard error shows the line as meant: a terminal that takes the
// escape sequence clearing the rest of the line.
bool stderr_is_terminal()
{
#ifdef _WIN32
    // _isatty holds for NUL as well, and a console only takes escape
    // sequences once asked (Windows 10 and later; older ones refuse).
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return ::isatty(STDERR_FILENO);
#endif
}

} // namespace

std::string format_size(std::uint64_t bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + " bytes";
    const char *const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

progress_line::progress_line(bool wanted) : enabled_(wanted && stderr_is_terminal())
{
}

progress_line::~progress_line()
{
    if (shown_)
        std::fputs("\r\033[K", stderr);
}

void progress_line::show(const pack_progress &progress)
{
    const auto now = std::chrono::steady_clock::now();
    if (!enabled_ || (shown_ && now - last_ < std::chrono::milliseconds(100)))
        return;
    std::fprintf(stderr, "\ronefile-pack: %zu/%zu files, %s of %s\033[K", progress.files_done, progress.files_total,
                 format_size(progress.bytes_done).c_str(), format_size(progress.bytes_total).c_str());
    std::fflush(stderr);
    shown_ = true;
    last_ = now;
}
