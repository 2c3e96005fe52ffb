/*
** The program launcher: an application library whose run_code starts an
** ordinary Windows program from the unpack directory (see program.h), as
** if the user had started that program directly, and returns its exit
** status.
*/
#ifndef ONEFILE_LAUNCHER_H
#define ONEFILE_LAUNCHER_H

#include <windows.h>

#include "program/program.h"

/* True when this process's executable carries a splash image. */
bool executable_has_splash(void);

#endif
