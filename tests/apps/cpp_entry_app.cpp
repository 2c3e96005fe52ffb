/*
** A test application library whose run_code lacks extern "C": it exports
** the function only under its C++ name, which the bootstrap cannot find.
*/
__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path)
{
    (void)argv;
    (void)library_path;
    return argc;
}
