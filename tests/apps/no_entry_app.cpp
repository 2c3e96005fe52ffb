/*
** A test application library that lacks the run_code entry point.
*/
extern "C" __declspec(dllexport) int start_application(void)
{
    return 0;
}
