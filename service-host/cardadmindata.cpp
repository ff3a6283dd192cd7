#include "cardadmindata.h"

#include <QHash>
#include <QXmlStreamWriter>

namespace {

const QString vkAdmNamespace = QStringLiteral("http://www.ehealth.admin.ch/xmlns/vk-adm/1");
const QString echNamespace = QStringLiteral("http://www.ech.ch/xmlns/eCH-0044/1");
const QString xsiNamespace = QStringLiteral("http://www.w3.org/2001/XMLSchema-instance");

constexpr quint32 templateTag = 0x65;

enum class Header { Complete, Incomplete, Broken };

struct TlvHeader
{
    quint32 tag = 0;
    int headerSize = 0;
    int length = 0;
};

bool isPadding(char byte)
{
    return byte == '\x00' || byte == '\xff';
}

// Reads the header at pos, looking no further than end.
Header readHeader(const QByteArray &bytes, int pos, int end, TlvHeader *header)
{
    int p = pos;
    if (p >= end)
        return Header::Incomplete;
    quint32 tag = quint8(bytes[p++]);
    if ((tag & 0x1f) == 0x1f) { // the tag number goes on in further bytes
        quint8 next = 0;
        int more = 0;
        do {
            if (p >= end)
                return Header::Incomplete;
            if (++more > 3)
                return Header::Broken;
            next = quint8(bytes[p++]);
            tag = (tag << 8) | next;
        } while (next & 0x80);
    }
    if (p >= end)
        return Header::Incomplete;
    const quint8 first = quint8(bytes[p++]);
    int length = first;
    if (first & 0x80) {
        const int count = first & 0x7f;
        if (count == 0 || count > 3) // indefinite, or far more than a card file holds
            return Header::Broken;
        length = 0;
        for (int i = 0; i < count; ++i) {
            if (p >= end)
                return Header::Incomplete;
            length = (length << 8) | quint8(bytes[p++]);
        }
    }
    header->tag = tag;
    header->headerSize = p - pos;
    header->length = length;
    return Header::Complete;
}

int skipPadding(const QByteArray &bytes, int pos, int end)
{
    while (pos < end && isPadding(bytes[pos]))
        ++pos;
    return pos;
}

// The values of the wanted tags inside the outer template of a card file.
bool readTemplate(const QByteArray &file, const QList<quint32> &wanted, QHash<quint32, QByteArray> *values,
                  QString *error)
{
    const int start = skipPadding(file, 0, file.size());
    TlvHeader outer;
    if (readHeader(file, start, file.size(), &outer) != Header::Complete || outer.tag != templateTag) {
        *error = QStringLiteral("no template 65");
        return false;
    }
    const int contentStart = start + outer.headerSize;
    if (outer.length > file.size() - contentStart) {
        *error = QStringLiteral("template 65 is cut short");
        return false;
    }
    const int end = contentStart + outer.length;
    for (int pos = skipPadding(file, contentStart, end); pos < end; pos = skipPadding(file, pos, end)) {
        TlvHeader field;
        if (readHeader(file, pos, end, &field) != Header::Complete
            || field.length > end - pos - field.headerSize) {
            *error = QStringLiteral("broken field at byte %1").arg(pos);
            return false;
        }
        if (wanted.contains(field.tag)) {
            if (values->contains(field.tag)) {
                *error = QStringLiteral("tag %1 twice").arg(field.tag, 2, 16, QLatin1Char('0'));
                return false;
            }
            values->insert(field.tag, file.mid(pos + field.headerSize, field.length));
        }
        pos += field.headerSize + field.length;
    }
    return true;
}

bool isDigits(const QByteArray &value)
{
    for (char c : value) {
        if (c < '0' || c > '9')
            return false;
    }
    return !value.isEmpty();
}

// UTF-8 text without what XML 1.0 cannot carry.
QString text(const QByteArray &value)
{
    const QString decoded = QString::fromUtf8(value);
    QString result;
    result.reserve(decoded.size());
    for (const QChar c : decoded) {
        const ushort u = c.unicode();
        if ((u >= 0x20 || u == '\t' || u == '\n' || u == '\r') && u != 0xfffe && u != 0xffff)
            result.append(c);
    }
    return result.trimmed();
}

QString date(const QByteArray &value)
{
    if (value.size() == 8 && isDigits(value))
        return QString::fromLatin1(value.left(4) + '-' + value.mid(4, 2) + '-' + value.mid(6, 2));
    return text(value);
}

QString sexCode(const QByteArray &value)
{
    if (value.size() != 1)
        return QString();
    const quint8 code = quint8(value[0]);
    if (code <= 9)
        return QString::number(code);
    return code >= '0' && code <= '9' ? QString(QChar(code)) : QString();
}

} // namespace

int berObjectSize(const QByteArray &bytes)
{
    const int start = skipPadding(bytes, 0, bytes.size());
    TlvHeader header;
    switch (readHeader(bytes, start, bytes.size(), &header)) {
    case Header::Incomplete:
        return -1;
    case Header::Broken:
        return -2;
    case Header::Complete:
        break;
    }
    return start + header.headerSize + header.length;
}

std::optional<CardAdminData> CardAdminData::fromFiles(const QByteArray &efId, const QByteArray &efAd, QString *error)
{
    QString why;
    QHash<quint32, QByteArray> id;
    QHash<quint32, QByteArray> ad;
    if (!readTemplate(efId, {0x80, 0x82, 0x83, 0x84}, &id, &why)) {
        why.prepend(QStringLiteral("EF.ID: "));
    } else if (!readTemplate(efAd, {0x90, 0x91, 0x92, 0x93, 0x94}, &ad, &why)) {
        why.prepend(QStringLiteral("EF.AD: "));
    } else if (!ad.contains(0x93)) {
        why = QStringLiteral("EF.AD has no card number");
    } else if (ad.value(0x93).size() != 20 || !isDigits(ad.value(0x93))) {
        why = QStringLiteral("the card number is not 20 digits");
    }
    if (!why.isEmpty()) {
        if (error)
            *error = why;
        return std::nullopt;
    }

    CardAdminData data;
    const QString name = text(id.value(0x80));
    const int comma = name.indexOf(QLatin1Char(','));
    data.officialName = name.left(comma).trimmed();
    data.firstNames = comma < 0 ? QString() : name.mid(comma + 1).trimmed();
    data.dateOfBirth = date(id.value(0x82));
    data.ahvNumber = text(id.value(0x83));
    data.sex = sexCode(id.value(0x84));
    data.issuingState = text(ad.value(0x90));
    data.insurerName = text(ad.value(0x91));
    data.insurerNumber = text(ad.value(0x92));
    data.cardNumber = QString::fromLatin1(ad.value(0x93));
    data.expiryDate = date(ad.value(0x94));
    return data;
}

QString CardAdminData::toXml() const
{
    QString xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(2);
    // Elements the card has no value for are left out.
    const auto element = [&writer](const QString &ns, const QString &name, const QString &value) {
        if (!value.isEmpty())
            writer.writeTextElement(ns, name, value);
    };

    writer.writeStartDocument();
    writer.writeNamespace(vkAdmNamespace, QStringLiteral("vk-adm"));
    writer.writeNamespace(echNamespace, QStringLiteral("eCH-0044"));
    writer.writeNamespace(xsiNamespace, QStringLiteral("xsi"));
    writer.writeStartElement(vkAdmNamespace, QStringLiteral("adminDataRoot"));
    writer.writeStartElement(vkAdmNamespace, QStringLiteral("adminData"));

    writer.writeStartElement(vkAdmNamespace, QStringLiteral("cardholderIdentification"));
    element(echNamespace, QStringLiteral("vn"), ahvNumber);
    element(echNamespace, QStringLiteral("officialName"), officialName);
    element(echNamespace, QStringLiteral("firstName"), firstNames);
    element(echNamespace, QStringLiteral("sex"), sex);
    if (!dateOfBirth.isEmpty()) {
        writer.writeStartElement(echNamespace, QStringLiteral("dateOfBirth"));
        writer.writeTextElement(echNamespace, QStringLiteral("yearMonthDay"), dateOfBirth);
        writer.writeEndElement();
    }
    writer.writeEndElement();

    writer.writeStartElement(vkAdmNamespace, QStringLiteral("administrativeData"));
    element(vkAdmNamespace, QStringLiteral("insuredPersonNumber"), cardNumber);
    element(vkAdmNamespace, QStringLiteral("cardNumber"), cardNumber);
    element(vkAdmNamespace, QStringLiteral("expiryDate"), expiryDate);
    if (!insurerNumber.isEmpty() || !insurerName.isEmpty()) {
        writer.writeStartElement(vkAdmNamespace, QStringLiteral("institution"));
        element(vkAdmNamespace, QStringLiteral("institutionNumber"), insurerNumber);
        element(vkAdmNamespace, QStringLiteral("institutionName"), insurerName);
        writer.writeEndElement();
    }
    element(vkAdmNamespace, QStringLiteral("issuingState"), issuingState);
    writer.writeEndElement();

    writer.writeEndDocument(); // closes adminData and the root
    return xml;
}
