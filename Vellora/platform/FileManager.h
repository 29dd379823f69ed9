#pragma once
// Showing files in the desktop's file manager: the freedesktop call
// org.freedesktop.FileManager1.ShowItems on the session bus, which opens each
// file's folder with the file selected. Where no file manager answers it
// (no session bus, no such service, an error reply), the folder of the first
// file is opened with the desktop's default handler instead.
//
// Main thread. Never waits: the bus call is asynchronous and the fallback
// runs when its answer (or error) arrives.

#include <QList>
#include <QUrl>

#include <functional>

namespace vellora {

namespace FileManager {

// How the folder is opened when the file manager does not answer; the
// default is QDesktopServices::openUrl. Tests install their own.
using OpenFolder = std::function<void(const QUrl &folder)>;
void setOpenFolder(OpenFolder open);
// The way in use, so that whoever replaced it can put it back.
OpenFolder currentOpenFolder();

// Asks the file manager to show `files` (local file URLs; others are left
// out). `done` (optional) runs once with true when the file manager took the
// request and false when the folder was opened instead (or nothing was to do).
void showItems(const QList<QUrl> &files, std::function<void(bool shown)> done = {});

} // namespace FileManager

} // namespace vellora
