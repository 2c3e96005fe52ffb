/*
** The application: greets its arguments, prints the message that app/
** put into the folder it was unpacked into, and takes the splash down once
** it is ready. Ends with status 1 when the message cannot be read.
*/
#include <stdio.h>
#include <wchar.h>

#include <onefile.h>

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path)
{
    wchar_t path[ONEFILE_PATH_CAPACITY];
    char message[256];
    DWORD length = onefile_unpack_directory(path, ONEFILE_PATH_CAPACITY);
    FILE *file;
    int i;
    (void)library_path;
    printf("Hello");
    for (i = 1; i < argc; i++)
        wprintf(L"%ls %ls", i == 1 ? L"," : (i == argc - 1 ? L" and" : L","), argv[i]);
    printf("!\n");

    if (length == 0 || length + 13 > ONEFILE_PATH_CAPACITY) {
        fputs("not unpacked by onefile\n", stderr);
        return 1;
    }
    wcscpy(path + length, L"\\message.txt");
    file = _wfopen(path, L"r");
    if (file == NULL || fgets(message, sizeof message, file) == NULL) {
        fprintf(stderr, "cannot read %ls\n", path);
        return 1;
    }
    fclose(file);
    printf("The folder says: %s", message);
    printf("Packed: %s\n", onefile_is_packed() ? "yes" : "no");
    printf("Splash ended now: %s\n", onefile_end_splash() ? "yes" : "no");
    return 0;
}
