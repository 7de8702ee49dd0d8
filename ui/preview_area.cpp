// The dialog's live picture: the preview area below the settings, grown to
// the zoomed image, or the library's own window.
#include "ui/settings_dialog.h"

#include "grabber/live_preview.h"
#include "settings/source_settings.h"
#include "ui/pages.h"
#include "ui/resource.h"

namespace {

// Measured on the first show or hide after the module is loaded and reused by
// every later dialog, so a dialog opened with the preview shown still knows
// its collapsed size.
struct PreviewGeometry {
    bool Measured;
    int CollapsedWidth;
    int CollapsedHeight;
    int PreviewTop;
};
PreviewGeometry Geometry = {};

void MeasureGeometry(HWND dialog)
{
    const RECT frame = ScreenRect(dialog);
    const RECT marker = ScreenRect(GetDlgItem(dialog, IDC_COLLAPSE_MARKER));
    Geometry.CollapsedWidth = frame.right - frame.left;
    Geometry.CollapsedHeight = marker.bottom - frame.top;
    Geometry.PreviewTop = Geometry.CollapsedHeight - 10;
    Geometry.Measured = true;
}

void ResizeKeepingPlace(HWND window, int width, int height)
{
    SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Grows the dialog to the zoomed image and lays the preview area and its
// frame out below the settings, centred when narrower than the dialog.
void LayOutPreview(HWND dialog)
{
    const int32_t zoom = GetDispZoom();
    const double factor = zoom >= 0 ? zoom : -1.0 / zoom;
    const int width = static_cast<int>(GetImageWidth() * factor);
    const int height = static_cast<int>(GetImageHeight() * factor);
    int dialogWidth = width + 40;
    int offset = 0;
    if (dialogWidth < Geometry.CollapsedWidth) {
        offset = (Geometry.CollapsedWidth - dialogWidth) / 2;
        dialogWidth = Geometry.CollapsedWidth;
    }
    ResizeKeepingPlace(dialog, dialogWidth, height + Geometry.CollapsedHeight + 40);
    MoveWindow(GetDlgItem(dialog, IDC_PREVIEW_AREA), offset + 15, Geometry.PreviewTop, width, height, TRUE);
    MoveWindow(GetDlgItem(dialog, IDC_PREVIEW_GROUP), offset + 5, Geometry.PreviewTop - 18, width + 23, height + 30,
               TRUE);
}

}  // namespace

RECT ScreenRect(HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

void ShowPreview(HWND dialog, int show)
{
    if (!Geometry.Measured) {
        MeasureGeometry(dialog);
    }
    if (show != 0) {
        SetDlgItemTextA(dialog, IDC_PREVIEW_BUTTON, "Hide preview window <<");
        if (IsDlgButtonChecked(dialog, IDC_EXTERNAL_PREVIEW) == BST_CHECKED) {
            MilSelectDisplay(1, nullptr);
        } else {
            LayOutPreview(dialog);
            MilSelectDisplay(1, GetDlgItem(dialog, IDC_PREVIEW_AREA));
        }
        MilStartLive(1);
    } else {
        MilStartLive(0);
        MilSelectDisplay(0, nullptr);
        ResizeKeepingPlace(dialog, Geometry.CollapsedWidth, Geometry.CollapsedHeight);
        SetDlgItemTextA(dialog, IDC_PREVIEW_BUTTON, "Show preview window >>");
    }
    PreviewFlag(show != 0 ? 1 : 0);
}

void StopPreviewWhileHidden()
{
    if (LiveRunning != 0) {
        MilStartLive(0);
    }
    MilSelectDisplay(0, nullptr);
}
