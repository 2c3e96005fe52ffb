// Runs the compiler and resource compiler of the runtime, without a shell.
#ifndef ONEFILE_TOOL_PROCESS_H
#define ONEFILE_TOOL_PROCESS_H

#include <filesystem>
#include <string>
#include <vector>

// Runs `arguments` (the first names the program; without a "/" it is looked
// up in PATH) in the folder `working_folder`, with no input and its output
// and error output captured. Throws pack_error, saying that `step` failed and
// quoting the tool's output, when it cannot start or does not exit with 0.
void run_tool(const std::string &step, const std::vector<std::string> &arguments,
              const std::filesystem::path &working_folder);

#endif
