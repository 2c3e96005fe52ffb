/*
** The bare GUI hello-world program linked against the system libraries the
** bootstrap imports (advapi32 besides kernel32 and msvcrt; the window,
** picture and shell libraries are delay-loaded only on the roads that use
** them): it returns 0 at once, so its start is what loading and starting
** those libraries costs any process of ours, without a window or any work.
*/
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR command_line, int)
{
    /* Never true: the call only keeps the library among the imports. */
    if (command_line != NULL && command_line[0] == L'\x1')
        RegCloseKey(NULL);
    return 0;
}
