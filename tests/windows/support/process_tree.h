/*
** Processes seen from outside: the children of a process, found through a
** snapshot of all processes, and ending a process by its id.
*/
#ifndef ONEFILE_TEST_PROCESS_TREE_H
#define ONEFILE_TEST_PROCESS_TREE_H

#include <windows.h>

#include <string>
#include <vector>

/* Ids of the running processes whose parent id is `parent`, leaving out
** Wine's desktop process and console hosts. */
std::vector<DWORD> child_process_ids(DWORD parent);

/* Waits up to timeout_ms for a child of `parent` to appear; 0 if none did. */
DWORD wait_for_child_process(DWORD parent, DWORD timeout_ms);

/* Waits up to timeout_ms for a child of `parent` whose image file is named
** `name`; 0 if none appeared. Other children may run beside it under Wine:
** the desktop process, and a console's host. */
DWORD wait_for_child_named(DWORD parent, const std::wstring &name, DWORD timeout_ms);

/* Ends the process with `exit_code` and waits for it to be gone. */
bool terminate_process_id(DWORD id, UINT exit_code);

/* A top-level window of `window_class` that process_id owns, else NULL. */
HWND window_of(DWORD process_id, const char *window_class);

/* The bootstrap's splash window ("Splash") that process_id owns, else NULL. */
HWND splash_of(DWORD process_id);

/* Whether the process still runs. */
bool process_is_running(DWORD id);

/* Under Wine: sends SIGINT to the Unix process running the earliest started
** copy of `executable`, which Wine turns into CTRL_C_EVENT for that program
** alone. `folder`, on drive Z:, receives the helper script. */
void interrupt_windows_program(const std::wstring &folder, const std::wstring &executable);

#endif
