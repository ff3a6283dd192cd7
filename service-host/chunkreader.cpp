#include "chunkreader.h"

#include <QFile>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcChunkReader, "ch.veltor.kavo-service.host.chunkreader")

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

int openReadOnly(const QString &path, int extraFlags)
{
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | extraFlags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

ChunkReader::ChunkReader(QObject *parent)
    : QObject(parent)
{
}

ChunkReader::~ChunkReader()
{
    closeDescriptor();
}

bool ChunkReader::open(const QString &name)
{
    closeDescriptor();
    source = name;
    error.clear();
    pending.clear();
    scanned = 0;
    discarding = false;

    if (name == QLatin1String("-")) {
        namedPipe = false;
        ownsFd = false;
        watch(STDIN_FILENO);
        return true;
    }

    struct stat info;
    if (::stat(QFile::encodeName(name).constData(), &info) != 0) {
        error = QStringLiteral("cannot open %1: %2").arg(name, systemError());
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        error = QStringLiteral("cannot read chunks from %1: it is a directory").arg(name);
        return false;
    }
    namedPipe = S_ISFIFO(info.st_mode);
    // Without O_NONBLOCK, opening a pipe would wait here for its first writer.
    const int descriptor = openReadOnly(name, namedPipe ? O_NONBLOCK : 0);
    if (descriptor < 0) {
        error = QStringLiteral("cannot open %1: %2").arg(name, systemError());
        return false;
    }
    ownsFd = true;
    watch(descriptor);
    return true;
}

QString ChunkReader::errorString() const
{
    return error;
}

void ChunkReader::setMaxLineLength(int bytes)
{
    maxLength = qMax(1, bytes);
}

int ChunkReader::maxLineLength() const
{
    return maxLength;
}

qint64 ChunkReader::lineCount() const
{
    return lines;
}

void ChunkReader::watch(int descriptor)
{
    fd = descriptor;
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ChunkReader::readAvailable);
}

void ChunkReader::closeDescriptor()
{
    if (notifier) {
        // This may run inside the notifier's own signal.
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
    if (fd >= 0 && ownsFd)
        ::close(fd);
    fd = -1;
    ownsFd = false;
}

void ChunkReader::readAvailable()
{
    if (fd < 0)
        return;
    // One read per wake-up, so that a large file does not starve HTTP; poll
    // reports a regular file as readable until its end.
    char buffer[64 * 1024];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        qCWarning(lcChunkReader).noquote()
            << QStringLiteral("Cannot read the chunk input %1: %2.").arg(source, systemError());
        endOfInput();
        return;
    }
    if (count == 0) {
        endOfInput();
        return;
    }
    pending.append(buffer, int(count));
    takeLines();
}

void ChunkReader::takeLines()
{
    int start = 0;
    int newline;
    while ((newline = pending.indexOf('\n', scanned)) >= 0) {
        ++lines;
        if (discarding)
            discarding = false; // the end of the line that was too long
        else
            handleLine(QByteArray::fromRawData(pending.constData() + start, newline - start));
        start = newline + 1;
        scanned = start;
    }
    pending.remove(0, start);
    scanned = pending.size();

    if (discarding) {
        pending.clear();
        scanned = 0;
    } else if (pending.size() > maxLength) {
        qCWarning(lcChunkReader).noquote()
            << QStringLiteral("Line %1 of the chunk input is longer than %2 bytes; skipped.")
                   .arg(lines + 1).arg(maxLength);
        discarding = true;
        pending.clear();
        scanned = 0;
    }
}

void ChunkReader::handleLine(const QByteArray &rawLine)
{
    QByteArray line = rawLine;
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.trimmed().isEmpty())
        return;
    if (line.size() > maxLength) {
        qCWarning(lcChunkReader).noquote()
            << QStringLiteral("Line %1 of the chunk input is longer than %2 bytes; skipped.")
                   .arg(lines).arg(maxLength);
        return;
    }

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        qCWarning(lcChunkReader).noquote()
            << QStringLiteral("Line %1 of the chunk input is not valid JSON (%2 at offset %3); skipped.")
                   .arg(lines).arg(parseError.errorString()).arg(parseError.offset);
        return;
    }
    if (!document.isObject()) {
        qCWarning(lcChunkReader).noquote()
            << QStringLiteral("Line %1 of the chunk input is not a JSON object; skipped.").arg(lines);
        return;
    }
    Q_EMIT chunkReceived(document.object());
}

void ChunkReader::endOfInput()
{
    // A writer that closes without a final line feed still ends its line.
    if (!pending.isEmpty() || discarding) {
        ++lines;
        if (!discarding)
            handleLine(pending);
    }
    pending.clear();
    scanned = 0;
    discarding = false;

    if (namedPipe && reopenPipe())
        return;

    closeDescriptor();
    qCInfo(lcChunkReader).noquote() << QStringLiteral("End of the chunk input %1.").arg(source);
    Q_EMIT finished();
}

bool ChunkReader::reopenPipe()
{
    // Open the new end before closing the old one: the pipe, and anything a
    // next writer has already put into it, survives in between, and the new
    // end does not report the old writer's hang-up.
    const int descriptor = openReadOnly(source, O_NONBLOCK);
    if (descriptor < 0) {
        qCWarning(lcChunkReader).noquote()
            << QStringLiteral("Cannot reopen the chunk pipe %1: %2.").arg(source, systemError());
        return false;
    }
    closeDescriptor();
    ownsFd = true;
    watch(descriptor);
    qCDebug(lcChunkReader).noquote() << QStringLiteral("The writer closed %1; waiting for the next one.").arg(source);
    return true;
}
