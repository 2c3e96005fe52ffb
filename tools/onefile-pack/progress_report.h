// What the packer tells the user on standard error while it works.
#ifndef ONEFILE_PROGRESS_REPORT_H
#define ONEFILE_PROGRESS_REPORT_H

#include "attached_data.h"

#include <chrono>
#include <cstdint>
#include <string>

// A size for people: "512 bytes", "3.4 MiB".
std::string format_size(std::uint64_t bytes);

// Files and bytes packed so far, rewritten in place on standard error. Only
// a terminal gets it: in a log, the carriage returns would be noise.
class progress_line {
public:
    explicit progress_line(bool wanted);
    ~progress_line();
    progress_line(const progress_line &) = delete;
    progress_line &operator=(const progress_line &) = delete;

    // Redraws the line, at most ten times a second.
    void show(const pack_progress &progress);

private:
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_;
};

#endif
