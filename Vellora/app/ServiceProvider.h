#pragma once
// "Add to Vellora": other programs hand over files, links or lines of text.
// The request arrives as the bus method AddToVellora(as uris, s text) on the
// program's object path, or from "vellora --add-to-library"; either way it
// ends in importURLs into the first collection.

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace vellora {

class LibraryStore;

// The interface that carries AddToVellora, beside the others on the
// program's object path.
inline constexpr char kCaptureInterface[] = "com.quendle.vellora.Capture";

// What a request brings: the addresses in `uris` that are absolute URLs;
// when there is none, the lines of `text` that the link parser accepts, in
// order (lines end at LF, VT, FF, CR, CR LF, NEL, LS and PS; empty ones are
// skipped).
QList<QUrl> requestedURLs(const QStringList &uris, const QString &text);

// The lines of `text`, split at every line separator, empty ones dropped.
QStringList serviceLines(const QString &text);

// Runs a request against the store's first collection (see importURLs).
void addToVellora(LibraryStore &store, const QStringList &uris, const QString &text);

// The bus face of the request, exported on the program's object path under
// kCaptureInterface.
class ServiceProvider : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quendle.vellora.Capture")
public:
    explicit ServiceProvider(LibraryStore &store, QObject *parent = nullptr);
    // The application's one provider, on the shared store.
    static ServiceProvider &shared();

    // Puts this object on the session bus at the program's path; false (and
    // a line in the log) when the bus is not there or refuses.
    bool exportOnSessionBus();

public slots:
    void AddToVellora(const QStringList &uris, const QString &text);

private:
    LibraryStore &m_store;
};

} // namespace vellora
