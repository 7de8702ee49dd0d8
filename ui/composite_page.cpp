// The composite data path page (120): brightness, contrast, saturation and
// hue, each a slider with the value beside it, sent to the digitizer at every
// movement so the live picture follows.
#include <windows.h>

#include <commctrl.h>

#include "grabber/video_adjustments.h"
#include "settings/source_settings.h"
#include "ui/pages.h"
#include "ui/resource.h"

namespace {

struct Adjustment {
    int Slider;
    int Edit;
    uint32_t (*Get)();
    void (*Set)(uint32_t level);
    bool ColourOnly;
};

// In the order the page refreshes them.
constexpr Adjustment Adjustments[] = {
    {IDC_BRIGHTNESS_SLIDER, IDC_BRIGHTNESS_EDIT, GetBrightness, SetBrightness, false},
    {IDC_CONTRAST_SLIDER, IDC_CONTRAST_EDIT, GetContrast, SetContrast, false},
    {IDC_SATURATION_SLIDER, IDC_SATURATION_EDIT, GetSaturation, SetSaturation, true},
    {IDC_HUE_SLIDER, IDC_HUE_EDIT, GetHue, SetHue, true},
};

void Refresh(HWND page)
{
    for (const Adjustment& adjustment : Adjustments) {
        const uint32_t value = adjustment.Get();
        SetDlgItemInt(page, adjustment.Edit, value, TRUE);
        SendDlgItemMessageA(page, adjustment.Slider, TBM_SETPOS, TRUE, static_cast<LPARAM>(value));
    }
    const BOOL colour = IsColor() == 1;
    for (const Adjustment& adjustment : Adjustments) {
        if (adjustment.ColourOnly) {
            EnableWindow(GetDlgItem(page, adjustment.Edit), colour);
            EnableWindow(GetDlgItem(page, adjustment.Slider), colour);
        }
    }
}

void Init(HWND page)
{
    PlacePage(page);
    for (const Adjustment& adjustment : Adjustments) {
        SendDlgItemMessageA(page, adjustment.Slider, TBM_SETRANGE, FALSE, MAKELPARAM(0, 255));
    }
    Refresh(page);
}

// Every notification of a drag, not only the last, reaches the digitizer.
void Scroll(HWND page, HWND slider)
{
    const int id = GetDlgCtrlID(slider);
    for (const Adjustment& adjustment : Adjustments) {
        if (adjustment.Slider == id) {
            const LRESULT position = SendMessageA(slider, TBM_GETPOS, 0, 0);
            SetDlgItemInt(page, adjustment.Edit, static_cast<UINT>(position), TRUE);
            adjustment.Set(GetDlgItemInt(page, adjustment.Edit, nullptr, FALSE));
        }
    }
}

}  // namespace

INT_PTR CALLBACK CompositePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        Init(page);
        break;
    case WM_HSCROLL:
        if (lParam != 0) {
            Scroll(page, reinterpret_cast<HWND>(lParam));
        }
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_COMPOSITE_DEFAULT) {
            ApplyDefaultReferences();
            Refresh(page);
        }
        break;
    default:
        break;
    }
    return FALSE;
}
