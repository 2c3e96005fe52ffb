/*
** The splash screen: a layered window showing the splash image, withdrawn
** when the application deletes the splash feedback file. A fresh start makes
** the feedback file on the main thread and leaves the window to a splash
** thread of its own, which makes it, serves its messages and takes it down
** once the file is gone, while the main thread unpacks, starts the child or
** runs the application. The pixels come from the packer's pixels resource
** (ONEFILE_SPLASH_PIXELS_RESOURCE); an executable from an older packer,
** which carries only the PNG, has it decoded by the imaging library.
*/
#ifndef ONEFILE_SPLASH_SCREEN_H
#define ONEFILE_SPLASH_SCREEN_H

#include <windows.h>

#include "paths/paths.h"
#include "state/process_state.h"

/* True from the feedback file's creation until the splash is gone or will
** not show; cleared by the splash thread. */
extern volatile bool splash_active;

/* The expanded "{TEMP}\onefile_{PID}_splash_feedback.tmp". */
extern wchar_t splash_feedback_path[ONEFILE_PATH_CAPACITY];

/* When the executable carries a splash image and its feedback file could be
** made (create_splash_feedback_file), starts the splash thread, which shows
** the image centred on the primary monitor's work area, at the size the
** process's DPI awareness asks for, and polls the feedback file every 50 ms.
** Returns at once. A window that cannot be created ends the start (a fatal
** error on the splash thread); every other failure is silent. */
void start_splash_thread(void);

/* Returns once a splash that start_splash_thread began is up, or will not
** be: a fatal report waits for it, so that its line and box come after the
** splash, never under it. At once without one; on the splash thread (its
** own fatal error) it releases those who wait. */
void wait_for_splash_opening(void);

/* Waits up to timeout_ms for the splash thread to end, which it does at its
** next look (every 50 ms) once the feedback file is gone. At once without a
** splash thread, and on it. */
void wait_for_splash_end(DWORD timeout_ms);

/* Makes the feedback file, always a new file of this process's (private
** DACL): whatever plain file stands at the name is removed by handle
** without following it (remove_file_entry), then the file is created
** exclusively. Anything else there (a link, a folder) is left as it is, and
** there is no feedback file and no splash. Returns whether the file exists;
** sets splash_active then. Main thread, before the splash thread. */
bool create_splash_feedback_file(void);

/* Whether the feedback file is still there; any thread. */
bool splash_feedback_file_exists(void);

/* Removes the feedback file, if this process made it, without following a
** link that may stand at its name since (remove_file_entry, whose buffers
** it shares: the caller holds the work lock or runs alone). */
void remove_splash_feedback_file(void);

/* Removes the feedback file of the fresh start that QALVEN_ONEFILE_PARENT
** names (the {PID} of a re-launched copy) in the same way, which takes its
** splash down; silent when there is none. */
void end_parents_splash(void);

#endif
