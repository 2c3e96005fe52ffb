/*
** The cache check of an executable whose own objects define none, as with
** the default unpack template (paths/default_unpack_template.cpp): never
** read for a per-run folder, and no record digest. Linked only when no
** object of the executable defines onefile_cache_check, which such an
** object defines with onefile_record_digest, so this file must define
** nothing else.
*/
#include "cached_folder/cached_folder.h"

extern "C" const unsigned long long onefile_cache_check = ONEFILE_CHECK_NAMES_AND_SIZES;

extern "C" const unsigned long long onefile_record_digest = 0;
