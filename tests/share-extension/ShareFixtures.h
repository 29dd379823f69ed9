#pragma once
// Pictures of each kind as bytes, made here (GIF and HEIC as the smallest
// files their signatures allow), and a run of the built vellora-share.

#include "ProgramRunner.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace fixtures {

inline QByteArray encoded(const char *format, QColor colour = Qt::red, QSize size = QSize(40, 30))
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

inline QByteArray gifBytes()
{
    return QByteArray::fromHex("47494638396101000100800000000000ffffff21f90401000000002c00000000010001000002024401003b");
}

inline QByteArray heicBytes()
{
    return QByteArray::fromHex("000000186674797068656963000000006d69663168656963") + QByteArray(64, '\0');
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Drop names: an upper-case UUID and the suffix.
inline bool isDropName(const QString &name, const QString &suffix)
{
    static const QRegularExpression uuid(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"));
    return uuid.match(name).hasMatch() && name.size() == 36 + suffix.size() && name.endsWith(suffix);
}

using ShareRun = programs::Run;

// Runs vellora-share without a display in a home of its own.
inline ShareRun runShare(const QString &binary, const QString &home, const QStringList &arguments,
                         const QByteArray &input = {}, const QStringList &environment = {})
{
    programs::Options options;
    options.environment = {{"HOME", home},
                           {"XDG_CONFIG_HOME", home + "/config"},
                           {"XDG_DATA_HOME", home + "/data"},
                           {"QT_QPA_PLATFORM", "offscreen"}};
    options.unset = {"VELLORA_ROOT"};
    options.change(environment);
    options.input = input;
    return programs::run(binary, arguments, options);
}

} // namespace fixtures
