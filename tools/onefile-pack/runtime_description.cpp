#include "runtime_description.h"

#include "pack_error.h"

#include <fstream>

runtime_description read_runtime_description(const std::filesystem::path &folder)
{
    runtime_description runtime;
    runtime.folder = std::filesystem::absolute(folder);
    const std::filesystem::path file = runtime.folder / "runtime.txt";
    std::ifstream in(file);
    if (!in)
        throw pack_error("no runtime in " + quoted_path(folder) + " (cannot read runtime.txt): build the Windows " +
                         "side first, or name a runtime folder with --runtime-dir or ONEFILE_RUNTIME_DIR");

    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty())
            continue;
        const std::size_t blank = line.find(' ');
        const std::string key = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (key == "cxx" && !value.empty())
            runtime.cxx = value;
        else if (key == "windres" && !value.empty())
            runtime.windres = value;
        else if (key == "flag" && !value.empty())
            runtime.flags.push_back(value);
        else if (key == "library" && !value.empty())
            runtime.libraries.push_back(runtime.folder / value);
        else if (key == "system-library" && !value.empty())
            runtime.system_libraries.push_back(value);
        else
            throw pack_error(quoted_path(file) + " line " + std::to_string(number) + ": not understood: " + line);
    }
    if (runtime.cxx.empty() || runtime.windres.empty())
        throw pack_error(quoted_path(file) + " must name the compiler (cxx) and the resource compiler (windres)");
    return runtime;
}
