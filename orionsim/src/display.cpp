// Displays: drawing frames into a caller's window or into a window of the
// library's own, which lives on a thread of its own so that it stays live
// whatever the caller's thread does.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "mil.h"
#include "state.h"
#include "trace.h"

namespace orionsim {

namespace {

constexpr char kDisplayProp[] = "OrionSimDisplay";
constexpr char kOldProcProp[] = "OrionSimOldProc";
constexpr char kWindowClass[] = "OrionSimDisplayWindow";
constexpr UINT kMsgClose = WM_APP + 1;
constexpr UINT kMsgRefresh = WM_APP + 2;
constexpr long kTitleItem = 3119;

int Scaled(int size, long zoom) {
    if (zoom > 1) return size * zoom;
    if (zoom < -1) return std::max(1, size / static_cast<int>(-zoom));
    return size;
}

// Draws the display's buffer at the display's zoom, from the top left corner.
void DrawLocked(Display& d, HDC dc) {
    Buffer* b = Find(Lib().buffers, d.buffer);
    if (!b || !b->data) return;
    struct {
        BITMAPINFOHEADER h;
        RGBQUAD colors[256];
    } bmi{};
    bmi.h.biSize = sizeof bmi.h;
    bmi.h.biWidth = b->sizeX;
    bmi.h.biHeight = -b->sizeY;  // top-down
    bmi.h.biPlanes = 1;
    bmi.h.biCompression = BI_RGB;
    const void* bits = b->data;
    const size_t pixels = static_cast<size_t>(b->sizeX) * b->sizeY;
    if (b->bands == 1) {
        bmi.h.biBitCount = 8;
        bmi.h.biClrUsed = 256;
        for (int i = 0; i < 256; ++i) {
            bmi.colors[i] = RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(i), static_cast<BYTE>(i), 0};
        }
        if (b->sizeX % 4) {  // DIB rows are padded to 4 bytes
            const size_t stride = (b->sizeX + 3) & ~3;
            d.scratch.resize(stride * b->sizeY);
            for (int y = 0; y < b->sizeY; ++y) std::memcpy(&d.scratch[stride * y], b->data + static_cast<size_t>(b->sizeX) * y, b->sizeX);
            bits = d.scratch.data();
        }
    } else {
        bmi.h.biBitCount = 32;
        if (b->planar || b->layout != PixelLayout::Bgrx32) {
            d.scratch.resize(pixels * 4);
            uint8_t* out = d.scratch.data();
            if (b->planar) {
                for (size_t i = 0; i < pixels; ++i, out += 4) {
                    out[0] = b->data[2 * pixels + i], out[1] = b->data[pixels + i], out[2] = b->data[i], out[3] = 0;
                }
            } else {
                std::vector<uint8_t> rgb(pixels * 3);
                UnpackSamples(b->data, b->sizeX, b->sizeY, b->layout, rgb.data());
                for (size_t i = 0; i < pixels; ++i, out += 4) {
                    out[0] = rgb[3 * i + 2], out[1] = rgb[3 * i + 1], out[2] = rgb[3 * i], out[3] = 0;
                }
            }
            bits = d.scratch.data();
        }
    }
    SetStretchBltMode(dc, COLORONCOLOR);
    StretchDIBits(dc, 0, 0, Scaled(b->sizeX, d.zoomX), Scaled(b->sizeY, d.zoomY), 0, 0, b->sizeX, b->sizeY, bits,
                  reinterpret_cast<BITMAPINFO*>(&bmi), DIB_RGB_COLORS, SRCCOPY);
}

bool PaintDisplay(long id, HDC dc) {
    Lock lock(Lib().lock);
    Display* d = Find(Lib().displays, id);
    if (!d || !d->buffer) return false;
    DrawLocked(*d, dc);
    return true;
}

// Caller's windows are subclassed while selected, so that a repaint shows
// the last frame instead of erasing it until the next one arrives.
LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto old = reinterpret_cast<WNDPROC>(GetPropA(hwnd, kOldProcProp));
    const long id = static_cast<long>(reinterpret_cast<intptr_t>(GetPropA(hwnd, kDisplayProp)));
    if (msg == WM_PAINT && id) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        PaintDisplay(id, dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    if (msg == WM_NCDESTROY) {
        if (reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC)) == SubclassProc && old)
            SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(old));
        RemovePropA(hwnd, kDisplayProp);
        RemovePropA(hwnd, kOldProcProp);
        Lock lock(Lib().lock);
        for (auto& [_, d] : Lib().displays) {
            if (d->window == hwnd) d->window = nullptr;
        }
    }
    return old ? CallWindowProcW(old, hwnd, msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
}

void Subclass(HWND hwnd, long id) {
    SetPropA(hwnd, kDisplayProp, reinterpret_cast<HANDLE>(static_cast<intptr_t>(id)));
    if (GetPropA(hwnd, kOldProcProp)) return;  // already ours
    LONG_PTR old = SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SubclassProc));
    SetPropA(hwnd, kOldProcProp, reinterpret_cast<HANDLE>(old));
}

void Unsubclass(HWND hwnd) {
    if (!IsWindow(hwnd)) return;
    RemovePropA(hwnd, kDisplayProp);
    auto old = reinterpret_cast<WNDPROC>(GetPropA(hwnd, kOldProcProp));
    // When someone subclassed the window after us, our procedure stays in
    // its chain and just forwards.
    if (old && reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC)) == SubclassProc) {
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(old));
        RemovePropA(hwnd, kOldProcProp);
    }
    InvalidateRect(hwnd, nullptr, TRUE);
}

// --- the library's own window --------------------------------------------

RECT OwnWindowRect(const Display& d) {
    Buffer* b = Find(Lib().buffers, d.buffer);
    RECT r{0, 0, 320, 240};
    if (b) r = RECT{0, 0, Scaled(b->sizeX, d.zoomX), Scaled(b->sizeY, d.zoomY)};
    AdjustWindowRect(&r, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, FALSE);
    return r;
}

LRESULT CALLBACK OwnWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    const long id = static_cast<long>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        PaintDisplay(id, dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;  // the frame covers the client area
    case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY: {
        Lock lock(Lib().lock);
        if (Display* d = Find(Lib().displays, id); d && d->window == hwnd) d->window = nullptr;
        PostQuitMessage(0);
        return 0;
    }
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

struct OwnWindowStart {
    long display;
    std::string title;
    RECT rect;
    HANDLE ready;
};

void RunOwnWindow(const OwnWindowStart& start) {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists from here on
    WNDCLASSA wc{};
    wc.lpfnWndProc = OwnWindowProc;
    wc.hInstance = ThisModule();
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);  // fails harmlessly when already registered
    HWND hwnd = CreateWindowExA(0, kWindowClass, start.title.c_str(), WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                40, 40, start.rect.right - start.rect.left, start.rect.bottom - start.rect.top,
                                nullptr, nullptr, ThisModule(), nullptr);
    if (hwnd) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, start.display);
        Lock lock(Lib().lock);
        if (Display* d = Find(Lib().displays, start.display); d && d->ownThreadId == GetCurrentThreadId()) d->window = hwnd;
        else PostThreadMessageA(GetCurrentThreadId(), kMsgClose, 0, 0);
    }
    if (hwnd) {
        ShowWindow(hwnd, SW_SHOWNOACTIVATE);
        UpdateWindow(hwnd);
    }
    SetEvent(start.ready);
    if (!hwnd) return;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!msg.hwnd && msg.message == kMsgClose) {
            if (IsWindow(hwnd)) DestroyWindow(hwnd);
            continue;
        }
        if (!msg.hwnd && msg.message == kMsgRefresh && IsWindow(hwnd)) {
            std::string title;
            RECT r;
            {
                Lock lock(Lib().lock);
                Display* d = Find(Lib().displays, start.display);
                if (!d) continue;
                title = d->title;
                r = OwnWindowRect(*d);
            }
            SetWindowTextA(hwnd, title.c_str());
            SetWindowPos(hwnd, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            InvalidateRect(hwnd, nullptr, FALSE);
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

DWORD WINAPI OwnWindowThread(void* param) {
    {
        std::unique_ptr<OwnWindowStart> start(static_cast<OwnWindowStart*>(param));
        RunOwnWindow(*start);
    }
    FreeLibraryAndExitThread(ThisModule(), 0);
}

}  // namespace

void DetachDisplayLocked(Display& d, Pending& pending) {
    if (d.own) {
        if (d.ownThread) {
            PostThreadMessageA(d.ownThreadId, kMsgClose, 0, 0);
            pending.threads.push_back(d.ownThread);
        }
    } else if (d.window) {
        Unsubclass(d.window);
    }
    d.ownThread = nullptr;
    d.ownThreadId = 0;
    d.own = false;
    d.window = nullptr;
    d.buffer = 0;
}

void AttachDisplayLocked(Display& d, long buffer, HWND window, Pending& pending) {
    DetachDisplayLocked(d, pending);
    d.buffer = buffer;
    if (window) {
        d.window = window;
        Subclass(window, d.id);
        InvalidateRect(window, nullptr, FALSE);
        return;
    }
    d.own = true;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto* start = new OwnWindowStart{d.id, d.title, OwnWindowRect(d), ready};
    PinModule();
    DWORD tid = 0;
    HANDLE t = ready ? CreateThread(nullptr, 0, OwnWindowThread, start, CREATE_SUSPENDED, &tid) : nullptr;
    if (!t) {
        delete start;
        if (ready) CloseHandle(ready);
        FreeLibrary(ThisModule());
        return;
    }
    d.ownThread = t;
    d.ownThreadId = tid;
    ResumeThread(t);
    pending.readyEvents.push_back(ready);
}

void DrawSelectedDisplaysLocked(long buffer) {
    for (auto& [_, d] : Lib().displays) {
        if (d->buffer != buffer || !d->window) continue;
        if (HDC dc = GetDC(d->window)) {
            DrawLocked(*d, dc);
            ReleaseDC(d->window, dc);
        }
    }
}

void RefreshOwnWindowLocked(const Display& d) {
    if (d.own && d.ownThreadId) PostThreadMessageA(d.ownThreadId, kMsgRefresh, 0, 0);
}

}  // namespace orionsim

using namespace orionsim;


MIL_ID __stdcall MdispAlloc(MIL_ID sys, long num, const char* format, long initFlag, MIL_ID* id) {
    Call call(TraceLine("MdispAlloc").Int(sys).Int(num).Text(format).Int(initFlag).Pointer(id));
    Lock lock(Lib().lock);
    Library& lib = Lib();
    StoreId(id, 0);
    System* s = Find(lib.systems, sys);
    if (!s) return call.Fail(IdText("system", sys));
    if (s->config.faults & kFaultMdispAlloc) return call.Fail("the display could not be allocated (simulated fault)");
    if (num != 0 && num != kDefault) return call.Fail("no display with number " + std::to_string(num));
    if (!format) return call.Fail("no display format");
    auto d = std::make_unique<Display>();
    d->id = lib.nextId++;
    d->sys = sys;
    const long newId = d->id;
    lib.displays.emplace(newId, std::move(d));
    return StoreId(id, newId);
}

static void SelectWindow(Call& call, MIL_ID disp, MIL_ID img, HWND window) {
    Pending pending;
    {
        Lock lock(Lib().lock);
        Display* d = Find(Lib().displays, disp);
        if (!d) return (void)call.Fail(IdText("display", disp));
        Buffer* b = Find(Lib().buffers, img);
        if (!b) return (void)call.Fail(IdText("buffer", img));
        if (b->attribute & kAttrLut) return (void)call.Fail("buffer " + std::to_string(img) + " is a look-up table");
        if (window && !IsWindow(window)) return (void)call.Fail("invalid window handle");
        AttachDisplayLocked(*d, img, window, pending);
    }
    pending.Finish();  // the own window exists when the call returns
}

void __stdcall MdispSelect(MIL_ID disp, MIL_ID img) {
    Call call(TraceLine("MdispSelect").Int(disp).Int(img));
    SelectWindow(call, disp, img, nullptr);
}

void __stdcall MdispSelectWindow(MIL_ID disp, MIL_ID img, HWND window) {
    Call call(TraceLine("MdispSelectWindow").Int(disp).Int(img).Pointer(window));
    SelectWindow(call, disp, img, window);
}

void __stdcall MdispDeselect(MIL_ID disp, MIL_ID img) {
    Call call(TraceLine("MdispDeselect").Int(disp).Int(img));
    Pending pending;
    {
        Lock lock(Lib().lock);
        Display* d = Find(Lib().displays, disp);
        if (!d) return (void)call.Fail(IdText("display", disp));
        if (!d->buffer) return;  // nothing selected: nothing to do
        if (d->buffer != img)
            return (void)call.Fail("buffer " + std::to_string(img) + " is not selected on display " + std::to_string(disp));
        DetachDisplayLocked(*d, pending);
    }
    pending.Finish();  // the own window is gone when the call returns
}

void __stdcall MdispControl(MIL_ID disp, long item, long value) {
    TraceLine line("MdispControl");
    line.Int(disp).Int(item);
    // The title item carries text; everything else a number.
    if (item == kTitleItem) line.Text(reinterpret_cast<const char*>(static_cast<intptr_t>(value)));
    else line.Int(value);
    Call call(line);
    Lock lock(Lib().lock);
    Display* d = Find(Lib().displays, disp);
    if (!d) return (void)call.Fail(IdText("display", disp));
    if (item == kTitleItem) {
        const char* title = reinterpret_cast<const char*>(static_cast<intptr_t>(value));
        if (!title) return (void)call.Fail("no window title");
        d->title = title;
        RefreshOwnWindowLocked(*d);
    }
}

long __stdcall MdispInquire(MIL_ID disp, long item, void* result) {
    Call call(TraceLine("MdispInquire").Int(disp).Int(item).Pointer(result));
    Lock lock(Lib().lock);
    if (!Find(Lib().displays, disp)) call.Fail(IdText("display", disp));
    return Answer(result, 0);
}

void __stdcall MdispFree(MIL_ID disp) {
    Call call(TraceLine("MdispFree").Int(disp));
    Pending pending;
    {
        Lock lock(Lib().lock);
        Display* d = Find(Lib().displays, disp);
        if (!d) return (void)call.Fail(IdText("display", disp));
        DetachDisplayLocked(*d, pending);
        Lib().displays.erase(disp);
    }
    pending.Finish();
}

void __stdcall MdispZoom(MIL_ID disp, long xFactor, long yFactor) {
    Call call(TraceLine("MdispZoom").Int(disp).Int(xFactor).Int(yFactor));
    HWND repaint = nullptr;
    {
        Lock lock(Lib().lock);
        Display* d = Find(Lib().displays, disp);
        if (!d) return (void)call.Fail(IdText("display", disp));
        if (xFactor < -16 || xFactor > 16 || yFactor < -16 || yFactor > 16)
            return (void)call.Fail("zoom factor out of range -16..16");
        d->zoomX = xFactor == 0 ? 1 : xFactor;
        d->zoomY = yFactor == 0 ? 1 : yFactor;
        RefreshOwnWindowLocked(*d);
        if (!d->own) repaint = d->window;
    }
    if (repaint) InvalidateRect(repaint, nullptr, TRUE);
}
