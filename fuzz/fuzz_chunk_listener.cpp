// Chunks of any shape, and hostile card XML, into the card chunk listener with
// a sender that records instead of reaching a user agent.
//
// Input: one mode byte, then the payload.
//   mode 0-127:   the payload is the chunk itself, as JSON text (any value).
//   mode 128-255: the payload is the card's XML, inside a chunk that passes the
//                 reader, content and event tests. The low bits of the mode
//                 grow it: bits 0-1 select nothing, deep nesting, a huge text
//                 or many elements; bits 2-6 select the size (2^bits).

#include "chunklistener.h"
#include "keysequencesender.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

class RecordingSender : public KeySequenceSender
{
public:
    void send(const QString &text) override
    {
        ++count;
        last = text;
    }

    int count = 0;
    QString last;
};

void silence(QtMsgType, const QMessageLogContext &, const QString &)
{
}

QCoreApplication *application = nullptr;
QTemporaryDir *home = nullptr;

// Kept below what -rss_limit_mb allows after QtXmlPatterns' own overhead.
constexpr int maxGrownSize = 4 << 20;

QByteArray grow(const QByteArray &xml, unsigned mode)
{
    const int count = 1 << qMin(24u, (mode >> 2) & 31);
    switch (mode & 3) {
    case 1: {
        // deep nesting around the payload
        const int depth = qMin(count, maxGrownSize / 8);
        QByteArray out;
        out.reserve(depth * 8 + xml.size());
        for (int i = 0; i < depth; ++i)
            out += "<a>";
        out += xml;
        for (int i = 0; i < depth; ++i)
            out += "</a>";
        return out;
    }
    case 2: {
        // the payload repeated as one huge text
        const int times = qMin(count, maxGrownSize / qMax(1, xml.size()));
        return xml.repeated(times);
    }
    case 3: {
        // the payload repeated inside the number element
        const int times = qMin(count, maxGrownSize / qMax(1, xml.size() + 40));
        QByteArray out = "<vk-adm:adminDataRoot xmlns:vk-adm=\"http://www.ehealth.admin.ch/xmlns/vk-adm/1\">"
                         "<vk-adm:adminData><vk-adm:administrativeData><vk-adm:insuredPersonNumber>";
        out += xml.repeated(times);
        out += "</vk-adm:insuredPersonNumber></vk-adm:administrativeData></vk-adm:adminData>"
               "</vk-adm:adminDataRoot>";
        return out;
    }
    default:
        return xml;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // No settings file of the machine or the user may decide whether a number is sent.
    home = new QTemporaryDir;
    for (const char *name : {"HOME", "APPDATA", "ALLUSERSPROFILE", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"})
        qputenv(name, home->path().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    application = new QCoreApplication(*argc, *argv);
    QCoreApplication::setOrganizationName(QStringLiteral("KavoFuzz"));
    QCoreApplication::setApplicationName(QStringLiteral("kavo-fuzz-chunk-listener"));
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    qInstallMessageHandler(silence);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned mode = data[0];
    const QByteArray payload = QByteArray::fromRawData(reinterpret_cast<const char *>(data + 1), int(size - 1));

    QJsonValue chunk;
    const bool card = mode >= 128;
    if (card) {
        const QString xml = QString::fromUtf8(grow(payload, mode & 127));
        chunk = QJsonObject{{"reader", "CHERRY ST-1144"},
                            {"event", "card-inserted"},
                            {"content", "card-admin-content"},
                            {"data", xml}};
    } else {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
        if (document.isObject())
            chunk = document.object();
        else if (document.isArray())
            chunk = document.array();
        else
            chunk = QJsonValue(QString::fromUtf8(payload));
    }

    auto *recorder = new RecordingSender;
    {
        ChunkListener listener{std::unique_ptr<KeySequenceSender>(recorder)};
        listener.chunkUpdated(chunk);

        const QJsonObject object = chunk.toObject();
        const bool passes = object.value("reader").toString().contains("cherry", Qt::CaseInsensitive)
                            && object.value("content").toString() == "card-admin-content"
                            && object.value("event").toString() == "card-inserted";
        if (recorder->count > 1 || (recorder->count == 1 && !passes)) {
            std::fprintf(stderr, "chunk listener sent %d times for a chunk that %s\n", recorder->count,
                         passes ? "passes" : "must be dropped");
            std::abort();
        }
        if (recorder->count == 1 && recorder->last != recorder->last.trimmed()) {
            std::fprintf(stderr, "chunk listener sent untrimmed text\n");
            std::abort();
        }
    }
    return 0;
}
