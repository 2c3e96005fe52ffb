#include "link_executable.h"

#include "pack_error.h"
#include "tool_process.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// `path` as an assembler string literal: quotes and backslashes escaped,
// control characters as octal escapes so the directive stays on one line.
std::string assembler_string(const fs::path &path)
{
    std::string text = "\"";
    for (unsigned char byte : path.native()) {
        if (byte == '"' || byte == '\\') {
            text += '\\';
            text += static_cast<char>(byte);
        } else if (byte < 0x20) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\%03o", byte);
            text += escaped;
        } else {
            text += static_cast<char>(byte);
        }
    }
    return text + "\"";
}

void write_text(const fs::path &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out.flush())
        throw pack_error("cannot write " + quoted_path(path));
}

// Copies `source` to `folder`/`name`, making the folder, so that a resource
// script finds it under the fixed name it uses.
void copy_as(const fs::path &source, const fs::path &folder, const char *name)
{
    std::error_code error;
    fs::create_directory(folder, error);
    if (!error)
        fs::copy_file(source, folder / name, error);
    if (error)
        throw pack_error("cannot copy " + quoted_path(source) + ": " + error.message());
}

void assemble_attached_data(const runtime_description &runtime, const fs::path &object, const fs::path &work)
{
    write_text(work / "attached_data.s",
               "    .section .rdata,\"dr\"\n"
               "    .p2align 4\n"
               "    .globl onefile_attached_data\n"
               "onefile_attached_data:\n"
               "    .incbin " + assembler_string(object) + "\n"
               "onefile_attached_data_end:\n"
               "    .p2align 3\n"
               "    .globl onefile_attached_data_size\n"
               "onefile_attached_data_size:\n"
               "    .quad onefile_attached_data_end - onefile_attached_data\n");
    run_tool("assembling the attached data",
             {runtime.cxx, "-c", "-x", "assembler", "attached_data.s", "-o", "attached_data.o"}, work);
}

// windres looks for a file named in a script in its working folder, then
// along -I in order, then beside the script. The work folder holds none of
// those names, and the folder with the user's icon comes before the runtime.
void compile_resources(const runtime_description &runtime, const fs::path &icon, const fs::path &work)
{
    std::vector<std::string> command{runtime.windres};
    if (!icon.empty()) {
        copy_as(icon, work / "icon", "onefile.ico");
        command.insert(command.end(), {"-I", "icon"});
    }
    command.insert(command.end(), {"-I", runtime.folder.string(), "-O", "coff",
                                   "-i", (runtime.folder / "onefile.rc").string(), "-o", "res.o"});
    run_tool("compiling the resources", command, work);
}

void compile_splash(const runtime_description &runtime, const fs::path &splash, const fs::path &work)
{
    copy_as(splash, work / "splash", "splash.png");
    run_tool("compiling the splash image",
             {runtime.windres, "-I", "splash", "-O", "coff",
              "-i", (runtime.folder / "splash.rc").string(), "-o", "splash.o"},
             work);
}

} // namespace

void link_executable(const runtime_description &runtime, const link_request &request, const fs::path &work_folder)
{
    assemble_attached_data(runtime, request.object, work_folder);
    compile_resources(runtime, request.icon, work_folder);
    std::vector<std::string> command{runtime.cxx};
    command.insert(command.end(), runtime.flags.begin(), runtime.flags.end());
    command.insert(command.end(), {"-o", request.output.string(), "attached_data.o", "res.o"});
    if (!request.splash.empty()) {
        compile_splash(runtime, request.splash, work_folder);
        command.push_back("splash.o");
    }
    for (const fs::path &library : runtime.libraries)
        command.push_back(library.string());
    command.insert(command.end(), runtime.system_libraries.begin(), runtime.system_libraries.end());
    run_tool("linking", command, work_folder);
}
