// The video format page (119): the norm, for colour norms the input, and for
// the RGB input the sync source. Norm and input together name the digitizer
// format; a change restarts the digitizer, a sync change only switches its
// channel.
#include <cstring>

#include "grabber/live_preview.h"
#include "grabber/startup.h"
#include "grabber/video_adjustments.h"
#include "grabber/video_format.h"
#include "settings/source_settings.h"
#include "ui/pages.h"
#include "ui/resource.h"
#include "ui/settings_dialog.h"

namespace {

// The format the page last built or read; it must hold a whole DigFormat,
// since the digitizer start-up may write its fallback into it.
char Format[sizeof SourceSettings.DigFormat];

struct Norm {
    int Button;
    const char* Name;
    int Colour;
};
// Looked for in this order: "M_PAL" would also be found in a longer name.
constexpr Norm Norms[] = {
    {IDC_NORM_CCIR, "M_CCIR", 0},
    {IDC_NORM_RS170, "M_RS170", 0},
    {IDC_NORM_PAL, "M_PAL", 1},
    {IDC_NORM_NTSC, "M_NTSC", 1},
};

constexpr int InputControls[] = {IDC_INPUT_GROUP, IDC_INPUT_YC, IDC_INPUT_RGB, IDC_INPUT_CVBS};
constexpr int SyncControls[] = {IDC_SYNC_GROUP, IDC_SYNC_GREEN, IDC_SYNC_EXTERN};

bool Checked(HWND page, int id)
{
    return IsDlgButtonChecked(page, id) == BST_CHECKED;
}

// Selects the norm the format name contains and brings the input and sync
// buttons into line; a name with no known norm leaves the buttons alone.
void ShowFormat(HWND page)
{
    for (const Norm& norm : Norms) {
        if (std::strstr(Format, norm.Name) != nullptr) {
            CheckRadioButton(page, IDC_NORM_CCIR, IDC_NORM_NTSC, norm.Button);
            SetInputControls(page, norm.Colour, Format);
            return;
        }
    }
}

void Init(HWND page)
{
    PlacePage(page);
    CopyDigFormat(Format);
    ShowFormat(page);
}

void Command(HWND page, int id)
{
    // A click sent to a disabled button still arrives here.
    if (DigitizerHeldForTransfers() && id != IDC_SYNC_GREEN && id != IDC_SYNC_EXTERN) {
        return;
    }
    for (const Norm& norm : Norms) {
        if (norm.Button == id) {
            ChangeFormat(page, norm.Colour, norm.Name);
            return;
        }
    }
    switch (id) {
    case IDC_INPUT_YC:
    case IDC_INPUT_RGB:
    case IDC_INPUT_CVBS:
        if (Checked(page, IDC_NORM_PAL)) {
            ChangeFormat(page, 1, "M_PAL");
        } else if (Checked(page, IDC_NORM_NTSC)) {
            ChangeFormat(page, 1, "M_NTSC");
        }
        return;
    case IDC_SYNC_GREEN:
        SetChannel(SyncOnGreen);
        return;
    case IDC_SYNC_EXTERN:
        SetChannel(SyncExtern);
        return;
    default:
        return;
    }
}

}  // namespace

void SetInputControls(HWND page, int colour, const char* format)
{
    for (int id : InputControls) {
        EnableWindow(GetDlgItem(page, id), colour != 0);
    }
    if (colour == 0) {
        for (int id : InputControls) {
            CheckDlgButton(page, id, BST_UNCHECKED);
        }
        SetSyncControls(page, 0);
        return;
    }
    if (std::strstr(format, "_YC") != nullptr) {
        SetSyncControls(page, 0);
        CheckRadioButton(page, IDC_INPUT_YC, IDC_INPUT_CVBS, IDC_INPUT_YC);
    } else if (RgbInputFormat(format)) {
        SetSyncControls(page, 1);
    } else {
        SetSyncControls(page, 0);
        CheckRadioButton(page, IDC_INPUT_YC, IDC_INPUT_CVBS, IDC_INPUT_CVBS);
    }
}

void SetSyncControls(HWND page, int enable)
{
    for (int id : SyncControls) {
        EnableWindow(GetDlgItem(page, id), enable != 0);
    }
    if (enable == 0) {
        CheckDlgButton(page, IDC_SYNC_GREEN, BST_UNCHECKED);
        CheckDlgButton(page, IDC_SYNC_EXTERN, BST_UNCHECKED);
        return;
    }
    CheckRadioButton(page, IDC_INPUT_YC, IDC_INPUT_CVBS, IDC_INPUT_RGB);
    const uint32_t sync = SyncChannelInUse();
    CheckRadioButton(page, IDC_SYNC_GREEN, IDC_SYNC_EXTERN, sync == SyncExtern ? IDC_SYNC_EXTERN : IDC_SYNC_GREEN);
    SetChannel(sync);
}

void ChangeFormat(HWND page, int colour, const char* norm)
{
    MilStartLive(0);
    ShowPreview(GetParent(page), 0);
    std::strcpy(Format, norm);
    if (std::strcmp(norm, "M_CCIR") != 0 && std::strcmp(norm, "M_RS170") != 0) {
        if (Checked(page, IDC_INPUT_YC)) {
            std::strcat(Format, "_YC");
        } else if (Checked(page, IDC_INPUT_RGB)) {
            std::strcat(Format, "_RGB");
        }
    }
    struct Change {
        HWND Page;
        int Colour;
        const char* Norm;
    } change = {page, colour, norm};
    const FormatStarted started = {[](const char* running, void* context) {
                                       const auto& c = *static_cast<const Change*>(context);
                                       if (std::strncmp(running, c.Norm, std::strlen(c.Norm)) == 0) {
                                           SetInputControls(c.Page, c.Colour, running);
                                       } else {
                                           // The board refused the format and the start-up fell back
                                           // to another one: the buttons show the format that really
                                           // runs, norm included.
                                           ShowFormat(c.Page);
                                       }
                                   },
                                   &change};
    RestartDigitizer(Format, FormatRefusal::FallBack, started);
}

INT_PTR CALLBACK VideoFormatPageProc(HWND page, UINT message, WPARAM wParam, LPARAM /*lParam*/)
{
    switch (message) {
    case WM_INITDIALOG:
        Init(page);
        break;
    case WM_COMMAND:
        Command(page, LOWORD(wParam));
        break;
    default:
        break;
    }
    return FALSE;
}
