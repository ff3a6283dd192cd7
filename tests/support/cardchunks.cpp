#include "cardchunks.h"

#include "sandbox.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <unistd.h>

const QString sampleCardNumber = QStringLiteral("80756014390000472318");

QString sampleCardXml(const QString &number)
{
    QString xml = readTextFile(QStringLiteral(KAVO_TEST_DATA_DIR "/card-admin.xml"));
    if (xml.isEmpty())
        qFatal("cannot read the sample card in %s", KAVO_TEST_DATA_DIR);
    if (!number.isNull())
        xml.replace(sampleCardNumber, number);
    return xml;
}

QByteArray cardLine(const QString &number, const QString &reader)
{
    const QJsonObject chunk{{"reader", reader},
                            {"event", "card-inserted"},
                            {"content", "card-admin-content"},
                            {"data", sampleCardXml(number)}};
    return QJsonDocument(chunk).toJson(QJsonDocument::Compact) + '\n';
}

QString numberLogged(const QString &number)
{
    return QStringLiteral("Received a chunk object with VeKa number: ") + number;
}

bool writeToPipe(const QString &fifo, const QByteArray &bytes)
{
    const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            break;
        done += n;
    }
    ::close(fd);
    return done == bytes.size();
}
