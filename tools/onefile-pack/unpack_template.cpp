#include "unpack_template.h"

#include "file_io.h"
#include "pack_error.h"
#include "utf16.h"
#include "format/onefile_format.h"

#include <vector>

namespace {

// The bootstrap's placeholders; the per-run ones differ at every start.
const char *const folder_placeholders[] = {ONEFILE_FOLDER_PLACEHOLDERS};
const char *const per_run_placeholders[] = {ONEFILE_PER_RUN_PLACEHOLDERS};
const char *const other_placeholders[] = {ONEFILE_OTHER_PLACEHOLDERS};

std::string upper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

template <std::size_t n>
bool among(const std::string &name, const char *const (&names)[n])
{
    for (const char *known : names)
        if (upper(name) == known)
            return true;
    return false;
}

struct piece {
    std::string text;
    bool placeholder;
};

// The template split into literals and placeholder names; throws for braces
// that do not pair and for names the bootstrap does not know.
std::vector<piece> pieces(const std::string &text)
{
    std::vector<piece> out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t open = text.find_first_of("{}", i);
        if (open != i || text[i] == '}') {
            if (open != std::string::npos && text[open] == '}')
                throw pack_error("--unpack-to: '}' without its '{' in '" + text + "'");
            out.push_back({text.substr(i, open - i), false});
            i = open == std::string::npos ? text.size() : open;
            continue;
        }
        const std::size_t close = text.find_first_of("{}", open + 1);
        if (close == std::string::npos || text[close] != '}')
            throw pack_error("--unpack-to: '{' without its '}' in '" + text + "'");
        const std::string name = text.substr(open + 1, close - open - 1);
        if (!among(name, folder_placeholders) && !among(name, per_run_placeholders) &&
            !among(name, other_placeholders))
            throw pack_error("--unpack-to: unknown placeholder {" + name + "}; known are {TEMP}, {CACHE_DIR}, " +
                             "{HOME}, {PROGRAM}, {PROGRAM_BASE}, {PROGRAM_DIR}, {PID}, {TIME_US}, {RANDOM}, {TIME}");
        out.push_back({name, true});
        i = close + 1;
    }
    return out;
}

bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

} // namespace

bool is_cached_template(const std::string &text)
{
    for (const piece &p : pieces(text))
        if (p.placeholder && among(p.text, per_run_placeholders))
            return false;
    return true;
}

void check_unpack_template(const std::string &text)
{
    const std::vector<piece> parts = pieces(text);
    std::u16string utf16;
    if (!append_utf16(utf16, text))
        throw pack_error("--unpack-to: the template is not UTF-8 text");
    // The executable holds 511 units; a cached template gets "\" and 16 digits more.
    if (utf16.size() + (is_cached_template(text) ? 17 : 0) > 511)
        throw pack_error("--unpack-to: the template is too long for the executable (at most 511 UTF-16 units, " +
                         std::string("17 of them taken by the build's folder in cached mode)"));
    const bool drive = text.size() >= 3 && text[1] == ':' && is_separator(text[2]);
    const bool share = text.size() >= 2 && is_separator(text[0]) && is_separator(text[1]);
    if (parts.empty() || (!drive && !share && !(parts[0].placeholder && among(parts[0].text, folder_placeholders))))
        throw pack_error("--unpack-to: '" + text + "' must start with {TEMP}, {CACHE_DIR}, {HOME}, " +
                         "{PROGRAM_DIR}, a drive or a share, so that it does not depend on the current folder");

    // The last name: after the last separator, and more than a folder placeholder.
    std::size_t last = parts.size();
    bool literal_name = false, only_folders = true;
    while (last > 0 && (parts[last - 1].placeholder || parts[last - 1].text.find_last_of("\\/") == std::string::npos)) {
        --last;
        if (parts[last].placeholder)
            only_folders = only_folders && !among(parts[last].text, per_run_placeholders);
        else
            literal_name = true;
    }
    std::string tail = last > 0 ? parts[last - 1].text.substr(parts[last - 1].text.find_last_of("\\/") + 1) : "";
    literal_name = literal_name || !tail.empty();
    if (tail == "." || tail == ".." || (!literal_name && only_folders))
        throw pack_error("--unpack-to: '" + text + "' must end in a folder name, such as {CACHE_DIR}\\Acme\\Viewer");
    for (std::size_t i = 0; i < last; ++i)
        if (parts[i].placeholder && among(parts[i].text, per_run_placeholders))
            throw pack_error("--unpack-to: {" + parts[i].text + "} may stand only in the last folder name of '" +
                             text + "': the folders above it would be left behind at every start");
}

bool lies_in_user_folders(const std::string &text)
{
    const std::vector<piece> parts = pieces(text);
    if (parts.empty() || !parts[0].placeholder || upper(parts[0].text) == "PROGRAM_DIR")
        return false;
    std::string literal;
    for (const piece &p : parts)
        literal += p.placeholder ? "\\" : p.text;
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
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
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
