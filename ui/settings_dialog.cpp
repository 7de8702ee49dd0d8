#include "ui/settings_dialog.h"

#include "twain/source.h"

namespace {

INT_PTR CALLBACK SettingsDialogProc(HWND /*dialog*/, UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/)
{
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

}  // namespace

HWND CreateSettingsDialog()
{
    DialogHandle = CreateDialogParamA(ModuleHandle, MAKEINTRESOURCEA(110), nullptr, SettingsDialogProc, 0);
    return DialogHandle;
}

void DestroySettingsDialog()
{
    if (DialogHandle != nullptr) {
        HWND dialog = DialogHandle;
        DialogHandle = nullptr;
        DestroyWindow(dialog);
    }
}
