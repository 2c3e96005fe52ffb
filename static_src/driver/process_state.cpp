/*
** Process-wide state of the driver (see driver.h for who may touch what).
*/
#include <windows.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "driver/driver.h"

wchar_t unpack_directory[ONEFILE_PATH_CAPACITY];
wchar_t first_entry_path[ONEFILE_PATH_CAPACITY];
volatile bool removal_flag;
HANDLE child_process;
HANDLE unfinished_file = INVALID_HANDLE_VALUE;
/* Here rather than beside the window code: the error reports read it, and
** the launcher, which shows no splash, links them. */
HWND splash_window;
