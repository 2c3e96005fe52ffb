// Helpers shared by the host tests: scratch folders, files, decoding the
// attached data, and running the built onefile-pack.
#ifndef ONEFILE_TEST_SUPPORT_H
#define ONEFILE_TEST_SUPPORT_H

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A fresh, empty folder, removed with its content at the end of the test.
class scratch_folder {
public:
    scratch_folder();
    ~scratch_folder();
    scratch_folder(const scratch_folder &) = delete;
    scratch_folder &operator=(const scratch_folder &) = delete;

    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

// Writes `bytes` to `path`, creating the folders above it.
void write_file(const fs::path &path, const std::string &bytes);

std::string read_file(const fs::path &path);

// Bytes that zstd cannot shrink much, the same for the same seed.
std::string noise(std::size_t size, unsigned seed);

// The content that an object's zstd frames decode to, one after another as
// a reader that knows no index reads them, with the bootstrap's window
// limit (log 27). Throws std::runtime_error if it does not decode.
std::string decode_object(const std::string &object);

struct decoded_entry {
    std::u16string name;
    std::string data;
};

// The entries of decoded content. Throws std::runtime_error if the content is
// cut short or anything follows the end marker.
std::vector<decoded_entry> parse_content(const std::string &content);

struct process_result {
    int status;                 // exit status, or -1 if it did not exit
    std::string error_output;   // everything it wrote to standard error
    std::string output;         // everything it wrote to standard output
};

// Runs the built onefile-pack with `arguments`, TMPDIR set to `temp` and the
// variables of `environment` ("NAME=value"), through `launcher` if given.
process_result run_onefile_pack(const std::vector<std::string> &arguments, const fs::path &temp,
                                const std::vector<std::string> &environment = {},
                                const std::vector<std::string> &launcher = {});

#endif
