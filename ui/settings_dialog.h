// The modeless settings dialog (resource 110): board information, the tab
// control hosting one settings page at a time, the zoom and preview options
// and the preview area the board library draws the live picture into.
#pragma once

#include <windows.h>

#include <cstdint>

// What the dialog knows about its pages; attached to the dialog window.
struct PageState {
    HWND TabControl;   // control 1034
    HWND CurrentPage;  // the page now shown, or none
    int32_t PageX;     // where every page sits inside the dialog
    int32_t PageY;
};

// Creates the dialog, hidden, owned by nobody; stores it in DialogHandle.
// nullptr when it cannot be created.
HWND CreateSettingsDialog();

// The dialog just created is the settings-only one (MSG_ENABLEDSUIONLY):
// its "Transfer" reads "OK", keeps the settings and tells the application
// by MSG_CLOSEDSOK; "Cancel" still sends MSG_CLOSEDSREQ.
void MakeSettingsOnly();

// Stops the preview, destroys the dialog and its page if one exists;
// DialogHandle is none afterwards.
void DestroySettingsDialog();

// The dialog's PageState; nullptr for any other window and after teardown.
PageState* GetPageState(HWND dialog);

// Shows (non-zero) or hides the live preview and sizes the dialog to match;
// remembers the choice for the next dialog.
void ShowPreview(HWND dialog, int show);

// From the transfer's announcement until the transfers end, nothing may
// restart the digitizer or grab around them: `hold` stops the live preview
// and disables the preview, zoom, norm and input controls (level sliders
// stay usable); releasing enables them again and resumes a shown preview.
void HoldDigitizerForTransfers(bool hold);
bool DigitizerHeldForTransfers();
// The transfers begin ("Transfer", or an enabling without the dialog): the
// digitizer is held for them, and the application is told at once that an
// image is ready, or, with automatic capture negotiated, once the first
// image of its schedule is held. False, with nothing held or started, when
// memory for the schedule was refused.
bool AnnounceTransfers();
// The source is disabled: the hidden dialog's preview stops grabbing and
// drawing.
void StopPreviewWhileHidden();

// Replaces the current page with the page of the selected tab.
void SwitchPage(HWND dialog);

// A dialog template of this module; valid while the module is loaded.
const DLGTEMPLATE* LoadDialogTemplate(int resource);
