/*
** The unpack template as the packer stored it in the executable.
*/
#include <wchar.h>

#include "paths/paths.h"
#include "errors/errors.h"

const wchar_t *unpack_template_text(void)
{
    if (wmemchr(onefile_unpack_template, L'\0', ONEFILE_UNPACK_TEMPLATE_CAPACITY) == NULL)
        abort_on_overflow("the unpack template");
    return onefile_unpack_template;
}
