#include "DesktopEntry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace vellora {

namespace {

// The Exec key's quoting: a path with reserved characters goes in double
// quotes, with '"', '`', '$' and '\' escaped; a literal '%' is doubled.
QString execArgument(const QString &path)
{
    QString escaped;
    bool needsQuotes = false;
    for (const QChar c : path) {
        if (c == u'%') {
            escaped += QStringLiteral("%%");
            continue;
        }
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
            escaped += u'\\';
            needsQuotes = true;
        }
        if (c.isSpace() || c == u'\'' || c == u'>' || c == u'<' || c == u'~' || c == u'|' || c == u'&' || c == u';'
            || c == u'*' || c == u'?' || c == u'#' || c == u'(' || c == u')')
            needsQuotes = true;
        escaped += c;
    }
    if (!needsQuotes)
        return escaped;
    // Inside the quotes the desktop-entry rules want the backslashes of
    // the escapes doubled once more, as a string value.
    escaped.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    return u'"' + escaped + u'"';
}

} // namespace

QString desktopEntryText(const QString &program)
{
    // The scheme is the window's; the pictures and link lists are for "Add to
    // Vellora", which file managers and the desktop offer as the action.
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Vellora\n"
                          "Comment=A library of design inspiration\n"
                          "Exec=%1 %u\n"
                          "Terminal=false\n"
                          "Categories=Graphics;Viewer;\n"
                          "MimeType=x-scheme-handler/vellora;image/*;text/uri-list;\n"
                          "StartupNotify=true\n"
                          "Actions=add-to-vellora;\n"
                          "\n"
                          "[Desktop Action add-to-vellora]\n"
                          "Name=Add to Vellora\n"
                          "Exec=%1 --add-to-library %U\n")
        .arg(execArgument(program));
}

QString desktopEntryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) + QStringLiteral("/vellora.desktop");
}

bool installDesktopEntry(const QString &program)
{
    const QString path = desktopEntryPath();
    const QByteArray text = desktopEntryText(program).toUtf8();
    QFile current(path);
    if (current.open(QIODevice::ReadOnly) && current.size() < (1 << 20) && current.readAll() == text)
        return false;
    current.close();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(text);
    return file.commit();
}

} // namespace vellora
