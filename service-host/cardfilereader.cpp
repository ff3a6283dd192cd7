#include "cardfilereader.h"

#include "cardadmindata.h"

#include <algorithm>

namespace {

constexpr quint16 statusOk = 0x9000;
constexpr quint16 statusEndOfFile = 0x6282;
constexpr quint16 statusWrongOffset = 0x6b00;
constexpr quint16 statusNoSuchFile = 0x6a82;

QByteArray command(quint8 ins, quint8 p1, quint8 p2, const QByteArray &tail)
{
    QByteArray apdu(4, '\0');
    apdu[1] = char(ins);
    apdu[2] = char(p1);
    apdu[3] = char(p2);
    return apdu + tail;
}

QByteArray selectCommand(quint16 fileId, quint8 p2)
{
    const char tail[] = {2, char(fileId >> 8), char(fileId & 0xff)};
    return command(0xa4, 0x00, p2, QByteArray(tail, 3));
}

QString hex(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

CardFileReader::CardFileReader(Transmit transmit)
    : transmit(std::move(transmit))
{
}

CardFileReader::Result CardFileReader::exchange(const QByteArray &first, QByteArray *data, quint16 *status)
{
    QByteArray apdu = first;
    bool lengthCorrected = false;
    data->clear();
    for (;;) {
        if (sent >= MaxCommands)
            return refuse(QStringLiteral("too many commands"));
        ++sent;
        QByteArray response;
        if (!transmit(apdu, &response))
            return LinkFailed;
        if (response.size() < 2) {
            *status = 0; // no status word: no answer a caller accepts
            return Read;
        }
        *status = quint16(quint8(response.at(response.size() - 2)) << 8 | quint8(response.back()));
        data->append(response.left(response.size() - 2));
        const quint8 sw1 = quint8(*status >> 8);
        const quint8 sw2 = quint8(*status);
        if (sw1 == 0x6c && apdu.size() == 5 && !lengthCorrected) {
            apdu[4] = char(sw2); // wrong Le: the card names the right one
            lengthCorrected = true;
        } else if (sw1 == 0x61 && data->size() <= MaxFileSize) {
            apdu = command(0xc0, 0, 0, QByteArray(1, char(sw2))); // more data waits: GET RESPONSE
            lengthCorrected = false;
        } else {
            return Read;
        }
    }
}

CardFileReader::Result CardFileReader::refuse(const QString &reason)
{
    why = reason;
    return Refused;
}

CardFileReader::Result CardFileReader::select(quint16 fileId)
{
    QByteArray fci;
    quint16 status = 0;
    // Without the FCI first; a card that knows only the other form says so.
    for (const quint8 p2 : {quint8(0x0c), quint8(0x00)}) {
        const Result answered = exchange(selectCommand(fileId, p2), &fci, &status);
        if (answered != Read)
            return answered;
        if (status == statusOk)
            return Read;
        if (status != 0x6a86 && status != 0x6d00)
            break;
    }
    if (status == statusNoSuchFile)
        return refuse(QStringLiteral("no file %1").arg(hex(fileId)));
    return refuse(QStringLiteral("SELECT %1 answered %2").arg(hex(fileId), hex(status)));
}

CardFileReader::Result CardFileReader::readFile(quint16 fileId, QByteArray *contents)
{
    why.clear();
    const Result selected = select(fileId);
    if (selected != Read)
        return selected;

    QByteArray file;
    int size = -1; // of the BER-TLV object, once its header is in
    for (;;) {
        const int wanted = size < 0 ? 256 : std::min(256, size - int(file.size()));
        const char tail[] = {char(wanted & 0xff)}; // Le 00 asks for 256 bytes
        QByteArray data;
        quint16 status = 0;
        const Result answered =
            exchange(command(0xb0, quint8(file.size() >> 8), quint8(file.size()), QByteArray(tail, 1)), &data, &status);
        if (answered != Read)
            return answered;
        if (status != statusOk && status != statusEndOfFile && status != statusWrongOffset)
            return refuse(QStringLiteral("READ BINARY of %1 answered %2").arg(hex(fileId), hex(status)));
        file.append(data);
        if (size < 0)
            size = berObjectSize(file);
        if (size == -2)
            return refuse(QStringLiteral("file %1 holds no BER-TLV data").arg(hex(fileId)));
        if (size > MaxFileSize || file.size() > MaxFileSize)
            return refuse(QStringLiteral("file %1 is larger than %2 bytes").arg(hex(fileId)).arg(MaxFileSize));
        const bool complete = size >= 0 && file.size() >= size;
        if (complete || status != statusOk || data.isEmpty())
            break; // what is missing stays missing: the parser refuses a cut template
    }
    *contents = size >= 0 ? file.left(size) : file;
    return Read;
}
