#include "manifest.h"

#include "file_io.h"
#include "pack_error.h"

#include <expat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <type_traits>

namespace {

// Expat gives each name of a namespace as "<namespace URI>|<local name>".
constexpr char namespace_separator = '|';
const std::string assembly_element = "urn:schemas-microsoft-com:asm.v1|assembly";
const std::string identity_element = "urn:schemas-microsoft-com:asm.v1|assemblyIdentity";
const std::string execution_level_elements[] = {"urn:schemas-microsoft-com:asm.v3|requestedExecutionLevel",
                                                "urn:schemas-microsoft-com:asm.v2|requestedExecutionLevel"};
const std::string dpi_aware_element = "http://schemas.microsoft.com/SMI/2005/WindowsSettings|dpiAware";
const std::string dpi_awareness_element = "http://schemas.microsoft.com/SMI/2016/WindowsSettings|dpiAwareness";
const std::string long_path_element = "http://schemas.microsoft.com/SMI/2016/WindowsSettings|longPathAware";
const std::string code_page_element = "http://schemas.microsoft.com/SMI/2019/WindowsSettings|activeCodePage";

// The windowsSettings elements of the options, a line each, as in our manifest.
const char *const utf8_code_page =
    "      <activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8</activeCodePage>\n";
const char *const system_dpi =
    "      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>\n";
// Windows 10 1703 and later take the first value they know; Windows 8.1 reads dpiAware.
const char *const per_monitor_dpi =
    "      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>\n"
    "      <dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2, "
    "PerMonitor</dpiAwareness>\n";

std::string lower_trimmed(const std::string &text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    std::string value = text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first);
    for (char &c : value)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return value;
}

// What the parse has met so far.
struct manifest_reader {
    explicit manifest_reader(XML_Parser p) : parser(p) {}

    XML_Parser parser;
    manifest_facts facts;
    int depth = 0;
    std::string refusal;        // why the root is not a manifest's
    // The elements whose text tells, by name, and their text.
    std::map<std::string, std::string> texts{
        {dpi_aware_element, {}}, {dpi_awareness_element, {}}, {long_path_element, {}}, {code_page_element, {}}};
    std::string *collecting = nullptr; // the text of the element being read
};

const char *attribute(const XML_Char **attributes, const char *name)
{
    for (; attributes[0] != nullptr; attributes += 2)
        if (std::string(attributes[0]) == name)
            return attributes[1];
    return nullptr;
}

void XMLCALL start_element(void *data, const XML_Char *name, const XML_Char **attributes)
{
    auto &reader = *static_cast<manifest_reader *>(data);
    const std::string element = name;
    if (reader.depth++ == 0) {
        const char *version = attribute(attributes, "manifestVersion");
        if (element != assembly_element)
            reader.refusal = "its root element is not <assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">";
        else if (version == nullptr || std::string(version) != "1.0")
            reader.refusal = "its assembly element lacks manifestVersion=\"1.0\"";
        if (!reader.refusal.empty())
            XML_StopParser(reader.parser, XML_FALSE);
        return;
    }
    if (reader.depth == 2 && element == identity_element) {
        if (const char *architecture = attribute(attributes, "processorArchitecture"))
            reader.facts.architecture = architecture;
    }
    for (const std::string &level_element : execution_level_elements)
        if (element == level_element)
            if (const char *level = attribute(attributes, "level"))
                reader.facts.execution_level = level;
    if (const auto found = reader.texts.find(element); found != reader.texts.end()) {
        found->second.clear();
        reader.collecting = &found->second;
    }
}

void XMLCALL end_element(void *data, const XML_Char *)
{
    auto &reader = *static_cast<manifest_reader *>(data);
    --reader.depth;
    reader.collecting = nullptr;
}

void XMLCALL character_data(void *data, const XML_Char *text, int length)
{
    auto &reader = *static_cast<manifest_reader *>(data);
    if (reader.collecting != nullptr)
        reader.collecting->append(text, static_cast<std::size_t>(length));
}

// The DPI awareness as Windows 10 reads it: the first value of dpiAwareness
// that it knows, else dpiAware.
std::string dpi_awareness(const std::string &aware, const std::string &awareness)
{
    for (std::size_t start = 0; start <= awareness.size();) {
        const std::size_t end = std::min(awareness.find(',', start), awareness.size());
        const std::string value = lower_trimmed(awareness.substr(start, end - start));
        if (value == "permonitorv2" || value == "permonitor")
            return "per-monitor";
        if (value == "system")
            return "system";
        if (value == "unaware")
            return {};
        start = end + 1;
    }
    const std::string value = lower_trimmed(aware);
    if (value == "true/pm" || value == "per monitor")
        return "per-monitor";
    return value == "true" ? "system" : "";
}

bytes our_manifest(const manifest_options &options)
{
    bytes data = read_whole_file(options.ours, "manifest");
    std::string text(data.begin(), data.end());
    const std::string level = "level=\"asInvoker\"";
    const std::size_t level_at = text.find(level);
    const std::size_t settings_end = text.find("    </windowsSettings>");
    if (level_at == std::string::npos || settings_end == std::string::npos || settings_end < level_at)
        throw pack_error("manifest " + quoted_path(options.ours) + " is not the packer's own: it lacks the " +
                         "requestedExecutionLevel or windowsSettings element that the options extend");
    std::string settings = options.utf8 ? utf8_code_page : "";
    if (options.dpi_awareness == "system")
        settings += system_dpi;
    else if (options.dpi_awareness == "per-monitor")
        settings += per_monitor_dpi;
    text.insert(settings_end, settings);
    text.replace(level_at, level.size(), "level=\"" + options.execution_level + "\"");
    return bytes_of(text);
}

} // namespace

manifest_facts read_manifest(const bytes &manifest, const std::string &what)
{
    const std::unique_ptr<std::remove_pointer_t<XML_Parser>, void (*)(XML_Parser)> parser(
        XML_ParserCreateNS(nullptr, namespace_separator), XML_ParserFree);
    if (!parser)
        throw pack_error("out of memory");
    manifest_reader reader(parser.get());
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(parser.get(), start_element, end_element);
    XML_SetCharacterDataHandler(parser.get(), character_data);
    const XML_Status status = XML_Parse(parser.get(), reinterpret_cast<const char *>(manifest.data()),
                                        static_cast<int>(manifest.size()), XML_TRUE);
    if (!reader.refusal.empty())
        throw pack_error("manifest " + what + " is no application manifest: " + reader.refusal);
    if (status != XML_STATUS_OK)
        throw pack_error("manifest " + what + " is not well-formed XML: line " +
                         std::to_string(XML_GetCurrentLineNumber(parser.get())) + ": " +
                         XML_ErrorString(XML_GetErrorCode(parser.get())));
    manifest_facts facts = reader.facts;
    facts.dpi_awareness = dpi_awareness(reader.texts[dpi_aware_element], reader.texts[dpi_awareness_element]);
    facts.long_path_aware = lower_trimmed(reader.texts[long_path_element]) == "true";
    facts.utf8 = lower_trimmed(reader.texts[code_page_element]) == "utf-8";
    return facts;
}

bytes executable_manifest(const manifest_options &options)
{
    if (options.own.empty())
        return our_manifest(options);
    bytes data = read_whole_file(options.own, "manifest");
    const std::string what = quoted_path(options.own);
    const manifest_facts facts = read_manifest(data, what);
    if (!facts.long_path_aware)
        std::fprintf(stderr, "onefile-pack: warning: manifest %s does not declare longPathAware true: the "
                             "executable then cannot load its application or start its program from an unpack "
                             "folder whose paths pass 260 characters\n",
                     what.c_str());
    const std::string architecture = lower_trimmed(facts.architecture);
    if (!architecture.empty() && architecture != "amd64" && architecture != "*")
        std::fprintf(stderr, "onefile-pack: warning: manifest %s names processorArchitecture '%s': Windows "
                             "refuses to start a 64-bit executable whose manifest names another architecture\n",
                     what.c_str(), facts.architecture.c_str());
    return data;
}
