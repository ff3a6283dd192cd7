#include "chunklistener.h"

#include "keysequencesender.h"
#include "layeredsettings.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QUrl>
#include <QVariantMap>
#include <QXmlQuery>

Q_LOGGING_CATEGORY(lcChunkListener, "ch.veltor.kavo-service.system.chunklistener")

namespace {

// xsi: W3C XML Schema instance; vk-adm: eHealth Suisse administrative data of
// the insurance card, version 1; eCH-0044: person identification, version 1.
const char insuredPersonNumberQuery[] =
    "declare namespace xsi = \"http://www.w3.org/2001/XMLSchema-instance\";"
    "declare namespace vk-adm = \"http://www.ehealth.admin.ch/xmlns/vk-adm/1\";"
    "declare namespace eCH-0044 = \"http://www.ech.ch/xmlns/eCH-0044/1\";"
    "/vk-adm:adminDataRoot/vk-adm:adminData/vk-adm:administrativeData/vk-adm:insuredPersonNumber/text()";

} // namespace

ChunkListener::ChunkListener()
    : sender(new KeySequenceSender)
{
}

ChunkListener::ChunkListener(std::unique_ptr<KeySequenceSender> sender)
    : sender(std::move(sender))
{
}

ChunkListener::~ChunkListener() = default;

void ChunkListener::chunkUpdated(const QJsonValue &chunk)
{
    const QVariantMap map = chunk.toObject().toVariantMap();

    const QString reader = map.value(QStringLiteral("reader")).toString();
    if (!reader.contains(QLatin1String("Cherry"), Qt::CaseInsensitive))
        return;

    // Compared as texts: comparing the variants would convert the text to the
    // member's type, and a member that is true would equal any text.
    const QString contentKey = QStringLiteral("content");
    if (!map.contains(contentKey) || map.value(contentKey).toString() != QLatin1String("card-admin-content"))
        return;
    if (map.value(QStringLiteral("event")).toString() != QLatin1String("card-inserted"))
        return;

    const QString data = map.value(QStringLiteral("data")).toString();

    QXmlQuery query;
    query.setFocus(data);
    query.setQuery(QString::fromLatin1(insuredPersonNumberQuery), QUrl());
    QString number;
    query.evaluateTo(&number);
    number = number.trimmed();

    if (!query.isValid()) {
        qCWarning(lcChunkListener) << "Invalid query for VeKa number.";
        return;
    }

    static const QRegularExpression digits(QStringLiteral("\\d+"));
    if (!digits.match(number).hasMatch())
        qCWarning(lcChunkListener) << "Invalid VeKa number.";  // sent all the same

    qCDebug(lcChunkListener).noquote() << "Received a chunk object with VeKa number: " + number;

    // Read anew for every card, so that a changed INI file takes effect without
    // restarting the host.
    const veltor::system::LayeredSettings settings(QCoreApplication::organizationName(),
                                                   QCoreApplication::applicationName(),
                                                   veltor::system::AllSources);
    const QVariant convert = settings.value(QStringLiteral("ch.veltor.kavo-service.system/convertToKeyEvent"));
    if (!convert.isValid() || convert.toBool())
        sender->send(number);
}
