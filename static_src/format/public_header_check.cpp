/*
** The public header, include/onefile/onefile.h, stays plain C on its own
** for applications and so repeats what it shares with the format header.
** Compiled with the bootstrap, this file fails the build when the two
** disagree.
*/
#include "format/onefile_format.h"

constexpr unsigned long format_path_capacity = ONEFILE_PATH_CAPACITY;
#undef ONEFILE_PATH_CAPACITY

#include "onefile/onefile.h"

/* Whether the narrow and the wide literal hold the same ASCII text. */
constexpr bool same_text(const char *narrow, const wchar_t *wide)
{
    return *narrow == '\0' ? *wide == L'\0'
                           : (wchar_t)*narrow == *wide && same_text(narrow + 1, wide + 1);
}

static_assert(ONEFILE_PATH_CAPACITY == format_path_capacity,
              "onefile.h and onefile_format.h differ in ONEFILE_PATH_CAPACITY");
static_assert(same_text(ONEFILE_FEEDBACK_FILE_PREFIX, ONEFILE_SPLASH_FEEDBACK_PREFIX)
                  && same_text(ONEFILE_FEEDBACK_FILE_SUFFIX, ONEFILE_SPLASH_FEEDBACK_SUFFIX),
              "onefile.h and onefile_format.h name the splash feedback file differently");
