/*
** The cached unpack folder. A template without per-run placeholders
** (is_cached_template, format/template_syntax.h) names one folder that
** every start of one build shares and that outlives the run; the packer
** ends such a template with 16 hex digits of the attached data's hash, so
** a new build never meets an old build's files.
**
** Beside the folder lies "<folder>.lock": every process that runs from the
** folder holds it open, shared, until it ends. A start of another build
** removes the folder only after taking that file exclusively.
**
** What the driver and the clean-up call; the parts of the folder's work
** meet in cached_folder/folder_internal.h.
*/
#ifndef ONEFILE_CACHED_FOLDER_H
#define ONEFILE_CACHED_FOLDER_H

#include <wchar.h>

#include "format/onefile_format.h"

/* The cache check (ONEFILE_CHECK_*), fixed by the packer in the executable
** beside the unpack template; set alone, not a bit field. */
extern "C" const unsigned long long onefile_cache_check;

/* The digest of the only record a cached folder of this build may hold
** (format/folder_record.h), fixed by the packer beside the cache check; 0
** from a packer that recorded none. */
extern "C" const unsigned long long onefile_record_digest;

/* Creates the folder's missing ancestors and holds "<folder>.lock" open,
** shared, for the rest of the process. Retries for about 5 s while a start
** of another build holds it to remove the folder; fatal after that. */
void hold_unpack_folder_lock(void);

/* Removes the siblings of the unpack directory that older builds left and
** no process holds (names of 16 hex digits), and private folders whose
** writer has ended. Everything else in the parent is left alone. */
void remove_older_builds(void);

/* Makes the unpack directory complete and sets first_entry_path, calling
** `before_writing` before it first changes anything on disk. A complete
** folder is only read; damaged or missing files are rewritten; a missing
** folder is filled as a private sibling and renamed into place, or, when
** another start's rename came first, the winner's folder is used. The
** folder run from is held open; one that is not private to the user (see
** hold_private_directory) is fatal and never read. Fatal errors as the
** extraction's. */
void prepare_cached_folder(void (*before_writing)(void));

/* Clean-up hook, called with the work lock held: removes the private folder
** while it is still being filled, and a file that a repair was writing
** under a name of its own; nothing once in place. */
void remove_unfinished_cache_folder(void);


#endif
