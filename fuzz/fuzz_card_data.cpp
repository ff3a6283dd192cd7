// What a card hands the host: the bytes of its files, and its answers to the
// commands that read them. Both are untrusted.
//
// Input: one mode byte, then the payload.
//   mode even: the payload is EF.ID and EF.AD, split where its first byte says
//              (as a share of the rest). A card that passes must carry a
//              20-digit number, and its XML must be well-formed and hold it.
//   mode odd:  the payload is the card's answers, each a length byte and that
//              many bytes, given to the file reader in turn. The reader must
//              stay within its bounds on file size and commands.

#include "cardadmindata.h"
#include "cardfilereader.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <cstdint>
#include <cstdlib>

namespace {

void silence(QtMsgType, const QMessageLogContext &, const QString &)
{
}

void checkFiles(const QByteArray &payload)
{
    if (payload.isEmpty())
        return;
    const int split = int(quint8(payload.at(0))) * (payload.size() - 1) / 255;
    const QByteArray id = payload.mid(1, split);
    const QByteArray ad = payload.mid(1 + split);
    QString why;
    const std::optional<CardAdminData> data = CardAdminData::fromFiles(id, ad, &why);
    if (!data) {
        if (why.isEmpty())
            std::abort(); // a refusal always says why
        return;
    }
    static const QRegularExpression twentyDigits(QStringLiteral("^[0-9]{20}$"));
    if (!twentyDigits.match(data->cardNumber).hasMatch())
        std::abort();

    QXmlStreamReader xml(data->toXml());
    int numbers = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement
            && xml.name() == QLatin1String("insuredPersonNumber")
            && xml.readElementText() == data->cardNumber)
            ++numbers;
    }
    if (xml.hasError() || numbers != 1)
        std::abort();
}

void checkReader(const QByteArray &payload)
{
    int at = 0;
    int answered = 0;
    CardFileReader reader([&](const QByteArray &, QByteArray *response) {
        ++answered;
        if (at >= payload.size())
            return false; // the card went away
        const int length = quint8(payload.at(at++));
        *response = payload.mid(at, length);
        at += length;
        return true;
    });
    for (const quint16 file : {quint16(0x2f06), quint16(0x2f07)}) {
        QByteArray contents;
        const CardFileReader::Result result = reader.readFile(file, &contents);
        if (contents.size() > CardFileReader::MaxFileSize)
            std::abort();
        if (result != CardFileReader::Read)
            break;
    }
    if (answered > CardFileReader::MaxCommands || reader.commands() > CardFileReader::MaxCommands)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication application(*argc, *argv);
    qInstallMessageHandler(silence);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray payload(reinterpret_cast<const char *>(data + 1), int(size - 1));
    if (data[0] & 1)
        checkReader(payload);
    else
        checkFiles(payload);
    return 0;
}
