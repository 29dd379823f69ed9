#include "DesktopSearch.h"

#include "DBusNames.h"
#include "platform/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace vellora {

namespace {

// The bus splits Exec like a shell: quote what is not plain.
QString execWord(const QString &program)
{
    static const QString plain = QStringLiteral("/._-+,=@%:");
    bool quote = false;
    for (const QChar c : program)
        quote |= !(c.isLetterOrNumber() && c.unicode() < 128) && !plain.contains(c);
    if (!quote)
        return program;
    QString quoted = program;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

QList<std::pair<QString, QByteArray>> searchProviderFiles(const QString &program)
{
    const QString service = QString::fromLatin1(kSearchProviderService);
    const QString path = QString::fromLatin1(kSearchProviderPath);

    const QByteArray busService = QStringLiteral("[D-BUS Service]\n"
                                                 "Name=%1\n"
                                                 "Exec=%2 --search-provider\n")
                                      .arg(service, execWord(program))
                                      .toUtf8();
    const QByteArray gnome = QStringLiteral("[Shell Search Provider]\n"
                                            "DesktopId=vellora.desktop\n"
                                            "BusName=%1\n"
                                            "ObjectPath=%2\n"
                                            "Version=2\n")
                                 .arg(service, path)
                                 .toUtf8();
    const QByteArray krunner = QStringLiteral("[Desktop Entry]\n"
                                              "Type=Service\n"
                                              "Name=Vellora\n"
                                              "Comment=Pictures and links in the Vellora library\n"
                                              "Icon=vellora\n"
                                              "X-KDE-ServiceTypes=Plasma/Runner\n"
                                              "X-KDE-PluginInfo-Name=com.quendle.vellora\n"
                                              "X-KDE-PluginInfo-EnabledByDefault=true\n"
                                              "X-Plasma-API=DBus\n"
                                              "X-Plasma-DBusRunner-Service=%1\n"
                                              "X-Plasma-DBusRunner-Path=%2\n")
                                   .arg(service, path)
                                   .toUtf8();
    return {
        {QStringLiteral("dbus-1/services/") + service + QStringLiteral(".service"), busService},
        {QStringLiteral("gnome-shell/search-providers/com.quendle.vellora.search-provider.ini"), gnome},
        {QStringLiteral("krunner/dbusplugins/com.quendle.vellora.desktop"), krunner},
    };
}

bool installSearchProviderFiles(const QString &program, QString *error)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    for (const auto &[place, text] : searchProviderFiles(program))
        if (!writeFileIfChanged(data + QLatin1Char('/') + place, text, nullptr, error))
            return false;
    return true;
}

} // namespace vellora
