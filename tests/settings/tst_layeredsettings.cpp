#include "layeredsettings.h"
#include "sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QtTest>

using veltor::system::LayeredSettings;
using veltor::system::SettingsSource;
namespace vs = veltor::system;

Q_DECLARE_METATYPE(SettingsSource)

namespace {
const QString organization = QStringLiteral("Veltor");
const QString key = QStringLiteral("ch.veltor.kavo-service.system/convertToKeyEvent");
const QString otherKey = QStringLiteral("ch.veltor.kavo-service.system/other");
}

class tst_LayeredSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void precedence_data();
    void precedence();
    void rereadOnConstruction();

private:
    QString applicationDirFile() const;
    QString configurationDirFile() const;
    QString scopeFile(const QString &scopeDir) const;
    static void writeIni(const QString &fileName, const QString &key, const QString &value);

    Sandbox sandbox;
    QString name;
    int row = 0;
};

void tst_LayeredSettings::initTestCase()
{
    // Never the real XDG folders, nor a machine-wide configuration directory;
    // and the override file of the application paths, in the current folder,
    // away from the file next to the executable, which would be the same file.
    sandbox.enter();
    QCoreApplication::setOrganizationName(organization);
}

void tst_LayeredSettings::init()
{
    // A fresh name per case keeps files and QSettings' own cache of one case
    // out of the next.
    name = QStringLiteral("tst-layeredsettings-%1-%2").arg(QCoreApplication::applicationPid()).arg(++row);
    QCoreApplication::setApplicationName(name);
}

void tst_LayeredSettings::cleanup()
{
    QFile::remove(applicationDirFile());
}

QString tst_LayeredSettings::applicationDirFile() const
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(name + ".ini");
}

QString tst_LayeredSettings::configurationDirFile() const
{
    return sandbox.path(QStringLiteral("programdata/%1/%2/configuration/%2.ini").arg(organization, name));
}

QString tst_LayeredSettings::scopeFile(const QString &scopeDir) const
{
    return sandbox.path(QStringLiteral("%1/%2/%3.ini").arg(scopeDir, organization, name));
}

void tst_LayeredSettings::writeIni(const QString &fileName, const QString &key, const QString &value)
{
    QSettings settings(fileName, QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
    QCOMPARE(settings.status(), QSettings::NoError);
}

void tst_LayeredSettings::precedence_data()
{
    // A null text leaves the key out of that file; every file that is written
    // also gets an unrelated key, so that an existing file lacking the key is
    // covered too.
    QTest::addColumn<QString>("nextToExecutable");
    QTest::addColumn<QString>("machineWide");
    QTest::addColumn<QString>("configurationDir");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("organizationWide");
    QTest::addColumn<SettingsSource>("sources");
    QTest::addColumn<QVariant>("expected");

    const QString none;
    const SettingsSource all = vs::AllSources;

    QTest::addRow("no sources")
        << "a" << "m" << "c" << "u" << none << SettingsSource() << QVariant();
    QTest::addRow("no file has the key")
        << none << none << none << none << none << all << QVariant();
    QTest::addRow("user beats next to executable")
        << "a" << none << none << "u" << none << all << QVariant("u");
    QTest::addRow("machine-wide beats next to executable")
        << "a" << "m" << none << none << none << all << QVariant("m");
    QTest::addRow("configuration directory beats machine-wide")
        << none << "m" << "c" << none << none << all << QVariant("c");
    QTest::addRow("user beats configuration directory")
        << "a" << "m" << "c" << "u" << none << all << QVariant("u");
    QTest::addRow("machine-wide key survives a user file without it")
        << none << "m" << none << none << none << all << QVariant("m");
    QTest::addRow("an empty user value still overrides")
        << "a" << none << none << "" << none << all << QVariant("");
    QTest::addRow("unchosen sources are not read")
        << "a" << "m" << "c" << "u" << none
        << SettingsSource(vs::ApplicationDirectory | vs::ConfigurationDirectory) << QVariant("c");
    QTest::addRow("next to executable alone")
        << "a" << none << none << none << none << SettingsSource(vs::ApplicationDirectory) << QVariant("a");
    QTest::addRow("user scope does not fall back to machine-wide")
        << none << "m" << none << none << none << SettingsSource(vs::UserScope) << QVariant();
    QTest::addRow("user scope does not fall back over the configuration directory")
        << none << "m" << "c" << none << none << all << QVariant("c");
    QTest::addRow("organisation-wide file is not a source")
        << none << none << none << none << "o" << all << QVariant();
}

void tst_LayeredSettings::precedence()
{
    QFETCH(QString, nextToExecutable);
    QFETCH(QString, machineWide);
    QFETCH(QString, configurationDir);
    QFETCH(QString, user);
    QFETCH(QString, organizationWide);
    QFETCH(SettingsSource, sources);
    QFETCH(QVariant, expected);

    const auto write = [](const QString &fileName, const QString &value) {
        writeIni(fileName, otherKey, QStringLiteral("unrelated"));
        if (!value.isNull())
            writeIni(fileName, key, value);
    };
    write(applicationDirFile(), nextToExecutable);
    write(scopeFile("system"), machineWide);
    write(configurationDirFile(), configurationDir);
    write(scopeFile("config"), user);
    if (!organizationWide.isNull()) {
        writeIni(sandbox.path(QStringLiteral("config/%1.ini").arg(organization)), key, organizationWide);
        writeIni(sandbox.path(QStringLiteral("system/%1.ini").arg(organization)), key, organizationWide);
    }

    const LayeredSettings settings(organization, name, sources);
    QCOMPARE(settings.value(key), expected);
    // Keys are exact: another letter case is another key.
    QVERIFY(!settings.value(key.toLower()).isValid());
    QCOMPARE(settings.value(otherKey).isValid(), sources != SettingsSource());

    if (!organizationWide.isNull()) {
        QFile::remove(sandbox.path(QStringLiteral("config/%1.ini").arg(organization)));
        QFile::remove(sandbox.path(QStringLiteral("system/%1.ini").arg(organization)));
    }
}

void tst_LayeredSettings::rereadOnConstruction()
{
    // The card listener builds one per card and must see an edited file at once,
    // even a rewrite of the same size within one tick of the file's time stamp.
    const QString fileName = scopeFile("config");
    QVERIFY(QDir().mkpath(QFileInfo(fileName).path()));
    const auto edit = [&](const QByteArray &content) {
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    };

    for (int i = 0; i < 200; ++i) {
        const QString value = i % 2 ? "true" : "0000";
        edit("[ch.veltor.kavo-service.system]\nconvertToKeyEvent=" + value.toLatin1() + "\n");
        QCOMPARE(LayeredSettings(organization, name, vs::UserScope).value(key), QVariant(value));
    }

    edit("[ch.veltor.kavo-service.system]\nconvertToKeyEvent=0\nadded=1\n");
    const LayeredSettings edited(organization, name, vs::UserScope);
    QCOMPARE(edited.value(key), QVariant("0"));
    QCOMPARE(edited.value(QStringLiteral("ch.veltor.kavo-service.system/added")), QVariant("1"));

    QVERIFY(QFile::remove(fileName));
    QVERIFY(!LayeredSettings(organization, name, vs::UserScope).value(key).isValid());
}

QTEST_MAIN(tst_LayeredSettings)
#include "tst_layeredsettings.moc"
