/*
** Whether there is a bootstrap's splash to end for a program that knows
** nothing of it (end_parents_splash ends it).
*/
#include <wchar.h>

#include "launcher.h"

bool executable_has_splash(void)
{
    return FindResourceW(GetModuleHandleW(NULL),
                         MAKEINTRESOURCEW(ONEFILE_SPLASH_RESOURCE),
                         RT_RCDATA) != NULL;
}
