/*
** The packed probe applications of these tests and how to start them.
*/
#ifndef ONEFILE_SPLASH_PROBES_H
#define ONEFILE_SPLASH_PROBES_H

#include "run_process.h"

#include <string>

/* The probe packed with splash image `variant` ("none": without one). */
inline std::wstring packed(const std::wstring &variant)
{
    return std::wstring(ONEFILE_SPLASH_TEST_DIR) + L"\\splash_probe_" + variant + L".exe";
}

/* A fresh start of `executable` with `temp` as its temporary folder. */
inline process_options fresh_run(const std::wstring &executable, const std::wstring &temp)
{
    process_options options;
    options.command_line = quote_argument(executable);
    as_fresh_start(options, temp);
    return options;
}

#endif
