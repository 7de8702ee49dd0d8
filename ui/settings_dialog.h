// The modeless settings dialog (resource 110) with its pages and preview.
#pragma once

#include <windows.h>

// Creates the dialog, hidden, owned by nobody; stores it in DialogHandle.
// nullptr when it cannot be created.
HWND CreateSettingsDialog();

// Destroys the dialog if one exists; DialogHandle is none afterwards.
void DestroySettingsDialog();
