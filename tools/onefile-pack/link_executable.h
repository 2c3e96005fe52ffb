// Turns an attached-data object into a Windows executable with the runtime.
#ifndef ONEFILE_LINK_EXECUTABLE_H
#define ONEFILE_LINK_EXECUTABLE_H

#include "runtime_description.h"

#include <filesystem>

struct link_request {
    std::filesystem::path object;   // the attached data, absolute
    std::filesystem::path icon;     // empty: the runtime's default icon
    std::filesystem::path splash;   // empty: no splash screen
    std::filesystem::path output;   // what the linker writes, absolute
};

// Assembles the object into read-only data under the symbols
// onefile_attached_data and onefile_attached_data_size, compiles the
// manifest, icon and splash resources, and links them with the runtime's
// libraries into request.output. The tools run in `work_folder`, a private
// folder that takes their intermediate files; its path ends up in no output.
// Throws pack_error quoting the output of a tool that fails.
void link_executable(const runtime_description &runtime, const link_request &request,
                     const std::filesystem::path &work_folder);

#endif
