#pragma once

#include "bodyformatter.h"
#include "bodyparser.h"

namespace google {
namespace protobuf {
class Message;
}
}

// JSON bodies for protobuf models. The processor reads and fills the messages
// it is pointed at but never owns them.
class JsonProcessor : public BodyFormatter, public BodyParser
{
public:
    JsonProcessor() = default;
    ~JsonProcessor() override = default;

    QString contentType() const override;
    void format(QByteArray &body) override;
    // Bad base64 in a bytes field throws std::runtime_error to the caller.
    void parse(const QByteArray &body) override;

    void setDestinationModel(google::protobuf::Message *model) { destinationModel = model; }
    void setSourceModel(const google::protobuf::Message *model) { sourceModel = model; }

private:
    google::protobuf::Message *destinationModel = nullptr;
    const google::protobuf::Message *sourceModel = nullptr;
};
