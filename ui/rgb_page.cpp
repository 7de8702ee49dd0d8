// The RGB data path page (125): the lower (black) and upper (white)
// reference of each band, with two boxes that tie bands 1 and 2 to band 0.
#include <windows.h>

#include <commctrl.h>

#include "grabber/video_adjustments.h"
#include "settings/source_settings.h"
#include "ui/pages.h"
#include "ui/resource.h"

namespace {

struct Level {
    int Slider;
    int Edit;
    uint32_t Band;
};

// One column of the page: three bands of one reference and its lock box.
struct Column {
    Level Bands[3];
    int Lock;
    uint32_t (*Get)(uint32_t band);
    void (*Set)(uint32_t level, uint32_t band);
};

constexpr Column Lower = {
    {{IDC_LOWER0_SLIDER, IDC_LOWER0_EDIT, Band0},
     {IDC_LOWER1_SLIDER, IDC_LOWER1_EDIT, Band1},
     {IDC_LOWER2_SLIDER, IDC_LOWER2_EDIT, Band2}},
    IDC_LOCK_LOWER, GetBlackRef, SetBlackRef};
constexpr Column Upper = {
    {{IDC_UPPER0_SLIDER, IDC_UPPER0_EDIT, Band0},
     {IDC_UPPER1_SLIDER, IDC_UPPER1_EDIT, Band1},
     {IDC_UPPER2_SLIDER, IDC_UPPER2_EDIT, Band2}},
    IDC_LOCK_UPPER, GetWhiteRef, SetWhiteRef};
constexpr const Column* Columns[] = {&Lower, &Upper};

void Show(HWND page, const Level& level, uint32_t value)
{
    SetDlgItemInt(page, level.Edit, value, TRUE);
    SendDlgItemMessageA(page, level.Slider, TBM_SETPOS, TRUE, static_cast<LPARAM>(value));
}

void Refresh(HWND page)
{
    for (const Column* column : Columns) {
        for (const Level& level : column->Bands) {
            Show(page, level, column->Get(level.Band));
        }
    }
}

bool Locked(HWND page, const Column& column)
{
    return IsDlgButtonChecked(page, column.Lock) == BST_CHECKED;
}

// Ties bands 1 and 2 to band 0 on the screen only: the digitizer learns the
// tied value with the next movement of the band 0 slider.
void ApplyLock(HWND page, const Column& column)
{
    const bool locked = Locked(page, column);
    const auto value = static_cast<uint32_t>(SendDlgItemMessageA(page, column.Bands[0].Slider, TBM_GETPOS, 0, 0));
    for (int band = 1; band < 3; ++band) {
        const Level& level = column.Bands[band];
        if (locked) {
            Show(page, level, value);
        }
        EnableWindow(GetDlgItem(page, level.Edit), !locked);
        EnableWindow(GetDlgItem(page, level.Slider), !locked);
    }
}

void Init(HWND page)
{
    PlacePage(page);
    for (const Column* column : Columns) {
        for (const Level& level : column->Bands) {
            SendDlgItemMessageA(page, level.Slider, TBM_SETRANGE, FALSE, MAKELPARAM(0, 255));
        }
    }
    // A monochrome board has one band to set: both columns stay tied to it.
    if (IsColor() == 0) {
        CheckDlgButton(page, IDC_LOCK_LOWER, BST_CHECKED);
        CheckDlgButton(page, IDC_LOCK_UPPER, BST_CHECKED);
        ApplyLock(page, Upper);
        ApplyLock(page, Lower);
        EnableWindow(GetDlgItem(page, IDC_LOCK_LOWER), FALSE);
        EnableWindow(GetDlgItem(page, IDC_LOCK_UPPER), FALSE);
    }
    Refresh(page);
}

void Scroll(HWND page, HWND slider)
{
    const int id = GetDlgCtrlID(slider);
    const auto value = static_cast<uint32_t>(SendMessageA(slider, TBM_GETPOS, 0, 0));
    for (const Column* column : Columns) {
        for (int band = 0; band < 3; ++band) {
            const Level& level = column->Bands[band];
            if (level.Slider != id) {
                continue;
            }
            SetDlgItemInt(page, level.Edit, value, TRUE);
            column->Set(value, level.Band);
            if (band == 0 && Locked(page, *column)) {
                for (int tied = 1; tied < 3; ++tied) {
                    Show(page, column->Bands[tied], value);
                    column->Set(value, column->Bands[tied].Band);
                }
            }
        }
    }
}

}  // namespace

INT_PTR CALLBACK RgbPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
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
        switch (LOWORD(wParam)) {
        case IDC_RGB_DEFAULT:
            ApplyDefaultReferences();
            Refresh(page);
            break;
        case IDC_LOCK_LOWER:
            ApplyLock(page, Lower);
            break;
        case IDC_LOCK_UPPER:
            ApplyLock(page, Upper);
            break;
        default:
            break;
        }
        break;
    default:
        break;
    }
    return FALSE;
}
