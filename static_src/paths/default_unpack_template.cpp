/*
** The unpack template of an executable whose own objects define none: the
** per-run folder. Linked from the library only when no object of the
** executable defines onefile_unpack_template, so this file must define
** nothing else (cached_folder/default_cache_check.cpp is its partner).
*/
#include "paths/paths.h"

extern "C" const wchar_t onefile_unpack_template[ONEFILE_UNPACK_TEMPLATE_CAPACITY] =
    ONEFILE_WIDE(ONEFILE_DEFAULT_UNPACK_TEMPLATE);
