#include "chunklistener.h"

#include "cardchunks.h"
#include "keysequencelink.h"
#include "peerprocess.h"
#include "sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSettings>
#include <QtTest>

#include <memory>

namespace {

const char listenerCategory[] = "ch.veltor.kavo-service.system.chunklistener";
const QString switchKey = QStringLiteral("ch.veltor.kavo-service.system/convertToKeyEvent");

// Lines of the listener's category, as "<level>: <text>".
QStringList *listenerLog = nullptr;
QtMessageHandler previousHandler = nullptr;

void captureListenerLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (listenerLog && context.category && qstrcmp(context.category, listenerCategory) == 0) {
        const char *level = type == QtDebugMsg ? "debug" : type == QtWarningMsg ? "warning" : "other";
        listenerLog->append(QString::fromLatin1(level) + QLatin1String(": ") + message);
    }
    previousHandler(type, context, message);
}

// A null text leaves the member out.
QJsonValue makeChunk(const QString &reader, const QString &event, const QString &content, const QString &data)
{
    QJsonObject chunk{{"slot", 1}};
    if (!reader.isNull())
        chunk.insert("reader", reader);
    if (!event.isNull())
        chunk.insert("event", event);
    if (!content.isNull())
        chunk.insert("content", content);
    if (!data.isNull())
        chunk.insert("data", data);
    return chunk;
}

QJsonValue cardChunk(const QString &data)
{
    return makeChunk("Cherry SmartTerminal ST-1144", "card-inserted", "card-admin-content", data);
}

} // namespace

class tst_ChunkListener : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void chunks_data();
    void chunks();
    void convertSwitch_data();
    void convertSwitch();

private:
    void useFreshApplicationName();
    QString scopeFile(const QString &scopeDir) const;
    void sendSentinel();

    Sandbox sandbox;
    PeerProcess receiver{{}, {}, sandbox.env}; // the user agent's end of the link
    QByteArray receivedBefore;
    std::unique_ptr<ChunkListener> listener;
    QStringList log;
    int names = 0;
};

void tst_ChunkListener::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("ch.veltor.*.debug=true"));
    listenerLog = &log;
    previousHandler = qInstallMessageHandler(captureListenerLog);

    // The link, with the agent's real identity, and the settings stay in the
    // sandbox, away from a user agent that may run on the machine.
    sandbox.enter();
    QCoreApplication::setOrganizationName(QStringLiteral("Veltor"));
    receiver.command("elect");
    QVERIFY(receiver.waitForLine("elect true"));

    // One listener for all cases: its link to the receiver stays up between them.
    listener.reset(new ChunkListener);
}

void tst_ChunkListener::cleanupTestCase()
{
    listener.reset();
    qInstallMessageHandler(previousHandler);
    listenerLog = nullptr;
}

void tst_ChunkListener::init()
{
    useFreshApplicationName();
    receivedBefore = receiver.received();
    log.clear();
}

void tst_ChunkListener::cleanup()
{
    QFile::remove(QDir(QCoreApplication::applicationDirPath()).filePath(QCoreApplication::applicationName() + ".ini"));
}

void tst_ChunkListener::useFreshApplicationName()
{
    // The settings are looked up under the host's application name; a fresh
    // name is a fresh set of INI files.
    cleanup();
    QCoreApplication::setApplicationName(
        QStringLiteral("tst-chunklistener-%1-%2").arg(QCoreApplication::applicationPid()).arg(++names));
}

QString tst_ChunkListener::scopeFile(const QString &scopeDir) const
{
    return sandbox.path(QStringLiteral("%1/Veltor/%2.ini").arg(scopeDir, QCoreApplication::applicationName()));
}

// A silent chunk cannot be observed as such; the link carries no framing, so
// whatever an earlier chunk sent would show up in front of this number.
void tst_ChunkListener::sendSentinel()
{
    useFreshApplicationName();
    listener->chunkUpdated(cardChunk(sampleCardXml("80756000000000000001")));
}

void tst_ChunkListener::chunks_data()
{
    QTest::addColumn<QJsonValue>("chunk");
    QTest::addColumn<QString>("sent"); // null: nothing is sent
    QTest::addColumn<QStringList>("logged");

    const QString none;
    const QString xml = sampleCardXml();
    const QString debug = "debug: " + numberLogged(QString());
    const QString invalidNumber = QStringLiteral("warning: Invalid VeKa number.");

    QTest::addRow("sample card")
        << cardChunk(xml) << sampleCardNumber << QStringList{debug + sampleCardNumber};
    QTest::addRow("reader name in capitals")
        << makeChunk("CHERRY TC-1200", "card-inserted", "card-admin-content", xml)
        << sampleCardNumber << QStringList{debug + sampleCardNumber};
    QTest::addRow("reader word inside other letters")
        << makeChunk("xCherryy", "card-inserted", "card-admin-content", xml)
        << sampleCardNumber << QStringList{debug + sampleCardNumber};
    QTest::addRow("blanks and line breaks around the number")
        << cardChunk(sampleCardXml("\n   " + sampleCardNumber + " \t\n"))
        << sampleCardNumber << QStringList{debug + sampleCardNumber};
    QTest::addRow("letters and a digit pass the number test")
        << cardChunk(sampleCardXml("AB7")) << "AB7" << QStringList{debug + "AB7"};
    QTest::addRow("text without digits is warned about and sent")
        << cardChunk(sampleCardXml("unbekannt")) << "unbekannt"
        << QStringList{invalidNumber, debug + "unbekannt"};
    QTest::addRow("umlauts travel in the local 8-bit encoding")
        << cardChunk(sampleCardXml("Zürich 1")) << "Zürich 1" << QStringList{debug + "Zürich 1"};
    QTest::addRow("document without the number element")
        << cardChunk("<vk-adm:adminDataRoot xmlns:vk-adm=\"http://www.ehealth.admin.ch/xmlns/vk-adm/1\"/>")
        << "" << QStringList{invalidNumber, debug};
    QTest::addRow("number element in another namespace")
        << cardChunk(QString(xml).replace("http://www.ehealth.admin.ch/xmlns/vk-adm/1",
                                          "http://www.ehealth.admin.ch/xmlns/vk-adm/2"))
        << "" << QStringList{invalidNumber, debug};
    QTest::addRow("broken XML")
        << cardChunk(xml.left(xml.indexOf(sampleCardNumber)))
        << none << QStringList{"warning: Invalid query for VeKa number."};
    QTest::addRow("no data member")
        << makeChunk("Cherry", "card-inserted", "card-admin-content", none)
        << none << QStringList{"warning: Invalid query for VeKa number."};

    // Dropped silently.
    QTest::addRow("other reader") << makeChunk("Reiner SCT cyberJack", "card-inserted", "card-admin-content", xml)
                                  << none << QStringList();
    QTest::addRow("broken reader word") << makeChunk("Cher ry", "card-inserted", "card-admin-content", xml)
                                        << none << QStringList();
    QTest::addRow("no reader") << makeChunk(none, "card-inserted", "card-admin-content", xml)
                               << none << QStringList();
    QTest::addRow("card removed") << makeChunk("Cherry", "card-removed", "card-admin-content", xml)
                                  << none << QStringList();
    QTest::addRow("event in other case") << makeChunk("Cherry", "Card-Inserted", "card-admin-content", xml)
                                         << none << QStringList();
    QTest::addRow("no event") << makeChunk("Cherry", none, "card-admin-content", xml) << none << QStringList();
    QTest::addRow("no content") << makeChunk("Cherry", "card-inserted", none, xml) << none << QStringList();
    QTest::addRow("other content") << makeChunk("Cherry", "card-inserted", "card-atr", xml)
                                   << none << QStringList();
    QTest::addRow("content with a trailing blank")
        << makeChunk("Cherry", "card-inserted", "card-admin-content ", xml) << none << QStringList();
    QTest::addRow("content that is not a text")
        << QJsonValue(QJsonObject{{"reader", "Cherry"}, {"event", "card-inserted"}, {"content", 1}, {"data", xml}})
        << none << QStringList();
    QTest::addRow("content and event that are true")
        << QJsonValue(QJsonObject{{"reader", "Cherry"}, {"event", true}, {"content", true}, {"data", xml}})
        << none << QStringList();
    QTest::addRow("chunk that is not an object")
        << QJsonValue(QJsonArray{"Cherry", "card-inserted", "card-admin-content", xml}) << none << QStringList();
    QTest::addRow("chunk that is a text") << QJsonValue(xml) << none << QStringList();
}

void tst_ChunkListener::chunks()
{
    QFETCH(QJsonValue, chunk);
    QFETCH(QString, sent);
    QFETCH(QStringList, logged);

    listener->chunkUpdated(chunk);
    QCOMPARE(log, logged);

    sendSentinel();
    // An empty text puts no bytes on the link.
    QTRY_COMPARE(receiver.received().mid(receivedBefore.size()),
                 veltor::system::keysequencelink::encode(sent) + "80756000000000000001");
}

void tst_ChunkListener::convertSwitch_data()
{
    // Values of the switch per source; a null text leaves the file out.
    QTest::addColumn<QString>("nextToExecutable");
    QTest::addColumn<QString>("machineWide");
    QTest::addColumn<QString>("configurationDir");
    QTest::addColumn<QString>("user");
    QTest::addColumn<bool>("sends");

    const QString none;
    QTest::addRow("no source has the switch") << none << none << none << none << true;
    QTest::addRow("user false") << none << none << none << "false" << false;
    QTest::addRow("user FALSE") << none << none << none << "FALSE" << false;
    QTest::addRow("user 0") << none << none << none << "0" << false;
    QTest::addRow("user empty") << none << none << none << "" << false;
    QTest::addRow("user no is a true text") << none << none << none << "no" << true;
    QTest::addRow("user true beats false next to executable") << "false" << none << none << "true" << true;
    QTest::addRow("false next to executable alone") << "false" << none << none << none << false;
    QTest::addRow("configuration directory beats machine-wide") << none << "false" << "1" << none << true;
    QTest::addRow("machine-wide false, no switch in user file") << none << "0" << none << "" << false;
    QTest::addRow("configuration directory false beats machine-wide")
        << none << "true" << "false" << none << false;
}

void tst_ChunkListener::convertSwitch()
{
    QFETCH(QString, nextToExecutable);
    QFETCH(QString, machineWide);
    QFETCH(QString, configurationDir);
    QFETCH(QString, user);
    QFETCH(bool, sends);

    const QString name = QCoreApplication::applicationName();
    const auto write = [](const QString &fileName, const QString &value) {
        if (value.isNull())
            return;
        QSettings settings(fileName, QSettings::IniFormat);
        settings.setValue(QStringLiteral("ch.veltor.kavo-service.system/other"), 1);
        settings.setValue(switchKey, value);
    };
    write(QDir(QCoreApplication::applicationDirPath()).filePath(name + ".ini"), nextToExecutable);
    write(scopeFile("system"), machineWide);
    write(sandbox.path(QStringLiteral("programdata/Veltor/%1/configuration/%1.ini").arg(name)), configurationDir);
    write(scopeFile("config"), user);

    listener->chunkUpdated(cardChunk(sampleCardXml()));
    // Logged whether or not the number is sent.
    QCOMPARE(log, QStringList{"debug: " + numberLogged(sampleCardNumber)});

    sendSentinel();
    QTRY_COMPARE(receiver.received().mid(receivedBefore.size()),
                 (sends ? sampleCardNumber.toLatin1() : QByteArray()) + "80756000000000000001");
}

QTEST_MAIN(tst_ChunkListener)
#include "tst_chunklistener.moc"
