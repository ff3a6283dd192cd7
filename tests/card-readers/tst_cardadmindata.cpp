#include "cardadmindata.h"
#include "cardfilereader.h"
#include "cardsource.h"
#include "chunklistener.h"
#include "keysequencesender.h"
#include "sandbox.h"

#include <QXmlStreamReader>
#include <QtTest>

// What a card's files become: the XML of the card source, read by the
// plug-in's own listener, and the commands that fetch the files from cards
// that answer in all the ways the standard allows.
class tst_CardAdminData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void fromFiles_data();
    void fromFiles();
    void readFile_data();
    void readFile();
};

namespace {

QByteArray tlv(quint8 tag, const QByteArray &value, bool longForm = false)
{
    QByteArray length = longForm ? QByteArray("\x81") + char(value.size()) : QByteArray(1, char(value.size()));
    return char(tag) + length + value;
}

QByteArray efId(const QByteArray &name)
{
    return tlv(0x65, tlv(0x80, name) + tlv(0x82, "19830927") + tlv(0x83, "7569217034826") + tlv(0x84, "\x02"));
}

QByteArray efAd(const QByteArray &number)
{
    return tlv(0x65, tlv(0x90, "CH") + tlv(0x91, "Krankenkasse Seeland") + tlv(0x92, "01439") + tlv(0x93, number)
                         + tlv(0x94, "20291231"));
}

const QByteArray sampleNumber = "80756014390000472318";

class RecordingSender : public KeySequenceSender
{
public:
    explicit RecordingSender(QStringList *sent) : sent(sent) {}
    void send(const QString &text) override { sent->append(text); }
    QStringList *sent;
};

// Texts of the elements with that local name.
QStringList elementTexts(const QString &xml, const QString &name)
{
    QStringList texts;
    QXmlStreamReader reader(xml);
    while (reader.readNextStartElement() || !reader.atEnd()) {
        if (reader.isStartElement() && reader.name() == name)
            texts.append(reader.readElementText());
    }
    return texts;
}

} // namespace

void tst_CardAdminData::initTestCase()
{
    // The listener reads its switch from the settings: none of them here.
    static const Sandbox sandbox;
    sandbox.enter();
    QCoreApplication::setOrganizationName(QStringLiteral("Veltor"));
    QCoreApplication::setApplicationName(QStringLiteral("tst-cardadmindata-%1").arg(QCoreApplication::applicationPid()));
}

void tst_CardAdminData::fromFiles_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("ad");
    QTest::addColumn<QString>("number"); // empty: not a VeKa card
    QTest::addColumn<QStringList>("names");

    const QByteArray sampleId = efId("Br\xc3\xa4ndli, Corinne Anouk");
    QTest::addRow("example card") << sampleId << efAd(sampleNumber) << QString(sampleNumber)
                                  << QStringList{"Brändli", "Corinne Anouk"};
    QTest::addRow("markup in the name") << efId("M\xc3\xbcller & <S\xc3\xb6hne>, \xc3\x89lo\xc3\xafse") << efAd(sampleNumber)
                                        << QString(sampleNumber) << QStringList{"Müller & <Söhne>", "Éloïse"};
    QTest::addRow("no comma, control bytes") << efId("Nur\x01Name") << efAd(sampleNumber) << QString(sampleNumber)
                                             << QStringList{"NurName", QString()};
    QTest::addRow("long lengths, any order, unknown tags, padding")
        << QByteArray("\xff") + efId("A, B") + QByteArray(3, '\0')
        << tlv(0x65, tlv(0x99, "?") + QByteArray(2, '\xff') + tlv(0x93, sampleNumber, true) + tlv(0x90, "CH", true), true)
        << QString(sampleNumber) << QStringList{"A", "B"};

    const QStringList none;
    QTest::addRow("19 digits") << sampleId << efAd(sampleNumber.left(19)) << QString() << none;
    QTest::addRow("a letter in the number") << sampleId << efAd("8075601439000047231X") << QString() << none;
    QTest::addRow("no number") << sampleId << tlv(0x65, tlv(0x90, "CH")) << QString() << none;
    QTest::addRow("number twice") << sampleId << tlv(0x65, tlv(0x93, sampleNumber) + tlv(0x93, sampleNumber))
                                         << QString() << none;
    QTest::addRow("template cut short") << sampleId << efAd(sampleNumber).chopped(5) << QString() << none;
    QTest::addRow("field longer than its template") << sampleId << QByteArray("\x65\x05\x93\x14") + sampleNumber
                                                    << QString() << none;
    QTest::addRow("other template") << sampleId << QByteArray("\x64") + efAd(sampleNumber).mid(1) << QString() << none;
    QTest::addRow("EF.ID not a template") << QByteArray("\x6f\x00") << efAd(sampleNumber) << QString() << none;
}

void tst_CardAdminData::fromFiles()
{
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, ad);
    QFETCH(QString, number);
    QFETCH(QStringList, names);

    QString error;
    const std::optional<CardAdminData> data = CardAdminData::fromFiles(id, ad, &error);
    if (number.isEmpty()) {
        QVERIFY(!data);
        QVERIFY(!error.isEmpty());
        QVERIFY2(!error.contains(QLatin1String(sampleNumber)), qPrintable(error)); // never in a log line
        return;
    }
    QVERIFY2(data, qPrintable(error));
    const QString xml = data->toXml();
    QCOMPARE(elementTexts(xml, "officialName").value(0), names.at(0));
    QCOMPARE(elementTexts(xml, "firstName").value(0), names.at(1));
    QCOMPARE(elementTexts(xml, "cardNumber"), QStringList{number});

    // The plug-in's own query finds the number in the chunk of the card source.
    QStringList sent;
    ChunkListener listener(std::make_unique<RecordingSender>(&sent));
    listener.chunkUpdated(CardSource::insertionChunk("Cherry SmartTerminal ST-1144 00 00", xml));
    QCOMPARE(sent, QStringList{number});
}

void tst_CardAdminData::readFile_data()
{
    QTest::addColumn<QString>("quirk");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("commands");

    QTest::addRow("plain") << "" << int(CardFileReader::Read) << 2;
    QTest::addRow("SELECT only with FCI") << "fci" << int(CardFileReader::Read) << 3;
    QTest::addRow("wrong Le") << "6C" << int(CardFileReader::Read) << 3;
    QTest::addRow("data by GET RESPONSE") << "61" << int(CardFileReader::Read) << 3;
    QTest::addRow("16 bytes per READ BINARY") << "short" << int(CardFileReader::Read) << 1 + (67 + 15) / 16;
    QTest::addRow("no such file") << "6A82" << int(CardFileReader::Refused) << 1;
    QTest::addRow("read not allowed") << "6982" << int(CardFileReader::Refused) << 2;
    QTest::addRow("file too large") << "huge" << int(CardFileReader::Refused) << 2;
    QTest::addRow("one byte at a time") << "trickle" << int(CardFileReader::Refused) << CardFileReader::MaxCommands;
    QTest::addRow("pulled after the SELECT") << "pulled" << int(CardFileReader::LinkFailed) << 2;
}

void tst_CardAdminData::readFile()
{
    QFETCH(QString, quirk);
    QFETCH(int, result);
    QFETCH(int, commands);

    const auto status = [](quint16 sw) { return QByteArray(1, char(sw >> 8)) + char(sw & 0xff); };
    QByteArray file = efAd(sampleNumber) + QByteArray(30, '\0'); // padded, as files are
    if (quirk == "huge" || quirk == "trickle")
        file = QByteArray("\x65\x82") + (quirk == "huge" ? "\x10" : "\x07") + QByteArray(2000, '\0');
    int transmitted = 0;
    CardFileReader reader([&](const QByteArray &apdu, QByteArray *response) {
        ++transmitted;
        const quint8 ins = quint8(apdu[1]);
        const int offset = quint8(apdu[2]) << 8 | quint8(apdu[3]);
        const int le = apdu.size() == 5 ? (quint8(apdu[4]) ? quint8(apdu[4]) : 256) : 0;
        if (ins == 0xa4)
            *response = status(quirk == "6A82" ? 0x6a82 : quirk == "fci" && apdu[3] ? 0x6a86 : 0x9000);
        else if (quirk == "pulled")
            return false;
        else if (quirk == "6982")
            *response = status(0x6982);
        else if (quirk == "6C" && le != 67)
            *response = status(0x6c00 | 67);
        else if (quirk == "61" && ins == 0xb0)
            *response = status(0x6100 | 67);
        else if (ins == 0xc0)
            *response = file.left(le) + status(0x9000);
        else {
            const int limit = quirk == "short" ? 16 : quirk == "trickle" ? 1 : le;
            const QByteArray data = file.mid(offset, std::min(le, limit));
            *response = data + status(data.size() < limit ? 0x6282 : 0x9000);
        }
        return true;
    });
    QByteArray contents;
    QCOMPARE(int(reader.readFile(0x2f07, &contents)), result);
    QCOMPARE(reader.commands(), commands);
    QCOMPARE(transmitted, commands);
    if (result == CardFileReader::Read)
        QCOMPARE(contents, efAd(sampleNumber)); // the object, without its padding
    else if (result == CardFileReader::Refused)
        QVERIFY(!reader.refusal().isEmpty());
}

QTEST_MAIN(tst_CardAdminData)
#include "tst_cardadmindata.moc"
