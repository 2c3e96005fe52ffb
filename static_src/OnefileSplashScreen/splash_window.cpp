/*
** The splash window: the PNG in the splash resource (RT_RCDATA), decoded from memory
** to premultiplied BGRA and handed to a layered popup in one
** UpdateLayeredWindow call. The window procedure is the default one; the
** driver's message pump keeps it answering while the bootstrap waits, or,
** when the application runs in this process, the splash thread's own pump.
**
** The imaging library is not imported: it is no KnownDLL, so the system
** would look for it beside the executable first (a Downloads folder, where
** anyone may have put a file of that name). It is loaded from System32.
*/
#include <windows.h>
#include <objbase.h>
#include <initguid.h>
#include <wincodec.h>
#include <string.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "errors/errors.h"

bool com_initialized;

#define SPLASH_POLL_MS 50

/* Set by the splash thread once its window and feedback file exist, or
** will never exist. */
static HANDLE splash_opened;

typedef HRESULT (WINAPI *convert_bitmap_source_function)(REFWICPixelFormatGUID, IWICBitmapSource *,
                                                         IWICBitmapSource **);

/* WICConvertBitmapSource from System32's imaging library, or NULL. */
static convert_bitmap_source_function load_bitmap_converter(void)
{
    HMODULE codecs = LoadLibraryExW(L"WindowsCodecs.dll",
                                    NULL,                          /* hFile */
                                    LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (codecs == NULL)
        return NULL;
    return (convert_bitmap_source_function)(void (*)(void))GetProcAddress(codecs,
                                                                          "WICConvertBitmapSource");
}

/* Top-left corner that centres a width x height image in the work area;
** signed arithmetic, division truncating toward zero. */
static POINT centre_in_work_area(const RECT *work_area, LONG width, LONG height)
{
    POINT corner;
    corner.x = work_area->left + (work_area->right - work_area->left - width) / 2;
    corner.y = work_area->top + (work_area->bottom - work_area->top - height) / 2;
    return corner;
}

/* A stream over a movable copy of the splash resource, or NULL when there
** is none. The stream owns the copy and frees it on its last release. */
static IStream *open_splash_resource(void)
{
    /* The A function wants the narrow form of RT_RCDATA. */
    HRSRC resource = FindResourceA(NULL, MAKEINTRESOURCEA(ONEFILE_SPLASH_RESOURCE),
                                   MAKEINTRESOURCEA(10) /* RT_RCDATA */);
    if (resource == NULL)
        return NULL;
    DWORD size = SizeofResource(NULL, resource);
    HGLOBAL loaded = LoadResource(NULL, resource);
    if (loaded == NULL)
        return NULL;
    const void *bytes = LockResource(loaded);
    if (bytes == NULL)
        return NULL;

    /* CreateStreamOnHGlobal needs movable memory; resource memory is not. */
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == NULL)
        return NULL;
    void *copy = GlobalLock(block);
    if (copy == NULL) {
        GlobalFree(block);
        return NULL;
    }
    memcpy(copy, bytes, size);
    GlobalUnlock(block);

    IStream *stream = NULL;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE /* fDeleteOnRelease */, &stream))) {
        GlobalFree(block);
        return NULL;
    }
    return stream;
}

/* The single frame of the PNG in `stream` as 32bppPBGRA, or NULL. Releases
** the stream either way. */
static IWICBitmapSource *decode_png(IStream *stream)
{
    convert_bitmap_source_function convert_bitmap_source = load_bitmap_converter();
    if (convert_bitmap_source == NULL) {
        stream->Release();
        return NULL;
    }
    /* The PNG decoder itself rather than a factory's guess, so that nothing
    ** but PNG data is ever accepted. COM finds it by its registered full
    ** path. */
    IWICBitmapDecoder *decoder = NULL;
    if (FAILED(CoCreateInstance(CLSID_WICPngDecoder,
                                NULL,                 /* pUnkOuter */
                                CLSCTX_INPROC_SERVER,
                                IID_IWICBitmapDecoder,
                                (void **)&decoder))) {
        stream->Release();
        return NULL;
    }
    UINT frame_count = 0;
    IWICBitmapFrameDecode *frame = NULL;
    if (FAILED(decoder->Initialize(stream, WICDecodeMetadataCacheOnLoad))
        || FAILED(decoder->GetFrameCount(&frame_count))
        || frame_count != 1
        || FAILED(decoder->GetFrame(0, &frame))) {
        decoder->Release();
        stream->Release();
        return NULL;
    }

    /* Only whether a source came back counts, not the result code. */
    IWICBitmapSource *converted = NULL;
    convert_bitmap_source(GUID_WICPixelFormat32bppPBGRA, frame, &converted);
    frame->Release();
    decoder->Release();
    stream->Release();
    return converted;
}

/* A top-down 32-bit DIB section holding `image`, or NULL. Releases the image
** either way. The bitmap is never deleted: it lives as long as the process. */
static HBITMAP make_pixel_buffer(IWICBitmapSource *image)
{
    UINT width = 0;
    UINT height = 0;
    if (FAILED(image->GetSize(&width, &height)) || width == 0 || height == 0) {
        image->Release();
        return NULL;
    }

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = (LONG)width;
    info.bmiHeader.biHeight = -(LONG)height; /* top-down, as WIC delivers rows */
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;

    HDC screen = GetDC(NULL);
    void *pixels = NULL;
    HBITMAP bitmap = CreateDIBSection(screen,
                                      &info,
                                      DIB_RGB_COLORS,
                                      &pixels,
                                      NULL, /* hSection */
                                      0);   /* offset */
    ReleaseDC(NULL, screen);
    if (bitmap == NULL) {
        image->Release();
        return NULL;
    }

    UINT stride = width * 4;
    if (FAILED(image->CopyPixels(NULL, stride, stride * height, (BYTE *)pixels))) {
        DeleteObject(bitmap);
        image->Release();
        return NULL;
    }
    image->Release();
    return bitmap;
}

/* Positions, sizes and fills the layered window in one call, centred on the
** primary monitor's work area whatever monitor we were started from. */
static void paint_splash_window(HWND window, HBITMAP bitmap)
{
    BITMAP bitmap_size;
    GetObjectA(bitmap, sizeof bitmap_size, &bitmap_size);

    POINT origin = {0, 0};
    HMONITOR monitor = MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO monitor_info = {};
    monitor_info.cbSize = sizeof monitor_info;
    GetMonitorInfoA(monitor, &monitor_info);
    POINT position = centre_in_work_area(&monitor_info.rcWork, bitmap_size.bmWidth,
                                         bitmap_size.bmHeight);

    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    SIZE size = {bitmap_size.bmWidth, bitmap_size.bmHeight};
    POINT source = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA}; /* per-pixel, premultiplied alpha */
    UpdateLayeredWindow(window,
                        screen,
                        &position,
                        &size,
                        memory,
                        &source,
                        0, /* crKey: unused with ULW_ALPHA */
                        &blend,
                        ULW_ALPHA);
    SelectObject(memory, previous);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
}

/* Shows the splash and makes the feedback file, as open_splash_window
** describes, on the calling thread, which then owns the window. Returns
** whether it initialised COM on this thread. */
static bool show_splash(void)
{
    IStream *stream = open_splash_resource();
    if (stream == NULL)
        return false;
    /* Only with a picture: a start without one never loads ole32. */
    bool com_ready = SUCCEEDED(CoInitialize(NULL));
    IWICBitmapSource *image = decode_png(stream);
    if (image == NULL)
        return com_ready;
    HBITMAP bitmap = make_pixel_buffer(image);
    if (bitmap == NULL)
        return com_ready;

    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hCursor = LoadCursorA(NULL, MAKEINTRESOURCEA(32512) /* IDC_ARROW */);
    window_class.lpszClassName = "Splash";
    /* A failed registration shows up as a failed creation below. */
    RegisterClassA(&window_class);

    /* Created visible but empty: a layered window shows nothing until its
    ** first update. */
    splash_window = CreateWindowExA(WS_EX_LAYERED,
                                    "Splash",
                                    NULL,       /* lpWindowName */
                                    0x90000080, /* WS_POPUP | WS_VISIBLE | 0x80 */
                                    0, 0, 0, 0, /* placed and sized by the update */
                                    NULL,       /* hWndParent */
                                    NULL,       /* hMenu */
                                    NULL,       /* hInstance */
                                    NULL);      /* lpParam */
    if (splash_window == NULL)
        fatal_system_error("Error, couldn't create the splash window", GetLastError());
    paint_splash_window(splash_window, bitmap);

    create_splash_feedback_file();
    return com_ready;
}

void open_splash_window(void)
{
    com_initialized = show_splash();
}

/* Milliseconds until `deadline`, 0 once it has passed. */
static DWORD time_until(ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : (DWORD)(deadline - now);
}

/* Serves the window's messages, so that the system never marks it as not
** responding, and polls the feedback file every 50 ms; returns once the
** splash is gone. */
static void serve_splash_window(void)
{
    ULONGLONG next_poll = GetTickCount64() + SPLASH_POLL_MS;
    for (;;) {
        DWORD waited = MsgWaitForMultipleObjectsEx(0, NULL, time_until(next_poll), QS_ALLINPUT,
                                                   MWMO_INPUTAVAILABLE);
        if (waited == WAIT_OBJECT_0) {
            MSG message;
            while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            continue;
        }
        if (!poll_splash_feedback())
            return;
        next_poll = GetTickCount64() + SPLASH_POLL_MS;
    }
}

static DWORD WINAPI splash_thread_procedure(void *)
{
    bool com_ready = show_splash();
    SetEvent(splash_opened);
    if (splash_window != NULL)
        serve_splash_window();
    /* The window is gone: the thread ends, and with it its apartment. */
    if (com_ready)
        CoUninitialize();
    return 0;
}

void start_splash_thread(void)
{
    /* Without a picture there is nothing for a thread to do. */
    if (FindResourceA(NULL, MAKEINTRESOURCEA(ONEFILE_SPLASH_RESOURCE),
                      MAKEINTRESOURCEA(10) /* RT_RCDATA */) == NULL)
        return;
    splash_opened = CreateEventW(NULL,    /* lpEventAttributes */
                                 TRUE,    /* bManualReset */
                                 FALSE,   /* bInitialState */
                                 NULL);   /* lpName */
    if (splash_opened == NULL)
        return;
    HANDLE thread = CreateThread(NULL,    /* lpThreadAttributes */
                                 0,       /* dwStackSize: the executable's default */
                                 splash_thread_procedure,
                                 NULL,    /* lpParameter */
                                 0,       /* dwCreationFlags */
                                 NULL);   /* lpThreadId */
    if (thread == NULL)
        return;
    /* The splash is up, and its feedback file made, before anything else
    ** happens: a failed template is reported over it, the check and repair
    ** of the folder run under it, and an application that deletes the file
    ** from its first moment finds one to delete. */
    HANDLE opening[2] = {splash_opened, thread};
    WaitForMultipleObjects(2, opening, FALSE /* bWaitAll */, INFINITE);
    CloseHandle(thread);
}
