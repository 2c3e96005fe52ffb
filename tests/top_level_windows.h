/*
** The top-level windows of one class, listed in one call. Walking them with
** FindWindowEx(NULL, previous, class) instead hangs Wine 10's wineserver for
** good (all of its time in that request, every Wine process waiting on it)
** when the owner of `previous` destroys it meanwhile: the server goes on from
** a window it has moved to the list of unlinked ones, which never leads back
** to where the walk started.
*/
#ifndef ONEFILE_TEST_TOP_LEVEL_WINDOWS_H
#define ONEFILE_TEST_TOP_LEVEL_WINDOWS_H

#include <windows.h>

#include <vector>

inline std::vector<HWND> top_level_windows(const char *window_class)
{
    struct search {
        const char *window_class;
        std::vector<HWND> found;
    } search = {window_class, {}};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            struct search *s = (struct search *)context;
            char name[256];
            if (GetClassNameA(window, name, sizeof name) > 0 && lstrcmpiA(name, s->window_class) == 0)
                s->found.push_back(window);
            return TRUE;
        },
        (LPARAM)&search);
    return search.found;
}

#endif
