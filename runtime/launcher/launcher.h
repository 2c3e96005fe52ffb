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

/* Deletes "<TEMP>\onefile_<QALVEN_ONEFILE_PARENT>_splash_feedback.tmp",
** which tells the bootstrap that started this process to take its splash
** down. Silent; harmless when the program has deleted the file already. */
void delete_splash_feedback_file(void);

#endif
