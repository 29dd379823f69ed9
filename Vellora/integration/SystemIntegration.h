#pragma once
// How the program starts and ends the system integration: the desktop search
// index, the desktop's search providers and the widget snapshot.
//
// The window also refreshes the widget snapshot, with
// WidgetSnapshot::refresh(store, false) (WidgetSnapshot.h), once the library
// has loaded and whenever the number of its items changes.

namespace vellora {

// Every mode, once, before the shared store loads: the store's search-index
// hooks (SystemSearchIndex.h).
void installSystemIntegration();

// The window's start: (re)writes the files through which the desktops find
// the search provider of this executable, on a worker.
void installDesktopSearch();

// Before a headless mode ends: waits until the search index and the widget
// snapshot have written what was asked of them.
void finishSystemIntegration();

} // namespace vellora
