/*
** The unpack template of an executable whose own objects define none: the
** per-run folder. Linked from the library only when no object of the
** executable defines onefile_unpack_template, so this file must define
** nothing else.
*/
#include "attached_data/attached_data.h"

extern "C" const wchar_t onefile_unpack_template[ONEFILE_UNPACK_TEMPLATE_CAPACITY] =
    L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
