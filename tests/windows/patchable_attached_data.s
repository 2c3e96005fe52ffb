# Attached data for a bootstrap whose data the tests replace after linking:
# a marker that they search for in the executable file, the length, and room
# for an object of up to 2 MiB; then a second marker, the unpack template
# (512 UTF-16 units), the cached folder's check and its record's digest (8
# bytes each), which tests may replace too. The regions lie in .rdata,
# which the file holds byte for byte.
    .section .rdata,"dr"
    .p2align 4
    .globl onefile_test_patch_marker
onefile_test_patch_marker:
    .ascii "ONEFILE-PATCH-ME"
    .globl onefile_attached_data_size
onefile_attached_data_size:
    .quad 0
    .p2align 4
    .globl onefile_attached_data
onefile_attached_data:
    .fill 2097152, 1, 0
    .p2align 4
    .globl onefile_test_template_marker
onefile_test_template_marker:
    .ascii "ONEFILE-TEMPLATE"
    .globl onefile_unpack_template
onefile_unpack_template:
    .string16 "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"
    .fill 1024 - (. - onefile_unpack_template), 1, 0
    .globl onefile_cache_check
onefile_cache_check:
    .quad 0
    .globl onefile_record_digest
onefile_record_digest:
    .quad 0
