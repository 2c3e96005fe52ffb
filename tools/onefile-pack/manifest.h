// The executable's manifest: ours, from the runtime folder, with what the
// options ask for, or the user's own file, checked; and what a manifest
// declares, read back with an XML parser.
#ifndef ONEFILE_MANIFEST_H
#define ONEFILE_MANIFEST_H

#include "little_endian.h"

#include <filesystem>
#include <string>

struct manifest_options {
    std::filesystem::path ours;             // the runtime's manifest
    std::filesystem::path own;              // --manifest, used instead of ours; empty: ours
    bool utf8 = false;                      // UTF-8 as the process code page
    std::string execution_level = "asInvoker"; // asInvoker, highestAvailable or requireAdministrator
    std::string dpi_awareness;              // empty, "system" or "per-monitor"
};

// What a manifest declares.
struct manifest_facts {
    std::string execution_level;    // requestedExecutionLevel's level; empty: none
    std::string dpi_awareness;      // "system", "per-monitor" or empty, as Windows 10 reads it
    bool utf8 = false;              // activeCodePage UTF-8
    bool long_path_aware = false;   // longPathAware true
    std::string architecture;       // assemblyIdentity's processorArchitecture; empty: none
};

// Reads `manifest`, whose file `what` names in messages. Throws pack_error
// with one line unless it is well-formed XML whose root is an assembly
// element of the manifest namespace with manifestVersion 1.0: Windows
// refuses to start an executable whose manifest is not.
manifest_facts read_manifest(const bytes &manifest, const std::string &what);

// The manifest's bytes. Ours gets the execution level, DPI awareness and
// code page asked for; the user's own is taken as it is, once read_manifest
// accepts it, with a warning on standard error, one line each, for what the
// bootstrap relies on that it lacks. Throws pack_error.
bytes executable_manifest(const manifest_options &options);

#endif
