/*
** A stand-in for the system's imaging library, WindowsCodecs.dll, as someone
** might plant it beside a downloaded executable. When loaded it leaves a file
** named after itself with ".loaded" appended; its one export has the name
** and signature that the splash uses.
*/
#include <windows.h>

#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t path[4096];
    DWORD length = GetModuleFileNameW(instance, path, 4096);
    std::wstring mark = std::wstring(path, length) + L".loaded";
    HANDLE file = CreateFileW(mark.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI WICConvertBitmapSource(const GUID *, void *, void **converted)
{
    *converted = NULL;
    return E_FAIL;
}
