// The program as the desktop finds it: the entry the window writes for the
// user, registered so that vellora: addresses and pictures reach it, and a
// system-wide install of the build into a temporary prefix.
#include "app/DesktopEntry.h"
#include "integration/DesktopSearch.h"

#include <QDir>
#include <QDirIterator>
#include <QImage>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace vellora;

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

struct Run {
    int status = -1;
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    Run result;
    if (!process.waitForFinished(120000))
        return result;
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QStringList tree(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next().mid(root.size() + 1);
    files.sort();
    return files;
}

} // namespace

class DesktopInstallTest : public QObject {
    Q_OBJECT

private slots:
    // The user's entry: concrete picture types GIO can match, an icon that
    // exists, and a registration that makes it the handler of vellora:.
    void userEntryIsRegistered_data()
    {
        QTest::addColumn<QByteArray>("mimeappsBefore");
        QTest::addColumn<QString>("handler");
        QTest::newRow("no defaults yet") << QByteArray() << "vellora.desktop";
        QTest::newRow("other defaults kept") << QByteArray("[Default Applications]\nimage/png=viewer.desktop\n")
                                             << "vellora.desktop";
        QTest::newRow("the user's choice stays")
            << QByteArray("[Added Associations]\ntext/plain=editor.desktop;\n\n[Default Applications]\n"
                          "x-scheme-handler/vellora=other.desktop\n")
            << "other.desktop";
    }

    void userEntryIsRegistered()
    {
        QFETCH(QByteArray, mimeappsBefore);
        QFETCH(QString, handler);
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        QDir(data + "/applications").removeRecursively();
        QFile::remove(config + "/mimeapps.list");
        if (!mimeappsBefore.isEmpty())
            QVERIFY(writeFile(config + "/mimeapps.list", mimeappsBefore));

        // GIO passes over entries whose program is not there.
        QTemporaryDir programs;
        const QString program = programs.filePath("a folder/vellora");
        QVERIFY(writeFile(program, "#!/bin/sh\n"));
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(installDesktopEntry(program));
        const QString entry = desktopEntryPath();
        QCOMPARE(entry, data + "/applications/vellora.desktop");
        const QByteArray text = readFile(entry);
        QVERIFY(text.contains("Icon=vellora\n"));
        QVERIFY(text.contains("Exec=\"" + program.toUtf8() + "\" %U\n"));
        QVERIFY(text.contains(";image/png;image/jpeg;"));
        QVERIFY(!text.contains("image/*"));
        for (int size : applicationIconSizes())
            QCOMPARE(QImage(data + QStringLiteral("/icons/hicolor/%1x%1/apps/vellora.png").arg(size)).size(),
                     QSize(size, size));
        const Run validated = run("desktop-file-validate", {entry});
        QVERIFY2(validated.status == 0 && validated.out.isEmpty(), qPrintable(validated.out + validated.err));

        const QByteArray cache = readFile(data + "/applications/mimeinfo.cache");
        QVERIFY2(cache.contains("x-scheme-handler/vellora=vellora.desktop;"), cache.constData());
        QVERIFY2(cache.contains("image/png=vellora.desktop;"), cache.constData());
        const QByteArray mimeapps = readFile(config + "/mimeapps.list");
        QVERIFY2(mimeapps.contains("x-scheme-handler/vellora=" + handler.toUtf8() + "\n"), mimeapps.constData());
        if (!mimeappsBefore.isEmpty() && handler == "vellora.desktop")
            QVERIFY2(mimeapps.contains("image/png=viewer.desktop\n"), mimeapps.constData());
        QCOMPARE(mimeapps.count("[Default Applications]"), 1);

        // What GIO (gio open, xdg-open under GNOME) asks.
        const Run gio = run("gio", {"mime", "x-scheme-handler/vellora"});
        QVERIFY2(gio.out.contains("Default application for “x-scheme-handler/vellora”: " + handler)
                     || (handler != "vellora.desktop" && gio.out.contains("vellora.desktop")),
                 qPrintable(gio.out + gio.err));

        // Unchanged: nothing written a second time.
        QVERIFY(!installDesktopEntry(program));
    }

    // `cmake --install` into a temporary prefix, or staged below DESTDIR for
    // a package: the programs, the entries, the icons and the search
    // providers' files, all naming the installed programs by their absolute
    // paths, and every one of them in the install manifest that packagers
    // and uninstalls read.
    void installIntoAPrefix_data()
    {
        QTest::addColumn<QString>("prefixBelow");
        QTest::addColumn<bool>("staged");
        QTest::newRow("into a prefix") << QString() << false;
        QTest::newRow("prefix with a space") << "a prefix" << false;
        QTest::newRow("staged for a package") << QString() << true;
    }

    void installIntoAPrefix()
    {
        QFETCH(QString, prefixBelow);
        QFETCH(bool, staged);
        QTemporaryDir folder;
        QString prefix = folder.path();
        if (!prefixBelow.isEmpty())
            prefix += "/" + prefixBelow;
        QString root = prefix;
        QProcess process;
        QStringList arguments{"--install", VELLORA_BUILD_DIR};
        if (staged) {
            // The configured prefix, below a staging folder.
            prefix = VELLORA_INSTALL_PREFIX;
            root = folder.path() + prefix;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("DESTDIR", folder.path());
            process.setProcessEnvironment(environment);
        } else {
            arguments << "--prefix" << prefix;
        }
        process.start("cmake", arguments);
        QVERIFY(process.waitForFinished(120000));
        QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
                 (process.readAllStandardOutput() + process.readAllStandardError()).constData());

        QStringList expected{
            "bin/vellora",
            "bin/vellora-cloud",
            "bin/vellora-share",
            "bin/vellora-share-status",
            "share/applications/vellora-share.desktop",
            "share/applications/vellora.desktop",
            "share/dbus-1/services/com.quendle.vellora.SearchProvider.service",
            "share/gnome-shell/search-providers/com.quendle.vellora.search-provider.ini",
            "share/krunner/dbusplugins/com.quendle.vellora.desktop",
        };
        for (int size : applicationIconSizes())
            expected << QStringLiteral("share/icons/hicolor/%1x%1/apps/vellora.png").arg(size);
        expected.sort();
        QStringList manifest =
            QString::fromUtf8(readFile(VELLORA_BUILD_DIR "/install_manifest.txt")).split('\n', Qt::SkipEmptyParts);
        manifest.sort();
        // Listed where they are in use, without the staging folder.
        QStringList listed;
        for (const QString &file : expected)
            listed << prefix + "/" + file;
        QCOMPARE(manifest, listed);
        // The desktop database's cache is the desktop's, shared with every
        // other program there, and left to the package when staged.
        if (!staged)
            expected << "share/applications/mimeinfo.cache";
        expected.sort();
        QCOMPARE(tree(root), expected);

        const QString program = prefix + "/bin/vellora";
        QCOMPARE(readFile(root + "/share/applications/vellora.desktop"), desktopEntryText(program).toUtf8());
        for (const auto &[place, text] : searchProviderFiles(program))
            QCOMPARE(readFile(root + "/share/" + place), text);
        QVERIFY(QFileInfo(root + "/bin/vellora").isExecutable());
        // The share entry starts its program by the path it was installed at,
        // whether or not that folder is on PATH.
        const QString share = prefix + "/bin/vellora-share";
        const QString shareWord = share.contains(' ') ? '"' + share + '"' : share;
        const QByteArray shareEntry = readFile(root + "/share/applications/vellora-share.desktop");
        QVERIFY2(shareEntry.contains("\nExec=" + shareWord.toUtf8() + " %U\n"), shareEntry.constData());
        QVERIFY(QFileInfo(root + "/bin/vellora-share").isExecutable());
        for (const QString &file : expected) {
            if (!file.endsWith(".desktop"))
                continue;
            const Run validated = run("desktop-file-validate", {root + "/" + file});
            QVERIFY2(validated.status == 0 && validated.out.isEmpty(), qPrintable(file + ": " + validated.out + validated.err));
        }
    }
};

QTEST_MAIN(DesktopInstallTest)
#include "tst_desktopinstall.moc"
