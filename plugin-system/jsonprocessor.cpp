#include "jsonprocessor.h"

#include "protobufjsonconverter.h"

#include <QLoggingCategory>

#include <string>

Q_LOGGING_CATEGORY(lcJsonProcessor, "ch.veltor.kavo-service.jsonprocessor")

QString JsonProcessor::contentType() const
{
    return QStringLiteral("application/json");
}

void JsonProcessor::format(QByteArray &body)
{
    if (!sourceModel) {
        qCWarning(lcJsonProcessor, "Formatting without any source model.");
        return;
    }
    std::string json;
    ProtobufJsonConverter::messageToJson(*sourceModel, json);
    body = QByteArray::fromStdString(json);
}

void JsonProcessor::parse(const QByteArray &body)
{
    if (!destinationModel) {
        qCWarning(lcJsonProcessor, "Parsing without any destination model.");
        return;
    }
    // A failed parse leaves whatever was filled before the failure; callers that
    // care check the message itself.
    std::string error;
    ProtobufJsonConverter::jsonToMessage(body.toStdString(), destinationModel, error);
}
