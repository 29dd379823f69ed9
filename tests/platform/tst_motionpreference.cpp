#include <platform/MotionPreference.h>

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using vellora::MotionPreference;

namespace {
void write(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

// -1: the source says nothing; 0 / 1: reduce motion off / on.
int said(std::optional<bool> value) { return value ? int(*value) : -1; }
} // namespace

// A settings portal of our own on the test's private session bus.
class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
public:
    QHash<QString, QVariant> values;

public slots:
    QDBusVariant Read(const QString &group, const QString &key)
    {
        // The portal's Read answers a variant holding the value's variant.
        return QDBusVariant(QVariant::fromValue(QDBusVariant(values.value(group + '/' + key))));
    }
};

class MotionPreferenceTest : public QObject {
    Q_OBJECT
private slots:
    void gtkSettings_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("reduce");
        QTest::newRow("animations off") << QByteArray("[Settings]\ngtk-enable-animations=0\n") << 1;
        QTest::newRow("animations off, word") << QByteArray("[Settings]\ngtk-theme-name=Adwaita\ngtk-enable-animations = false\n") << 1;
        QTest::newRow("animations on") << QByteArray("[Settings]\ngtk-enable-animations=true\n") << 0;
        QTest::newRow("not set") << QByteArray("[Settings]\ngtk-theme-name=Adwaita\n") << -1;
        QTest::newRow("other group") << QByteArray("[Other]\ngtk-enable-animations=0\n") << -1;
        QTest::newRow("unreadable value") << QByteArray("[Settings]\ngtk-enable-animations=maybe\n") << -1;
        QTest::newRow("empty") << QByteArray() << -1;
    }
    void gtkSettings()
    {
        QFETCH(QByteArray, ini);
        QFETCH(int, reduce);
        QCOMPARE(said(MotionPreference::fromGtkSettings(QString::fromUtf8(ini))), reduce);
    }

    void kdeGlobals_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("reduce");
        QTest::newRow("instant") << QByteArray("[General]\nColorScheme=Breeze\n\n[KDE]\nAnimationDurationFactor=0\n") << 1;
        QTest::newRow("slower") << QByteArray("[KDE]\nAnimationDurationFactor=2\n") << 0;
        QTest::newRow("faster") << QByteArray("[KDE]\nAnimationDurationFactor=0.25\n") << 0;
        QTest::newRow("locked key") << QByteArray("[KDE]\nAnimationDurationFactor[$i]=0\n") << 1;
        QTest::newRow("not set") << QByteArray("[KDE]\nSingleClick=false\n") << -1;
        QTest::newRow("elsewhere") << QByteArray("[General]\nAnimationDurationFactor=0\n") << -1;
    }
    void kdeGlobals()
    {
        QFETCH(QByteArray, ini);
        QFETCH(int, reduce);
        QCOMPARE(said(MotionPreference::fromKdeGlobals(QString::fromUtf8(ini))), reduce);
    }

    // The desktop's own file wins on its desktop; GTK 4's over GTK 3's.
    void filesOfTheDesktop_data()
    {
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<QByteArray>("gtk3");
        QTest::addColumn<QByteArray>("gtk4");
        QTest::addColumn<QByteArray>("kde");
        QTest::addColumn<bool>("reduce");
        const QByteArray gtkOff("[Settings]\ngtk-enable-animations=0\n"), gtkOn("[Settings]\ngtk-enable-animations=1\n");
        const QByteArray kdeOff("[KDE]\nAnimationDurationFactor=0\n"), kdeOn("[KDE]\nAnimationDurationFactor=1\n");
        QTest::newRow("nothing written") << "GNOME" << QByteArray() << QByteArray() << QByteArray() << false;
        QTest::newRow("gtk 3 off") << "GNOME" << gtkOff << QByteArray() << QByteArray() << true;
        QTest::newRow("gtk 4 on over gtk 3 off") << "GNOME" << gtkOff << gtkOn << QByteArray() << false;
        QTest::newRow("kde off on plasma") << "KDE" << gtkOn << QByteArray() << kdeOff << true;
        QTest::newRow("kde on on plasma, gtk off") << "KDE" << gtkOff << QByteArray() << kdeOn << false;
        QTest::newRow("gtk on elsewhere, kde off") << "XFCE" << gtkOn << QByteArray() << kdeOff << false;
        QTest::newRow("only kde, elsewhere") << "XFCE" << QByteArray() << QByteArray() << kdeOff << true;
    }
    void filesOfTheDesktop()
    {
        QFETCH(QString, desktop);
        QFETCH(QByteArray, gtk3);
        QFETCH(QByteArray, gtk4);
        QFETCH(QByteArray, kde);
        QFETCH(bool, reduce);
        QTemporaryDir home;
        if (!gtk3.isEmpty())
            write(home.filePath("gtk-3.0/settings.ini"), gtk3);
        if (!gtk4.isEmpty())
            write(home.filePath("gtk-4.0/settings.ini"), gtk4);
        if (!kde.isEmpty())
            write(home.filePath("kdeglobals"), kde);
        qputenv("XDG_CURRENT_DESKTOP", desktop.toUtf8());
        MotionPreference preference(nullptr, home.path(), false);
        QCOMPARE(preference.reduceMotion(), reduce);
    }

    // Run under a private session bus: the portal's answer overrides the
    // files, and a later change of the setting is reported.
    void portalAnswersAndChanges()
    {
        if (qEnvironmentVariable("VELLORA_PRIVATE_BUS") != QLatin1String("1"))
            QSKIP("needs the private session bus of its own test run");
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.isConnected());
        FakePortal portal;
        portal.values["org.gnome.desktop.interface/enable-animations"] = false;
        portal.values["org.kde.kdeglobals.KDE/AnimationDurationFactor"] = 1.0;
        QVERIFY(bus.registerObject("/org/freedesktop/portal/desktop", &portal, QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService("org.freedesktop.portal.Desktop"));

        QTemporaryDir home;
        write(home.filePath("gtk-3.0/settings.ini"), "[Settings]\ngtk-enable-animations=1\n");
        MotionPreference preference(nullptr, home.path());
        QSignalSpy changed(&preference, &MotionPreference::changed);
        QVERIFY(!preference.reduceMotion()); // the files, until the portal answers
        QTRY_VERIFY(preference.portalAnswered());
        QTRY_VERIFY(preference.reduceMotion());
        QCOMPARE(changed.count(), 1);

        QDBusMessage signal = QDBusMessage::createSignal("/org/freedesktop/portal/desktop",
                                                         "org.freedesktop.portal.Settings", "SettingChanged");
        signal << QStringLiteral("org.gnome.desktop.interface") << QStringLiteral("enable-animations")
               << QVariant::fromValue(QDBusVariant(true));
        QVERIFY(bus.send(signal));
        QTRY_COMPARE(changed.count(), 2);
        QVERIFY(!preference.reduceMotion());
        QCOMPARE(changed.last().constFirst().toBool(), false);
    }
};

QTEST_GUILESS_MAIN(MotionPreferenceTest)
#include "tst_motionpreference.moc"
