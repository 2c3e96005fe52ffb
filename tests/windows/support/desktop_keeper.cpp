/*
** Holds the Wine prefix's desktop for a test session. Wine closes a desktop
** one second after its last user has left, and a window that a program makes
** within that second fails with error 1400 (invalid window handle): the
** tests start programs with and without windows in any rhythm. A thread that
** asks for the desktop window uses the desktop until it ends; with no
** top-level window of its own, the keeper is neither asked nor ended when a
** test ends the session. Windows has no such timeout.
*/
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    GetDesktopWindow();
    Sleep(INFINITE);
    return 0;
}
