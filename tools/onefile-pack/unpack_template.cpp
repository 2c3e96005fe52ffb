#include "unpack_template.h"

#include "file_io.h"
#include "pack_error.h"
#include "utf16.h"
#include "format/onefile_format.h"
#include "format/template_syntax.h"

#include <vector>

namespace {

struct piece {
    std::string text;
    placeholder_id placeholder;     // PLACEHOLDER_COUNT for literal text
};

// The template split as the bootstrap reads it; throws for braces that do
// not pair, which the bootstrap would refuse or drop, and for names it does
// not know.
std::vector<piece> pieces(const std::string &text)
{
    std::vector<piece> out;
    template_piece read;
    for (std::size_t at = 0; next_template_piece(text.c_str(), &at, &read);) {
        const std::string part = text.substr(read.start, read.length);
        if (read.kind == TEMPLATE_STRAY_CLOSE)
            throw pack_error("--unpack-to: '}' without its '{' in '" + text + "'");
        if (read.kind == TEMPLATE_UNCLOSED)
            throw pack_error("--unpack-to: '{' without its '}' in '" + text + "'");
        const placeholder_id id =
            read.kind == TEMPLATE_PLACEHOLDER ? find_placeholder(part.c_str(), part.size()) : PLACEHOLDER_COUNT;
        if (read.kind == TEMPLATE_PLACEHOLDER && id == PLACEHOLDER_COUNT) {
            std::string known;
            for (int i = 0; i < PLACEHOLDER_COUNT; ++i)
                known += std::string(i > 0 ? ", {" : "{") + placeholder_name(static_cast<placeholder_id>(i)) + "}";
            throw pack_error("--unpack-to: unknown placeholder {" + part + "}; known are " + known);
        }
        out.push_back({part, id});
    }
    return out;
}

bool is_per_run(const piece &p)
{
    return p.placeholder != PLACEHOLDER_COUNT && is_per_run_placeholder(p.placeholder);
}

bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

} // namespace

bool is_cached_template(const std::string &text)
{
    for (const piece &p : pieces(text))
        if (is_per_run(p))
            return false;
    return true;
}

void check_unpack_template(const std::string &text)
{
    const std::vector<piece> parts = pieces(text);
    std::u16string utf16;
    if (!append_utf16(utf16, text))
        throw pack_error("--unpack-to: the template is not UTF-8 text");
    // A cached template gets "\" and the build's folder name more.
    const std::size_t most = ONEFILE_UNPACK_TEMPLATE_CAPACITY - 1, build_folder = 1 + ONEFILE_CONTENT_NAME_DIGITS;
    if (utf16.size() + (is_cached_template(text) ? build_folder : 0) > most)
        throw pack_error("--unpack-to: the template is too long for the executable (at most " + std::to_string(most) +
                         " UTF-16 units, " + std::to_string(build_folder) +
                         " of them taken by the build's folder in cached mode)");
    const bool drive = text.size() >= 3 && text[1] == ':' && is_separator(text[2]);
    const bool share = text.size() >= 2 && is_separator(text[0]) && is_separator(text[1]);
    if (parts.empty() || (!drive && !share && !(parts[0].placeholder != PLACEHOLDER_COUNT &&
                                                 is_folder_placeholder(parts[0].placeholder))))
        throw pack_error("--unpack-to: '" + text + "' must start with {TEMP}, {CACHE_DIR}, {HOME}, " +
                         "{PROGRAM_DIR}, a drive or a share, so that it does not depend on the current folder");

    // The last name: after the last separator, and more than a folder placeholder.
    std::size_t last = parts.size();
    bool literal_name = false, only_folders = true;
    while (last > 0 && (parts[last - 1].placeholder != PLACEHOLDER_COUNT ||
                        parts[last - 1].text.find_last_of("\\/") == std::string::npos)) {
        --last;
        if (parts[last].placeholder != PLACEHOLDER_COUNT)
            only_folders = only_folders && !is_per_run(parts[last]);
        else
            literal_name = true;
    }
    std::string tail = last > 0 ? parts[last - 1].text.substr(parts[last - 1].text.find_last_of("\\/") + 1) : "";
    literal_name = literal_name || !tail.empty();
    if (tail == "." || tail == ".." || (!literal_name && only_folders))
        throw pack_error("--unpack-to: '" + text + "' must end in a folder name, such as {CACHE_DIR}\\Acme\\Viewer");
    for (std::size_t i = 0; i < last; ++i)
        if (is_per_run(parts[i]))
            throw pack_error("--unpack-to: {" + parts[i].text + "} may stand only in the last folder name of '" +
                             text + "': the folders above it would be left behind at every start");
}

bool lies_in_user_folders(const std::string &text)
{
    const std::vector<piece> parts = pieces(text);
    if (parts.empty() || parts[0].placeholder == PLACEHOLDER_COUNT || parts[0].placeholder == PLACEHOLDER_PROGRAM_DIR)
        return false;
    std::string literal;
    for (const piece &p : parts)
        literal += p.placeholder != PLACEHOLDER_COUNT ? "\\" : p.text;
    for (std::size_t start = 0; start <= literal.size();) {
        std::size_t end = literal.find_first_of("\\/", start);
        if (end == std::string::npos)
            end = literal.size();
        if (literal.compare(start, end - start, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

std::string content_name(const std::filesystem::path &object)
{
    // FNV-1a: enough to tell builds apart, and the same on every host.
    std::uint64_t hash = 0xcbf29ce484222325u;
    const file_handle in = open_file(object, "rb");
    if (!in)
        throw pack_error("cannot read the attached data back: " + errno_text());
    bytes buffer(1 << 20);
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0;)
        for (std::size_t i = 0; i < got; ++i)
            hash = (hash ^ buffer[i]) * 0x100000001b3u;
    char text[ONEFILE_CONTENT_NAME_DIGITS + 1];
    std::snprintf(text, sizeof text, "%0*llx", ONEFILE_CONTENT_NAME_DIGITS, static_cast<unsigned long long>(hash));
    return text;
}

std::u16string stored_unpack_template(const std::string &text, const std::string &content_name)
{
    std::string stored = text;
    for (char &c : stored)
        c = c == '/' ? '\\' : c;
    if (is_cached_template(text))
        stored += "\\" + content_name;
    std::u16string utf16;
    append_utf16(utf16, stored);
    return utf16;
}
