/*
** zstd's command-line tool as an application library: run_code hands its
** arguments to the tool's own main (compiled as zstd_cli_main), so the tool
** can be packed through run_code as well as with --main zstd.exe.
*/
#include <windows.h>
#include <stdlib.h>

int zstd_cli_main(int argc, const char **argv);

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path)
{
    (void)library_path;
    /* In the code page the tool's own main gets its arguments in. */
    const char **narrow = calloc((size_t)argc + 1, sizeof *narrow);
    if (narrow == NULL)
        return 1;
    for (int i = 0; i < argc; i++) {
        int size = WideCharToMultiByte(CP_ACP, 0, argv[i], -1, NULL, 0, NULL, NULL);
        char *argument = malloc(size > 0 ? (size_t)size : 1);
        if (argument == NULL)
            return 1;
        argument[0] = '\0';
        WideCharToMultiByte(CP_ACP, 0, argv[i], -1, argument, size, NULL, NULL);
        narrow[i] = argument;
    }
    return zstd_cli_main(argc, narrow);
}
