/*
** The splash screen: a layered window showing the PNG image stored as
** RT_RCDATA resource 28, withdrawn when the application deletes the splash
** feedback file. The window belongs to the thread that creates it: the main
** thread, which polls the file while it waits for the child, or, when the
** application runs in this process, a splash thread of its own. The console
** handler only deletes the feedback file.
*/
#ifndef ONEFILE_SPLASH_SCREEN_H
#define ONEFILE_SPLASH_SCREEN_H

#include <windows.h>

#include "paths/paths.h"
#include "state/process_state.h"

/* Whether open_splash_window initialised COM on the main thread (never
** otherwise; the splash thread keeps its own). */
extern bool com_initialized;

/* True from the attempt to create the feedback file until the splash is
** gone; written by the thread that owns the window. */
extern volatile bool splash_active;

/* The expanded "{TEMP}\onefile_{PID}_splash_feedback.tmp". */
extern wchar_t splash_feedback_path[ONEFILE_PATH_CAPACITY];

/* Initialises COM and, when the executable carries a PNG splash image, shows
** it centred on the primary monitor's work area and creates the feedback
** file. Every failure before the window exists is silent. */
void open_splash_window(void);

/* The same on a thread that then serves the window's messages and polls the
** feedback file every 50 ms, taking the splash down once the file is gone,
** while the main thread runs the application; returns once the window and
** the file are there, or when there will be none. The process's end takes
** a splash still up with it. Every failure to start the thread is silent. */
void start_splash_thread(void);

/* Creates (or truncates) the empty feedback file and marks the splash active. */
void create_splash_feedback_file(void);

/* Returns whether the splash is still up; destroys it once the feedback file
** is gone, when the calling thread owns it (another thread only learns
** whether it is up). */
bool poll_splash_feedback(void);

/* Deletes the feedback file, if one was made; any thread, at the end. */
void remove_splash_feedback_file(void);

/* Deletes the feedback file of the fresh start that QALVEN_ONEFILE_PARENT
** names (the {PID} of a re-launched copy), which takes its splash down;
** silent when there is none. */
void end_parents_splash(void);

#endif
