/* The values that onefile-pack writes into each executable it makes from a
** template: the attached data's length, the unpack directory's template, the
** cached folder's check and its record's digest in .qvconf, and the attached
** data itself in .qvdata, the image's last section (layout.ld), which the
** packer grows to the object's length. Here .qvdata holds only a header and
** a trailer. */
#include "format/onefile_format.h"

    .section .qvconf,"dr"
    .p2align 3
    .globl onefile_attached_data_size
onefile_attached_data_size:
    .quad onefile_attached_data_end - onefile_attached_data
    .globl onefile_unpack_template
onefile_unpack_template:
    .string16 ONEFILE_DEFAULT_UNPACK_TEMPLATE
    .fill ONEFILE_UNPACK_TEMPLATE_CAPACITY * 2 - (. - onefile_unpack_template), 1, 0
    .globl onefile_cache_check
onefile_cache_check:
    .quad 0
    .globl onefile_record_digest
onefile_record_digest:
    .quad 0

    .section .qvdata,"dr"
    .p2align 4
    .globl onefile_attached_data
onefile_attached_data:
    .ascii ONEFILE_OBJECT_HEADER
    .fill 8 - ONEFILE_OBJECT_HEADER_LENGTH, 1, 0
    .quad 8
onefile_attached_data_end:
