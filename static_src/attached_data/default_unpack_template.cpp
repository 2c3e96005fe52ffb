/*
** The unpack template of an executable whose own objects define none: the
** per-run folder, whose cache check is never read. Linked from the library
** only when no object of the executable defines onefile_unpack_template,
** onefile_cache_check and onefile_record_digest, which an executable's own
** object defines together,
** so this file must define nothing else.
*/
#include "attached_data/attached_data.h"

extern "C" const wchar_t onefile_unpack_template[ONEFILE_UNPACK_TEMPLATE_CAPACITY] =
    ONEFILE_WIDE(ONEFILE_DEFAULT_UNPACK_TEMPLATE);

extern "C" const unsigned long long onefile_cache_check = ONEFILE_CHECK_NAMES_AND_SIZES;

extern "C" const unsigned long long onefile_record_digest = 0;
