/*
** onefile.h in a program that was not packed: prints what the three
** functions answer, as "packed=N directory=FOLDER splash=N".
*/
#include <stdio.h>

#include <onefile.h>

int main(void)
{
    wchar_t folder[ONEFILE_PATH_CAPACITY];
    int packed = onefile_is_packed();
    onefile_unpack_directory(folder, ONEFILE_PATH_CAPACITY);
    printf("packed=%d directory=%ls splash=%d\n", packed, folder, onefile_end_splash());
    return 0;
}
