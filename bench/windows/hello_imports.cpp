/*
** The bare GUI hello-world program linked against the system libraries the
** bootstrap imports (user32, gdi32, ole32, shell32, shlwapi, advapi32): it
** returns 0 at once, so its start is what loading and starting those
** libraries costs any process of ours, without a window or any work.
*/
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR command_line, int)
{
    /* Never true: the calls only keep each library among the imports. */
    if (command_line != NULL && command_line[0] == L'\x1') {
        MessageBeep(0);
        GetStockObject(0);
        CoInitialize(NULL);
        SHFileOperationW(NULL);
        PathFileExistsW(command_line);
        RegCloseKey(NULL);
    }
    return 0;
}
