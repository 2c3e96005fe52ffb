// The user's own commands, run through the system's shell: /bin/sh on
// Linux, cmd.exe on Windows, as the user would type them there.
#ifndef ONEFILE_SHELL_COMMAND_H
#define ONEFILE_SHELL_COMMAND_H

#include <filesystem>
#include <string>

struct command_result {
    int status;             // the exit status; -1 when it was ended by a signal
    std::string last_line;  // the last line of its output that holds more than blanks
};

// Runs `command` (UTF-8) through the shell with standard input from the null
// device and standard output and error captured together, and waits for
// it. Safe to call from several threads at once. Throws pack_error when the
// shell cannot be started.
command_result run_shell_command(const std::string &command);

// `path` as one word of the shell's command line, whatever it holds: in
// single quotes for /bin/sh, in double quotes for cmd.exe (Windows paths
// hold no double quote). Text right after the word joins it, as in
// '/tmp/a b/1.dll'.signed.
std::string shell_word(const std::filesystem::path &path);

#endif
