// The settings pages the dialog's tab control hosts. Each is a child dialog
// created afresh at every tab change; it reads its values from the
// digitizer at initialisation and sends every change to it at once.
#pragma once

#include <windows.h>

INT_PTR CALLBACK CompositePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK RgbPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK VideoFormatPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Every page sits at the place the dialog computed, keeping its own size.
void PlacePage(HWND page);
// A window's rectangle in screen coordinates.
RECT ScreenRect(HWND window);

// Video format page: input and sync buttons in line with a format name.
void SetInputControls(HWND page, int colour, const char* format);
void SetSyncControls(HWND page, int enable);
// Restarts the digitizer in the format of the norm and the selected input.
void ChangeFormat(HWND page, int colour, const char* norm);
