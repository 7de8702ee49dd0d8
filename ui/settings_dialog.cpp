#include "ui/settings_dialog.h"

#include <commctrl.h>

#include <cstdio>

#include "grabber/live_preview.h"
#include "grabber/timed_capture.h"
#include "grabber/video_adjustments.h"
#include "settings/registry.h"
#include "settings/source_settings.h"
#include "twain/allocation.h"
#include "twain/condition.h"
#include "twain/source.h"
#include "ui/pages.h"
#include "ui/resource.h"

namespace {

bool TransferHold = false;
// Shown by MSG_ENABLEDSUIONLY: the default button reads "OK" and ends the
// setup instead of announcing a transfer.
bool SettingsOnly = false;

// Sent by DestroySettingsDialog on a thread the dialog does not belong to.
constexpr UINT DestroyRequest = WM_APP + 1;

// The controls that restart the digitizer or start grabbing; "Transfer"
// among them, since a second announcement waits for the transfers under way.
constexpr int HeldDialogControls[] = {IDC_TRANSFER, IDC_PREVIEW_BUTTON, IDC_EXTERNAL_PREVIEW, IDC_ZOOM_4_1,
                                      IDC_ZOOM_2_1, IDC_ZOOM_1_1,       IDC_ZOOM_1_2,         IDC_ZOOM_1_4};
constexpr int HeldPageControls[] = {IDC_NORM_CCIR, IDC_NORM_RS170, IDC_NORM_PAL, IDC_NORM_NTSC,
                                    IDC_INPUT_YC,  IDC_INPUT_RGB,  IDC_INPUT_CVBS};

// Disables what the hold forbids; the page's own state (inputs of a colour
// norm only) comes back when the page is built again at release.
void DisableHeldControls(HWND dialog, HWND page)
{
    for (int id : HeldDialogControls) {
        EnableWindow(GetDlgItem(dialog, id), FALSE);
    }
    for (int id : HeldPageControls) {
        HWND control = page != nullptr ? GetDlgItem(page, id) : nullptr;
        if (control != nullptr) {
            EnableWindow(control, FALSE);
        }
    }
}

struct ZoomButton {
    int Id;
    int32_t Zoom;
};
constexpr ZoomButton ZoomButtons[] = {
    {IDC_ZOOM_4_1, 4}, {IDC_ZOOM_2_1, 2}, {IDC_ZOOM_1_1, 1}, {IDC_ZOOM_1_2, -2}, {IDC_ZOOM_1_4, -4},
};

void InitDialog(HWND dialog)
{
    // Without its state the dialog is not made: CreateSettingsDialog sees it.
    auto* state = NewObject<PageState>();
    if (state == nullptr) {
        return;
    }
    SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));

    state->TabControl = GetDlgItem(dialog, IDC_TABS);
    const char* const captions[] = {"A/D Setting", "Video Norm"};
    for (int index = 0; index < 2; ++index) {
        TCITEMA item = {};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<char*>(captions[index]);
        SendMessageA(state->TabControl, TCM_INSERTITEMA, index, reinterpret_cast<LPARAM>(&item));
    }
    const RECT frame = ScreenRect(dialog);
    const RECT tabs = ScreenRect(state->TabControl);
    state->PageX = tabs.left - frame.left;
    state->PageY = tabs.top - frame.top + 8;

    SetDlgItemTextA(dialog, IDC_BOARD_TYPE, GetBoardName());
    char memory[32];
    std::snprintf(memory, sizeof memory, "%lu kB", static_cast<unsigned long>(GetGrabberMemoryKb()));
    SetDlgItemTextA(dialog, IDC_GRAB_MEMORY, memory);

    SwitchPage(dialog);

    const int32_t zoom = GetDispZoom();
    for (const ZoomButton& button : ZoomButtons) {
        if (button.Zoom == zoom) {
            CheckDlgButton(dialog, button.Id, BST_CHECKED);
            SetDispZoom(zoom);
        }
    }
    if (GetExtWindow() != 0) {
        CheckDlgButton(dialog, IDC_EXTERNAL_PREVIEW, BST_CHECKED);
    }
    ShowPreview(dialog, GetExtWindow() == 0 && (PreviewFlag(-1) & 1) != 0);
}

void KeepSettingsIfAsked(HWND dialog)
{
    if (IsDlgButtonChecked(dialog, IDC_SAVE_SETTINGS) == BST_CHECKED) {
        SaveCurrentSettings();
        CheckDlgButton(dialog, IDC_SAVE_SETTINGS, BST_UNCHECKED);
    }
}

// "OK" of the settings-only dialog: the settings stay as the user left them
// (saved when asked), and the application hears that the setup is done.
void EndSetup(HWND dialog)
{
    KeepSettingsIfAsked(dialog);
    MilStartLive(0);
    NotifyCloseDsOk();
    // A modeless dialog only hides here; MSG_CLOSEDS destroys it.
    if (IsWindow(dialog)) {
        ShowWindow(dialog, SW_HIDE);
    }
}

void Transfer(HWND dialog)
{
    // Enter reaches the default button even when it is disabled. While
    // transfers run, a second announcement would skip the end of the one
    // under way (state 7 back to 6).
    if (!IsWindowEnabled(GetDlgItem(dialog, IDC_TRANSFER)) || TransferHold) {
        return;
    }
    // A settings-only dialog never announces a transfer.
    if (SettingsOnly) {
        EndSetup(dialog);
        return;
    }
    KeepSettingsIfAsked(dialog);
    if (!AnnounceTransfers()) {
        ReportCondition("General failure in response to Transfer.  ", TWCC_LOWMEMORY);
    }
}

void Cancel(HWND dialog)
{
    MilStartLive(0);
    NotifyCloseDsRequest();
    // A modeless dialog only hides here; MSG_CLOSEDS destroys it.
    if (IsWindow(dialog)) {
        ShowWindow(dialog, SW_HIDE);
    }
}

void Command(HWND dialog, int id)
{
    // A message sent to a disabled control still arrives here.
    if (TransferHold) {
        for (int held : HeldDialogControls) {
            if (held == id) {
                return;
            }
        }
    }
    switch (id) {
    case IDC_TRANSFER:
        Transfer(dialog);
        return;
    case IDC_CANCEL:
        Cancel(dialog);
        return;
    case IDC_PREVIEW_BUTTON:
        ShowPreview(dialog, 1 - static_cast<int>(MilSelectDisplay(-1, nullptr)));
        return;
    case IDC_EXTERNAL_PREVIEW:
        ShowPreview(dialog, 0);
        SetExtWindow(IsDlgButtonChecked(dialog, IDC_EXTERNAL_PREVIEW) == BST_CHECKED ? 1 : 0);
        return;
    default:
        break;
    }
    for (const ZoomButton& button : ZoomButtons) {
        if (button.Id == id) {
            ShowPreview(dialog, 0);
            SetDispZoom(button.Zoom);
        }
    }
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case DestroyRequest:
        DestroyWindow(dialog);
        return TRUE;
    case WM_INITDIALOG:
        InitDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        if (GetPageState(dialog) != nullptr) {
            Command(dialog, LOWORD(wParam));
        }
        return TRUE;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom == IDC_TABS && header->code == TCN_SELCHANGE && GetPageState(dialog) != nullptr) {
            SwitchPage(dialog);
        }
        return TRUE;
    }
    case WM_CLOSE:
        if (GetPageState(dialog) != nullptr) {
            ShowPreview(dialog, 0);
            NotifyCloseDsRequest();
        }
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

HWND CreateSettingsDialog()
{
    // The template's tab control and the pages' trackbars need their classes
    // before the dialog manager creates them.
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_TAB_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&classes);
    SettingsOnly = false;
    DialogHandle = CreateDialogParamA(ModuleHandle, MAKEINTRESOURCEA(IDD_SETTINGS), nullptr, SettingsDialogProc, 0);
    if (DialogHandle != nullptr && GetPageState(DialogHandle) == nullptr) {
        DestroyWindow(DialogHandle);
        DialogHandle = nullptr;
    }
    return DialogHandle;
}

void MakeSettingsOnly()
{
    SettingsOnly = true;
    if (DialogHandle != nullptr) {
        SetDlgItemTextA(DialogHandle, IDC_TRANSFER, "OK");
    }
}

void DestroySettingsDialog()
{
    TransferHold = false;
    HWND dialog = DialogHandle;
    if (dialog == nullptr) {
        return;
    }
    DialogHandle = nullptr;
    // The library draws into the preview area from its own thread: it must
    // let go of the window before the window goes. The stored preview choice
    // stays as the user left it.
    if (MilSelectDisplay(-1, nullptr) == 1) {
        MilStartLive(0);
        MilSelectDisplay(0, nullptr);
    }
    PageState* state = GetPageState(dialog);
    // Messages that arrive while the windows go find no state.
    SetWindowLongPtrA(dialog, GWLP_USERDATA, 0);
    // Only the thread a window belongs to may destroy it: a source closed
    // from another thread has the dialog's own thread do it (the entry lock
    // lets that thread answer while it waits).
    if (GetWindowThreadProcessId(dialog, nullptr) == GetCurrentThreadId()) {
        DestroyWindow(dialog);
    } else {
        SendMessageA(dialog, DestroyRequest, 0, 0);
    }
    DeleteObject(state);
}

PageState* GetPageState(HWND dialog)
{
    if (dialog == nullptr || GetWindowLongPtrA(dialog, DWLP_DLGPROC) != reinterpret_cast<LONG_PTR>(SettingsDialogProc)) {
        return nullptr;
    }
    return reinterpret_cast<PageState*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
}

void SwitchPage(HWND dialog)
{
    PageState* state = GetPageState(dialog);
    if (state == nullptr) {
        return;
    }
    const LRESULT index = SendMessageA(state->TabControl, TCM_GETCURSEL, 0, 0);
    if (state->CurrentPage != nullptr) {
        DestroyWindow(state->CurrentPage);
        state->CurrentPage = nullptr;
    }
    int resource = IDD_VIDEO_FORMAT;
    DLGPROC procedure = VideoFormatPageProc;
    if (index == 0) {
        const bool rgb = IsRgbDataPath() != 0;
        resource = rgb ? IDD_RGB : IDD_COMPOSITE;
        procedure = rgb ? RgbPageProc : CompositePageProc;
    }
    const DLGTEMPLATE* page = LoadDialogTemplate(resource);
    if (page == nullptr) {
        return;
    }
    state->CurrentPage = CreateDialogIndirectParamA(ModuleHandle, page, dialog, procedure, 0);
    if (TransferHold) {
        DisableHeldControls(dialog, state->CurrentPage);
    }
    if (state->CurrentPage != nullptr) {
        // Above the tab control, whose display area it covers.
        SetWindowPos(state->CurrentPage, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        ShowWindow(state->CurrentPage, SW_SHOW);
    }
}

bool AnnounceTransfers()
{
    // From here until the transfers end nothing may restart the digitizer
    // or grab beside them; the application may transfer inside the notice.
    HoldDigitizerForTransfers(true);
    StartFrameClock();
    TimedCapturePlan plan;
    if (!NegotiatedCapturePlan(plan)) {
        NotifyXferReady();
        return true;
    }
    if (StartTimedCapture(plan) != 0) {
        HoldDigitizerForTransfers(false);
        return false;
    }
    return true;
}

void HoldDigitizerForTransfers(bool hold)
{
    if (hold == TransferHold) {
        return;
    }
    TransferHold = hold;
    HWND dialog = DialogHandle;
    if (hold) {
        // Stopped even without a dialog: a preview left by a disabled
        // source must not grab beside the transfers.
        if (LiveRunning != 0) {
            MilStartLive(0);
        }
        if (dialog != nullptr) {
            DisableHeldControls(dialog, GetPageState(dialog) != nullptr ? GetPageState(dialog)->CurrentPage : nullptr);
        }
        return;
    }
    if (dialog == nullptr) {
        return;
    }
    for (int id : HeldDialogControls) {
        EnableWindow(GetDlgItem(dialog, id), TRUE);
    }
    SwitchPage(dialog);
    if (MilSelectDisplay(-1, nullptr) == 1) {
        MilStartLive(1);
    }
}

bool DigitizerHeldForTransfers()
{
    return TransferHold;
}

const DLGTEMPLATE* LoadDialogTemplate(int resource)
{
    HRSRC found = FindResourceA(ModuleHandle, MAKEINTRESOURCEA(resource), MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    if (found == nullptr) {
        return nullptr;
    }
    HGLOBAL loaded = LoadResource(ModuleHandle, found);
    return loaded != nullptr ? static_cast<const DLGTEMPLATE*>(LockResource(loaded)) : nullptr;
}

void PlacePage(HWND page)
{
    const PageState* state = GetPageState(GetParent(page));
    if (state != nullptr) {
        SetWindowPos(page, nullptr, state->PageX, state->PageY, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}
