/*
** The splash window: the splash image's premultiplied BGRA pixels handed to
** a layered popup in one UpdateLayeredWindow call, made and served by the
** splash thread. The pixels are the packer's (ONEFILE_SPLASH_PIXELS_RESOURCE),
** decompressed straight into the window's bitmap: no COM and no imaging
** library on the road. Only an executable that carries the PNG alone (an
** older packer's) decodes it through the imaging library, the packer's
** model for the pixels.
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
/* ZSTD_getFrameHeader: the decoder is linked statically. */
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "errors/errors.h"

#define SPLASH_POLL_MS 50

/* The DPI at which a picture is shown pixel for pixel. */
#define UNSCALED_DPI 96

/* Set by the splash thread once its window is up, or will never be. */
static HANDLE splash_opened;
static DWORD splash_thread_id;
/* The splash thread, for those who wait for its end. */
static HANDLE splash_thread;

/* A top-down 32-bit DIB section and its pixels; the bitmap is never
** deleted once shown: it lives as long as the process. */
struct splash_image {
    HBITMAP bitmap;
    BYTE *pixels;
    LONG width;
    LONG height;
};

typedef HRESULT (WINAPI *convert_bitmap_source_function)(REFWICPixelFormatGUID, IWICBitmapSource *,
                                                         IWICBitmapSource **);
typedef UINT (WINAPI *dpi_for_window_function)(HWND);

/* The RT_RCDATA resource `id` of the executable, or NULL. */
static const BYTE *find_splash_resource(WORD id, DWORD *size)
{
    /* The A function wants the narrow form of RT_RCDATA. */
    HRSRC resource = FindResourceA(NULL, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
    if (resource == NULL)
        return NULL;
    *size = SizeofResource(NULL, resource);
    HGLOBAL loaded = LoadResource(NULL, resource);
    return loaded != NULL ? (const BYTE *)LockResource(loaded) : NULL;
}

/* An image of width x height pixels whose content is yet to be written;
** false when the bitmap cannot be made. */
static bool make_image(LONG width, LONG height, splash_image *image)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; /* top-down, as the rows are stored */
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;

    HDC screen = GetDC(NULL);
    void *pixels = NULL;
    image->bitmap = CreateDIBSection(screen,
                                     &info,
                                     DIB_RGB_COLORS,
                                     &pixels,
                                     NULL, /* hSection */
                                     0);   /* offset */
    ReleaseDC(NULL, screen);
    image->pixels = (BYTE *)pixels;
    image->width = width;
    image->height = height;
    return image->bitmap != NULL;
}

static DWORD read_u32(const BYTE *at)
{
    return (DWORD)at[0] | (DWORD)at[1] << 8 | (DWORD)at[2] << 16 | (DWORD)at[3] << 24;
}

/* The packer's pixels: their frame, whose header agrees with theirs, and
** their size; false when there are none or their header is damaged. */
static bool find_packed_pixels(const BYTE **frame, size_t *frame_size, DWORD *width, DWORD *height)
{
    DWORD size = 0;
    const BYTE *resource = find_splash_resource(ONEFILE_SPLASH_PIXELS_RESOURCE, &size);
    if (resource == NULL || size < ONEFILE_SPLASH_PIXELS_HEADER_SIZE
        || read_u32(resource) != ONEFILE_SPLASH_PIXELS_VERSION)
        return false;
    *width = read_u32(resource + 4);
    *height = read_u32(resource + 8);
    if (*width == 0 || *height == 0 || (ULONGLONG)*width * *height > ONEFILE_SPLASH_PIXELS_LIMIT)
        return false;
    *frame = resource + ONEFILE_SPLASH_PIXELS_HEADER_SIZE;
    *frame_size = size - ONEFILE_SPLASH_PIXELS_HEADER_SIZE;
    ZSTD_frameHeader header;
    return ZSTD_getFrameHeader(&header, *frame, *frame_size) == 0 && header.frameType == ZSTD_frame
        && header.frameContentSize == (ULONGLONG)*width * *height * 4;
}

/* The packer's pixels, checked against the frame's checksum; false when
** there are none or they are damaged. Decoded by the streaming decoder
** that extraction links anyway, into the bitmap at once. */
static bool load_packed_pixels(splash_image *image)
{
    const BYTE *frame = NULL;
    size_t frame_size = 0;
    DWORD width = 0;
    DWORD height = 0;
    if (!find_packed_pixels(&frame, &frame_size, &width, &height)
        || !make_image((LONG)width, (LONG)height, image))
        return false;
    ZSTD_DCtx *decoder = ZSTD_createDCtx();
    ZSTD_inBuffer input = {frame, frame_size, 0};
    ZSTD_outBuffer output = {image->pixels, (size_t)width * height * 4, 0};
    /* 0 once the frame, its checksum checked, has ended. */
    size_t left = decoder != NULL ? ZSTD_decompressStream(decoder, &output, &input) : 1;
    ZSTD_freeDCtx(decoder);
    if (left == 0 && output.pos == output.size)
        return true;
    DeleteObject(image->bitmap);
    return false;
}

/* Whether the executable carries a splash image: the packer's pixels, or a
** resource that begins as a PNG does (whether it decodes, only the splash
** thread finds out). */
static bool has_splash_image(void)
{
    const BYTE *frame = NULL;
    size_t frame_size = 0;
    DWORD width = 0;
    DWORD height = 0;
    if (find_packed_pixels(&frame, &frame_size, &width, &height))
        return true;
    DWORD size = 0;
    const BYTE *png = find_splash_resource(ONEFILE_SPLASH_RESOURCE, &size);
    return png != NULL && size >= 8 && memcmp(png, "\x89PNG\r\n\x1a\n", 8) == 0;
}

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

/* A stream over a movable copy of the PNG resource, or NULL when there is
** none. The stream owns the copy and frees it on its last release. */
static IStream *open_png_resource(void)
{
    DWORD size = 0;
    const BYTE *bytes = find_splash_resource(ONEFILE_SPLASH_RESOURCE, &size);
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

/* The PNG through the imaging library; false when there is none or it
** cannot be decoded. Initialises COM on this thread when there is a PNG
** (*com_ready tells), so that a start without one never loads ole32. */
static bool load_png_pixels(splash_image *image, bool *com_ready)
{
    IStream *stream = open_png_resource();
    if (stream == NULL)
        return false;
    *com_ready = SUCCEEDED(CoInitialize(NULL));
    IWICBitmapSource *source = decode_png(stream);
    if (source == NULL)
        return false;
    UINT width = 0;
    UINT height = 0;
    bool loaded = SUCCEEDED(source->GetSize(&width, &height)) && width > 0 && height > 0
               && make_image((LONG)width, (LONG)height, image);
    UINT stride = width * 4;
    if (loaded && FAILED(source->CopyPixels(NULL, stride, stride * height, image->pixels))) {
        DeleteObject(image->bitmap);
        loaded = false;
    }
    source->Release();
    return loaded;
}

/* One premultiplied channel at (x, y) in 1/256 steps between four pixels,
** rounded. */
static BYTE blend(const BYTE *top_left, const BYTE *top_right, const BYTE *bottom_left,
                  const BYTE *bottom_right, UINT fraction_x, UINT fraction_y)
{
    UINT top = *top_left * (256 - fraction_x) + *top_right * fraction_x;
    UINT bottom = *bottom_left * (256 - fraction_x) + *bottom_right * fraction_x;
    return (BYTE)((top * (256 - fraction_y) + bottom * fraction_y + 32768) >> 16);
}

/* Where a target pixel's centre falls in the source, in 1/256 pixels,
** within the source's first and last pixel centres. */
static void source_position(LONG target, LONG target_size, LONG source_size, LONG *index, UINT *fraction)
{
    LONGLONG position = ((2 * (LONGLONG)target + 1) * source_size * 256 / target_size - 256) / 2;
    LONGLONG last = (LONGLONG)(source_size - 1) * 256;
    if (position < 0)
        position = 0;
    if (position > last)
        position = last;
    *index = (LONG)(position / 256);
    *fraction = (UINT)(position % 256);
}

/* The image resampled bilinearly to width x height; premultiplied pixels
** blend as they are. The original on failure. */
static splash_image scale_image(const splash_image *original, LONG width, LONG height)
{
    splash_image scaled;
    if (!make_image(width, height, &scaled))
        return *original;
    LONG stride = original->width * 4;
    for (LONG y = 0; y < height; y++) {
        LONG row = 0;
        UINT fraction_y = 0;
        source_position(y, height, original->height, &row, &fraction_y);
        const BYTE *upper = original->pixels + (size_t)row * stride;
        const BYTE *lower = row + 1 < original->height ? upper + stride : upper;
        BYTE *target = scaled.pixels + (size_t)y * width * 4;
        for (LONG x = 0; x < width; x++) {
            LONG column = 0;
            UINT fraction_x = 0;
            source_position(x, width, original->width, &column, &fraction_x);
            LONG next = column + 1 < original->width ? 4 : 0;
            for (LONG channel = 0; channel < 4; channel++) {
                LONG at = column * 4 + channel;
                *target++ = blend(upper + at, upper + at + next, lower + at, lower + at + next,
                                  fraction_x, fraction_y);
            }
        }
    }
    return scaled;
}

/* The DPI the window is drawn at, as the process's DPI awareness (its
** manifest) decides: 96 for an unaware process, whose windows the system
** stretches itself; the system's for a system-aware one; the primary
** monitor's, where the window stands, for a per-monitor-aware one. */
static UINT window_dpi(HWND window)
{
    /* Windows 10 1607 and later. */
    dpi_for_window_function dpi_for_window = (dpi_for_window_function)(void (*)(void))GetProcAddress(
        GetModuleHandleW(L"user32.dll"), "GetDpiForWindow");
    UINT dpi = dpi_for_window != NULL ? dpi_for_window(window) : 0;
    if (dpi != 0)
        return dpi;
    /* Earlier systems: the system's DPI, 96 for an unaware process. */
    HDC screen = GetDC(NULL);
    int screen_dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(NULL, screen);
    return screen_dpi > 0 ? (UINT)screen_dpi : UNSCALED_DPI;
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

/* Sizes the image for the window's DPI, so that it covers as much of the
** screen as an unaware process's stretched window would, then positions,
** sizes and fills the layered window in one call, centred on the primary
** monitor's work area whatever monitor we were started from. Its
** coordinates are those of the process's awareness, as the window's. */
static void paint_splash_window(HWND window, const splash_image *original)
{
    UINT dpi = window_dpi(window);
    splash_image image = *original;
    if (dpi != UNSCALED_DPI)
        image = scale_image(original, MulDiv(original->width, (int)dpi, UNSCALED_DPI),
                            MulDiv(original->height, (int)dpi, UNSCALED_DPI));

    POINT origin = {0, 0};
    HMONITOR monitor = MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO monitor_info = {};
    monitor_info.cbSize = sizeof monitor_info;
    GetMonitorInfoA(monitor, &monitor_info);
    POINT position = centre_in_work_area(&monitor_info.rcWork, image.width, image.height);

    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HGDIOBJ previous = SelectObject(memory, image.bitmap);
    SIZE size = {image.width, image.height};
    POINT source = {0, 0};
    BLENDFUNCTION blend_function = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA}; /* per-pixel, premultiplied alpha */
    UpdateLayeredWindow(window,
                        screen,
                        &position,
                        &size,
                        memory,
                        &source,
                        0, /* crKey: unused with ULW_ALPHA */
                        &blend_function,
                        ULW_ALPHA);
    SelectObject(memory, previous);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
}

/* Shows the splash on this thread, which then owns the window, unless the
** feedback file went before; sets splash_opened either way. Returns whether
** it initialised COM on this thread. */
static bool show_splash(void)
{
    splash_image image = {};
    bool com_ready = false;
    bool loaded = load_packed_pixels(&image) || load_png_pixels(&image, &com_ready);
    /* An application that has ended the splash already never sees it. */
    if (!loaded || !splash_feedback_file_exists()) {
        SetEvent(splash_opened);
        return com_ready;
    }

    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hCursor = LoadCursorA(NULL, MAKEINTRESOURCEA(32512) /* IDC_ARROW */);
    window_class.lpszClassName = "Splash";
    /* A failed registration shows up as a failed creation below. */
    RegisterClassA(&window_class);

    /* Created visible but empty: a layered window shows nothing until its
    ** first update. */
    HWND window = CreateWindowExA(WS_EX_LAYERED,
                                  "Splash",
                                  NULL,       /* lpWindowName */
                                  0x90000080, /* WS_POPUP | WS_VISIBLE | 0x80 */
                                  0, 0, 0, 0, /* placed and sized by the update */
                                  NULL,       /* hWndParent */
                                  NULL,       /* hMenu */
                                  NULL,       /* hInstance */
                                  NULL);      /* lpParam */
    if (window == NULL) {
        DWORD code = GetLastError();
        /* A report that waits for the splash must not wait for this one. */
        SetEvent(splash_opened);
        fatal_system_error("Error, couldn't create the splash window", code);
    }
    paint_splash_window(window, &image);
    splash_window = window;
    SetEvent(splash_opened);
    return com_ready;
}

/* Milliseconds until `deadline`, 0 once it has passed. */
static DWORD time_until(ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : (DWORD)(deadline - now);
}

/* Serves the window's messages, so that the system never marks it as not
** responding, and looks at the feedback file at once and then every 50 ms;
** destroys the window and returns once the file is gone. */
static void serve_splash_window(void)
{
    ULONGLONG next_poll = GetTickCount64();
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
        if (!splash_feedback_file_exists())
            break;
        next_poll = GetTickCount64() + SPLASH_POLL_MS;
    }
    HWND window = splash_window;
    splash_window = NULL;
    DestroyWindow(window);
}

static DWORD WINAPI splash_thread_procedure(void *)
{
    splash_thread_id = GetCurrentThreadId();
    bool com_ready = show_splash();
    if (splash_window != NULL)
        serve_splash_window();
    splash_active = false;
    /* The window is gone: the thread ends, and with it its apartment. */
    if (com_ready)
        CoUninitialize();
    return 0;
}

void start_splash_thread(void)
{
    /* Without a picture there is nothing for a thread to do. */
    if (!has_splash_image())
        return;
    /* Before the window, and before anything can start the application,
    ** which may delete the file from its first moment. */
    if (!create_splash_feedback_file())
        return;
    splash_opened = CreateEventW(NULL,    /* lpEventAttributes */
                                 TRUE,    /* bManualReset */
                                 FALSE,   /* bInitialState */
                                 NULL);   /* lpName */
    HANDLE thread = splash_opened != NULL ? CreateThread(NULL,    /* lpThreadAttributes */
                                                         0,       /* dwStackSize: the default */
                                                         splash_thread_procedure,
                                                         NULL,    /* lpParameter */
                                                         0,       /* dwCreationFlags */
                                                         NULL)    /* lpThreadId */
                                          : NULL;
    if (thread == NULL) {
        /* No splash then: nothing waits for one, and no file waits for it. */
        if (splash_opened != NULL)
            CloseHandle(splash_opened);
        splash_opened = NULL;
        remove_splash_feedback_file();
        splash_active = false;
        return;
    }
    splash_thread = thread;
}

void wait_for_splash_opening(void)
{
    if (splash_opened == NULL)
        return;
    /* The splash thread's own fatal error (a system library it cannot
    ** load): nothing more will open, and another report must not wait. */
    if (GetCurrentThreadId() == splash_thread_id)
        SetEvent(splash_opened);
    else
        WaitForSingleObject(splash_opened, INFINITE);
}

void wait_for_splash_end(DWORD timeout_ms)
{
    if (splash_thread != NULL && GetCurrentThreadId() != splash_thread_id)
        WaitForSingleObject(splash_thread, timeout_ms);
}
