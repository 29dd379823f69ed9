#include "DesktopEntry.h"

#include "integration/DesktopSearch.h"
#include "platform/AtomicFile.h"
#include "platform/Logging.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include "platform/AtomicFile.h"

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

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QString iconPlace(int size)
{
    return QStringLiteral("icons/hicolor/%1x%1/apps/vellora.png").arg(size);
}

const QString kSchemeType = QStringLiteral("x-scheme-handler/vellora");

} // namespace

QString desktopEntryText(const QString &program)
{
    // The scheme is the window's; GIO matches concrete types only, so the
    // pictures the import reads are named one by one. The link lists are for
    // "Add to Vellora", which file managers and the desktop offer as the action.
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Vellora\n"
                          "Comment=A library of design inspiration\n"
                          "Icon=vellora\n"
                          "Exec=%1 %U\n"
                          "Terminal=false\n"
                          "Categories=Graphics;Viewer;\n"
                          "MimeType=x-scheme-handler/vellora;image/png;image/jpeg;image/gif;image/webp;image/bmp;"
                          "image/tiff;image/heic;image/heif;text/uri-list;\n"
                          "StartupNotify=true\n"
                          "StartupWMClass=vellora\n"
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

const QList<int> &applicationIconSizes()
{
    static const QList<int> sizes{16, 24, 32, 48, 64, 128, 256, 512};
    return sizes;
}

QImage applicationIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    // A dark square with three tiles scattered on it, as the grid lays them.
    const QRectF square(s * 0.06, s * 0.06, s * 0.88, s * 0.88);
    QLinearGradient ground(square.topLeft(), square.bottomRight());
    ground.setColorAt(0, QColor(46, 52, 92));
    ground.setColorAt(1, QColor(20, 22, 38));
    painter.setPen(Qt::NoPen);
    painter.setBrush(ground);
    painter.drawRoundedRect(square, s * 0.2, s * 0.2);
    struct Tile {
        QRectF rect;
        double angle;
        QColor colour;
    };
    const Tile tiles[] = {
        {{-0.20, -0.16, 0.34, 0.30}, -9, QColor(255, 176, 92)},
        {{-0.04, -0.02, 0.30, 0.40}, 6, QColor(120, 196, 255)},
        {{-0.24, 0.06, 0.26, 0.22}, -3, QColor(236, 236, 244)},
    };
    for (const Tile &tile : tiles) {
        painter.save();
        painter.translate(s / 2, s / 2);
        painter.rotate(tile.angle);
        const QRectF r(tile.rect.x() * s, tile.rect.y() * s, tile.rect.width() * s, tile.rect.height() * s);
        painter.setBrush(tile.colour);
        painter.drawRoundedRect(r, s * 0.035, s * 0.035);
        painter.restore();
    }
    painter.end();
    return image;
}

QList<std::pair<QString, QByteArray>> desktopFiles(const QString &program)
{
    QList<std::pair<QString, QByteArray>> files;
    files.append({QStringLiteral("applications/vellora.desktop"), desktopEntryText(program).toUtf8()});
    for (int size : applicationIconSizes())
        files.append({iconPlace(size), pngBytes(applicationIcon(size))});
    files += searchProviderFiles(program);
    return files;
}

int writeDesktopFiles(const QString &dataFolder, const QString &program, QString *error)
{
    int written = 0;
    for (const auto &[place, text] : desktopFiles(program)) {
        bool wrote = false;
        if (!writeFileIfChanged(dataFolder + QLatin1Char('/') + place, text, &wrote, error))
            return -1;
        written += wrote ? 1 : 0;
    }
    return written;
}

bool registerDesktopEntry(const QString &applicationsFolder, const QString &mimeappsList)
{
    bool cached = true;
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("update-desktop-database"));
    if (!tool.isEmpty()) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(tool, {QStringLiteral("-q"), applicationsFolder});
        cached = process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
        if (!cached)
            qCWarning(lcVellora, "desktop: update-desktop-database failed on %s", qPrintable(applicationsFolder));
    }

    // A default the user chose stays; only a missing one is set.
    QFile list(mimeappsList);
    QString text;
    if (list.open(QIODevice::ReadOnly)) {
        if (list.size() > (1 << 20))
            return cached;
        text = QString::fromUtf8(list.readAll());
        list.close();
    }
    QStringList lines = text.split(QLatin1Char('\n'));
    qsizetype header = -1;
    bool inDefaults = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inDefaults = line == QLatin1String("[Default Applications]");
            if (inDefaults && header < 0)
                header = i;
            continue;
        }
        if (inDefaults && line.startsWith(kSchemeType + QLatin1Char('=')))
            return cached;
    }
    const QString entry = kSchemeType + QStringLiteral("=vellora.desktop");
    if (header >= 0) {
        lines.insert(header + 1, entry);
    } else {
        while (!lines.isEmpty() && lines.last().trimmed().isEmpty())
            lines.removeLast();
        if (!lines.isEmpty())
            lines.append(QString());
        lines << QStringLiteral("[Default Applications]") << entry << QString();
    }
    QDir().mkpath(QFileInfo(mimeappsList).absolutePath());
    try {
        writeFileAtomically(mimeappsList, lines.join(QLatin1Char('\n')).toUtf8(), Durability::Synced);
    } catch (const FileError &error) {
        qCWarning(lcVellora, "desktop: %s", qPrintable(error.description()));
    }
    return cached;
}

bool installDesktopEntry(const QString &program)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    bool wroteAny = false;
    bool wrote = false;
    if (!writeFileIfChanged(desktopEntryPath(), desktopEntryText(program).toUtf8(), &wrote, nullptr))
        return false;
    wroteAny = wrote;
    for (int size : applicationIconSizes()) {
        writeFileIfChanged(data + QLatin1Char('/') + iconPlace(size), pngBytes(applicationIcon(size)), &wrote, nullptr);
        wroteAny |= wrote;
    }
    const QString applications = QFileInfo(desktopEntryPath()).absolutePath();
    QFile cache(applications + QStringLiteral("/mimeinfo.cache"));
    const bool registered = cache.open(QIODevice::ReadOnly) && cache.size() < (1 << 22)
        && cache.readAll().contains("vellora.desktop");
    if (wroteAny || !registered) {
        const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        registerDesktopEntry(applications, config + QStringLiteral("/mimeapps.list"));
    }
    return wroteAny;
}

} // namespace vellora
