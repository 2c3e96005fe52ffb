/*
** The splash window. (Being written: only COM initialisation so far.)
*/
#include <windows.h>
#include <objbase.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"

HWND splash_window;

POINT centre_in_work_area(const RECT *work_area, LONG width, LONG height)
{
    POINT corner;
    corner.x = work_area->left + (work_area->right - work_area->left - width) / 2;
    corner.y = work_area->top + (work_area->bottom - work_area->top - height) / 2;
    return corner;
}

void open_splash_window(void)
{
    CoInitialize(NULL);
}
