// The dialog templates (XRC, ids 102, 134, 146) and the application icon
// (128), compiled into the program.
#pragma once

#include <wx/icon.h>

// Registers the XRC handlers and loads every embedded dialog template; safe
// to call more than once.
bool loadUiResources();
// The application icon, resource 128.
wxIcon loadAppIcon();
