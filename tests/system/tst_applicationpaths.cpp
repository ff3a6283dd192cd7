#include <applicationpaths.h>

#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

using veltor::system::ApplicationPaths;

namespace {

int pathWarnings = 0;
QtMessageHandler previousHandler = nullptr;

void countPathWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && qstrcmp(context.category, "ch.veltor.system.applicationpaths") == 0)
        ++pathWarnings;
    previousHandler(type, context, message);
}

// Null leaves the variable unset.
void setVariable(const char *name, const QString &value)
{
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, QFile::encodeName(value));
}

} // namespace

class tst_ApplicationPaths : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void path_data();
    void path();
    void invalidArguments_data();
    void invalidArguments();

private:
    void writeOverrides(const QString &contents);
    QString expand(QString text) const;

    QTemporaryDir work; // the current directory, where the override file lives
};

void tst_ApplicationPaths::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(work.path()));
    QVERIFY(QDir().mkdir("existing"));
    QFile file(work.filePath("plain-file.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCoreApplication::setOrganizationName("Veltor");
    QCoreApplication::setApplicationName("Kavo-Test");
    previousHandler = qInstallMessageHandler(countPathWarnings);
}

void tst_ApplicationPaths::init()
{
    QFile::remove("Kavo-Test.ini");
    pathWarnings = 0;
}

void tst_ApplicationPaths::writeOverrides(const QString &contents)
{
    QFile file("Kavo-Test.ini");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(expand(contents).toUtf8());
    file.flush();
    // Settings files are cached by size and time; a fresh time per write defeats that.
    static int writes = 0;
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(++writes), QFileDevice::FileModificationTime));
}

QString tst_ApplicationPaths::expand(QString text) const
{
    return text.replace("{work}", work.path());
}

void tst_ApplicationPaths::path_data()
{
    QTest::addColumn<QString>("overrides"); // the override file; null for none
    QTest::addColumn<QString>("appData");
    QTest::addColumn<QString>("allUsersProfile");
    QTest::addColumn<QString>("xdgDataHome");
    QTest::addColumn<int>("scope");
    QTest::addColumn<int>("location");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("warns");

    const QString none;
    const int user = ApplicationPaths::User;
    const int system = ApplicationPaths::System;

    QTest::addRow("user configuration") << none << "/home/anna/roaming" << "/ProgramData" << none << user
                                        << int(ApplicationPaths::Configuration)
                                        << "/home/anna/roaming/Veltor/Kavo-Test/configuration" << false;
    QTest::addRow("system logging") << none << "/home/anna/roaming" << "/ProgramData" << none << system
                                    << int(ApplicationPaths::Logging) << "/ProgramData/Veltor/Kavo-Test/logging" << false;
    QTest::addRow("system runtime") << none << none << "/ProgramData" << none << system << int(ApplicationPaths::Runtime)
                                    << "/ProgramData/Veltor/Kavo-Test/runtime" << false;
    QTest::addRow("user update") << none << "/roaming" << none << none << user << int(ApplicationPaths::Update)
                                 << "/roaming/Veltor/Kavo-Test/update" << false;

    QTest::addRow("empty override is ignored") << "[ch.veltor.system]\npath.logging=\n" << "/roaming" << none << none
                                               << user << int(ApplicationPaths::Logging)
                                               << "/roaming/Veltor/Kavo-Test/logging" << false;
    QTest::addRow("override of another location") << "[ch.veltor.system]\npath.runtime={work}/existing\n" << "/roaming"
                                                  << none << none << user << int(ApplicationPaths::Logging)
                                                  << "/roaming/Veltor/Kavo-Test/logging" << false;
    QTest::addRow("override to a directory, verbatim") << "[ch.veltor.system]\npath.logging={work}/existing\n"
                                                       << "/roaming" << none << none << user
                                                       << int(ApplicationPaths::Logging) << "{work}/existing" << false;
    QTest::addRow("override to a file") << "[ch.veltor.system]\npath.update={work}/plain-file.txt\n" << "/roaming"
                                        << none << none << system << int(ApplicationPaths::Update)
                                        << "{work}/plain-file.txt" << true;
    QTest::addRow("override to a missing path") << "[ch.veltor.system]\npath.configuration=/no/such/dir\n"
                                                << "/roaming" << none << none << user
                                                << int(ApplicationPaths::Configuration) << "/no/such/dir" << true;
    QTest::addRow("override wins over an invalid scope") << "[ch.veltor.system]\npath.runtime={work}/existing\n"
                                                         << none << none << none << 2 << int(ApplicationPaths::Runtime)
                                                         << "{work}/existing" << false;

    // Without the variables the folders must not land at the root of the file system.
    QTest::addRow("no APPDATA: XDG data home") << none << none << none << "/xdg/data" << user
                                               << int(ApplicationPaths::Logging)
                                               << "/xdg/data/Veltor/Kavo-Test/logging" << false;
    QTest::addRow("empty APPDATA: XDG data home") << none << "" << none << "/xdg/data" << user
                                                  << int(ApplicationPaths::Logging)
                                                  << "/xdg/data/Veltor/Kavo-Test/logging" << false;
    QTest::addRow("no APPDATA, no XDG data home") << none << none << none << none << user
                                                  << int(ApplicationPaths::Configuration)
                                                  << "{work}/home/.local/share/Veltor/Kavo-Test/configuration" << false;
    QTest::addRow("relative XDG data home is ignored") << none << none << none << "relative/data" << user
                                                       << int(ApplicationPaths::Configuration)
                                                       << "{work}/home/.local/share/Veltor/Kavo-Test/configuration"
                                                       << false;
    QTest::addRow("no ALLUSERSPROFILE: /var/lib") << none << "/roaming" << none << "/xdg/data" << system
                                                  << int(ApplicationPaths::Logging) << "/var/lib/Veltor/Kavo-Test/logging"
                                                  << false;
}

void tst_ApplicationPaths::path()
{
    QFETCH(QString, overrides);
    QFETCH(QString, appData);
    QFETCH(QString, allUsersProfile);
    QFETCH(QString, xdgDataHome);
    QFETCH(int, scope);
    QFETCH(int, location);
    QFETCH(QString, expected);
    QFETCH(bool, warns);

    if (!overrides.isNull())
        writeOverrides(overrides);
    setVariable("APPDATA", appData);
    setVariable("ALLUSERSPROFILE", allUsersProfile);
    setVariable("XDG_DATA_HOME", xdgDataHome);
    setVariable("HOME", work.filePath("home"));
    if (warns)
        QTest::ignoreMessage(QtWarningMsg, "Configured path for location does not exist.");

    const QDir result = ApplicationPaths::path(ApplicationPaths::Scope(scope), ApplicationPaths::Location(location));
    QCOMPARE(result.path(), expand(expected));
    QCOMPARE(pathWarnings, warns ? 1 : 0);

    // The default ignores the file and never warns.
    if (overrides.isNull() && scope <= ApplicationPaths::System) {
        const QDir fallback = ApplicationPaths::defaultPath(ApplicationPaths::Scope(scope),
                                                            ApplicationPaths::Location(location));
        QCOMPARE(fallback.path(), result.path());
    }
}

void tst_ApplicationPaths::invalidArguments_data()
{
    QTest::addColumn<bool>("ignoreOverrides");
    QTest::addColumn<int>("scope");
    QTest::addColumn<int>("location");
    QTest::addColumn<bool>("withOverrides");
    QTest::addColumn<QString>("message");

    const QString badLocation = "Invalid location has been given while requesting an application's path.";
    const QString badScope = "Invalid scope has been given while requesting an application's path.";
    QTest::addRow("location 4") << false << 0 << 4 << false << badLocation;
    QTest::addRow("location 4, override file present") << false << 0 << 4 << true << badLocation;
    QTest::addRow("location -1") << false << 1 << -1 << true << badLocation;
    QTest::addRow("location 4 and scope 2") << false << 2 << 4 << true << badLocation;
    QTest::addRow("scope 2, no override") << false << 2 << 1 << false << badScope;
    QTest::addRow("default, location 4") << true << 1 << 4 << true << badLocation;
    QTest::addRow("default, scope 2 with override") << true << 2 << 2 << true << badScope;
    QTest::addRow("default, scope and location invalid") << true << 2 << 4 << false << badScope;
}

void tst_ApplicationPaths::invalidArguments()
{
    QFETCH(bool, ignoreOverrides);
    QFETCH(int, scope);
    QFETCH(int, location);
    QFETCH(bool, withOverrides);
    QFETCH(QString, message);

    setVariable("APPDATA", "/roaming");
    setVariable("ALLUSERSPROFILE", "/ProgramData");
    if (withOverrides)
        writeOverrides("[ch.veltor.system]\npath.configuration={work}/existing\npath.logging={work}/existing\n"
                       "path.runtime={work}/existing\npath.update={work}/existing\n");

    const auto s = ApplicationPaths::Scope(scope);
    const auto l = ApplicationPaths::Location(location);
    try {
        if (ignoreOverrides)
            ApplicationPaths::defaultPath(s, l);
        else
            ApplicationPaths::path(s, l);
        QFAIL("no exception");
    } catch (const std::runtime_error &error) {
        QCOMPARE(QString::fromUtf8(error.what()), message);
    }
    QCOMPARE(pathWarnings, 0);
}

QTEST_MAIN(tst_ApplicationPaths)
#include "tst_applicationpaths.moc"
