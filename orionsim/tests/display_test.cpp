// Displays: the library's own window and a caller's window, with the
// frames drawn into them, zoom, title, deselection and release.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "support.h"

using namespace test;

namespace {

const char kTitle[] = "TWAIN source live preview";

void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Polls `done`, pumping this thread's messages.
bool WaitForDrawn(const std::function<bool()>& done) {
    return WaitFor(done, Pump);
}

COLORREF PixelOf(HWND hwnd, int x, int y) {
    HDC dc = GetDC(hwnd);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(hwnd, dc);
    return c;
}

// Scaled drawing may sample a neighbouring source pixel.
bool Near(COLORREF a, COLORREF b) {
    return std::abs(GetRValue(a) - GetRValue(b)) <= 2 && std::abs(GetGValue(a) - GetGValue(b)) <= 2 &&
           std::abs(GetBValue(a) - GetBValue(b)) <= 2;
}

SIZE ClientSize(HWND hwnd) {
    RECT r{};
    GetClientRect(hwnd, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

struct Scene {
    ScopedEnv env;
    Board board;
    long dig = 0, img = 0, disp = 0;
    explicit Scene(const char* format, const char* frameMs = "0", const char* pattern = "gradient")
        : env{{"ORIONSIM_FRAME_MS", frameMs}, {"ORIONSIM_PATTERN", pattern}} {
        Mil& m = Lib();
        dig = m.MdigAlloc(board.sys, 0, format, kDefault, nullptr);
        img = m.MbufAllocColor(board.sys, m.MdigInquire(dig, 1005, nullptr), m.MdigInquire(dig, 1002, nullptr),
                               m.MdigInquire(dig, 1003, nullptr), 8, kImageAttr, nullptr);
        disp = m.MdispAlloc(board.sys, kDefault, "M_DEFAULT", kDefault, nullptr);
    }
};

class Display : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(Lib().module, nullptr); }
};

TEST_F(Display, OwnWindowTitleSizeFramesAndZoom) {
    Mil& m = Lib();
    struct Case { const char* format; int w, h; COLORREF at_100_50; };
    for (Case c : {Case{"M_PAL", 768, 576, RGB(100, 50, 150)}, Case{"M_RS170", 640, 480, RGB(100, 100, 100)}}) {
        SCOPED_TRACE(c.format);
        Scene s(c.format);
        m.MdispControl(s.disp, 3119, static_cast<long>(reinterpret_cast<intptr_t>(kTitle)));
        m.MdispSelectWindow(s.disp, s.img, nullptr);
        HWND own = FindWindowA(nullptr, kTitle);
        ASSERT_NE(own, nullptr) << "the window exists when the call returns";
        EXPECT_TRUE(IsWindowVisible(own));
        EXPECT_EQ(ClientSize(own).cx, c.w);
        EXPECT_EQ(ClientSize(own).cy, c.h);
        m.MdigGrab(s.dig, s.img);
        EXPECT_TRUE(WaitForDrawn([&] { return PixelOf(own, 100, 50) == c.at_100_50; }))
            << std::hex << PixelOf(own, 100, 50);
        m.MdispZoom(s.disp, -2, -2);
        EXPECT_TRUE(WaitForDrawn([&] { return ClientSize(own).cx == c.w / 2 && ClientSize(own).cy == c.h / 2; }));
        EXPECT_TRUE(WaitForDrawn([&] { return Near(PixelOf(own, 50, 25), c.at_100_50); }));
        m.MdispControl(s.disp, 3119, static_cast<long>(reinterpret_cast<intptr_t>("renamed")));
        EXPECT_TRUE(WaitForDrawn([&] { return FindWindowA(nullptr, "renamed") == own; }));
        m.MdispDeselect(s.disp, s.img);
        EXPECT_FALSE(IsWindow(own)) << "the window is gone when the call returns";
    }
}

TEST_F(Display, SelectWithoutWindowIsTheOwnWindow) {
    Mil& m = Lib();
    Scene s("M_CCIR");
    m.MdispControl(s.disp, 3119, static_cast<long>(reinterpret_cast<intptr_t>("select test")));
    m.MdispSelect(s.disp, s.img);
    HWND own = FindWindowA(nullptr, "select test");
    EXPECT_NE(own, nullptr);
    m.MdispFree(s.disp);  // frees the display and closes its window
    EXPECT_FALSE(IsWindow(own));
}

LRESULT CALLBACK WhiteProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        FillRect(dc, &ps.rcPaint, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        EndPaint(hwnd, &ps);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

HWND CreateHostWindow() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = WhiteProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "OrionSimTestHost";
    RegisterClassA(&wc);
    HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "host", WS_POPUP | WS_VISIBLE, 0, 0, 800, 600, nullptr, nullptr,
                                wc.hInstance, nullptr);
    UpdateWindow(hwnd);
    Pump();
    return hwnd;
}

TEST_F(Display, CallersWindowGetsFramesAtItsZoomUntilDeselected) {
    Mil& m = Lib();
    Scene s("M_NTSC");
    HWND host = CreateHostWindow();
    ASSERT_NE(host, nullptr);
    const LONG_PTR original = GetWindowLongPtrW(host, GWLP_WNDPROC);
    m.MdispSelectWindow(s.disp, s.img, host);
    m.MdigGrab(s.dig, s.img);
    EXPECT_TRUE(WaitForDrawn([&] { return PixelOf(host, 10, 20) == RGB(10, 20, 30); })) << std::hex << PixelOf(host, 10, 20);
    // A repaint of the window shows the last frame rather than the window's own white.
    InvalidateRect(host, nullptr, TRUE);
    UpdateWindow(host);
    EXPECT_EQ(PixelOf(host, 10, 20), RGB(10, 20, 30));
    m.MdispZoom(s.disp, 2, 2);
    m.MdigGrab(s.dig, s.img);
    EXPECT_TRUE(WaitForDrawn([&] { return PixelOf(host, 21, 41) == RGB(10, 20, 30); }));
    m.MdispDeselect(s.disp, s.img);
    EXPECT_EQ(GetWindowLongPtrW(host, GWLP_WNDPROC), original) << "the window procedure is restored";
    EXPECT_TRUE(WaitForDrawn([&] { return PixelOf(host, 21, 41) == RGB(255, 255, 255); }));
    m.MdigGrab(s.dig, s.img);
    Pump();
    EXPECT_EQ(PixelOf(host, 21, 41), RGB(255, 255, 255)) << "no drawing after deselection";
    DestroyWindow(host);
}

TEST_F(Display, WindowDestroyedWhileSelected) {
    Mil& m = Lib();
    Scene s("M_PAL", "5", "live");
    HWND host = CreateHostWindow();
    m.MdispSelectWindow(s.disp, s.img, host);
    m.MdigGrabContinuous(s.dig, s.img);
    Sleep(30);
    DestroyWindow(host);
    Sleep(30);
    m.MdigHalt(s.dig);
    m.MdigGrab(s.dig, s.img);
    m.MdispDeselect(s.disp, s.img);
    SUCCEED();
}

TEST_F(Display, LiveFramesReachTheOwnWindowAndFreeingTheSystemClosesIt) {
    Mil& m = Lib();
    Scene s("M_PAL", "10", "live");
    m.MdispControl(s.disp, 3119, static_cast<long>(reinterpret_cast<intptr_t>(kTitle)));
    m.MdispSelectWindow(s.disp, s.img, nullptr);
    HWND own = FindWindowA(nullptr, kTitle);
    ASSERT_NE(own, nullptr);
    m.MdigGrabContinuous(s.dig, s.img);
    // The moving square's row (576 lines: rows 444 to 515).
    auto line = [&] {
        std::vector<COLORREF> v;
        for (int x = 0; x < 768; x += 6) v.push_back(PixelOf(own, x, 480));
        return v;
    };
    const auto first = line();
    EXPECT_TRUE(WaitForDrawn([&] { return line() != first; })) << "the square has moved";
    m.MsysFree(s.board.sys);
    s.board.sys = 0;
    EXPECT_FALSE(IsWindow(own));
}

}  // namespace
