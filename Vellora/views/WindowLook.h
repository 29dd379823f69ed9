#pragma once
// The one dark look of the program: every window, dialog, menu and popup
// (the file dialog included) takes the palette of the main window, so that
// nothing opens light over the dark window.

class QApplication;
class QPalette;

namespace vellora {

// The dark palette: the window background, light text, the accent blue for
// selections, dimmed text when disabled.
QPalette windowPalette();

// Gives the application the palette and a style that follows it, and keeps
// dialogs Qt's own (the desktop's native ones would stay light). Call once,
// before the first window is made.
void applyWindowLook(QApplication &application);

} // namespace vellora
