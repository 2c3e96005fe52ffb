// The DLLs that every supported Windows (7, 8, 8.1, 10 and 11, x64) brings
// along, so an application need not ship them. The list is generous: a
// missing name costs a user a false warning, a wrong name only a warning
// that does not come.
#ifndef ONEFILE_SYSTEM_DLLS_H
#define ONEFILE_SYSTEM_DLLS_H

#include <string>

// True when `name` (a file name such as "KERNEL32.dll", compared without
// regard to ASCII case) is a system DLL or an API set (api-ms-win-*, ext-ms-win-*).
bool is_system_dll(const std::string &name);

// `text` with ASCII letters in lower case, the way DLL names are compared here.
std::string ascii_lower(std::string text);

#endif
