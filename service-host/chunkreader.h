#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Reads chunks, one JSON object per line, from standard input, a regular file
// or a named pipe, on the event loop. A named pipe is reopened whenever its
// writer closes it, so that one writer after another can feed the host; a
// regular file or standard input ends at its end.
//
// Lines that are not JSON objects, and lines longer than the maximum, are
// skipped with a warning that names the line number; the reader goes on.
class ChunkReader : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultMaxLineLength = 16 * 1024 * 1024;

    explicit ChunkReader(QObject *parent = nullptr);
    ~ChunkReader() override;

    // "-" is standard input. False, with errorString(), when the source cannot
    // be opened.
    bool open(const QString &source);
    QString errorString() const;

    // Bytes of one line, without its line feed.
    void setMaxLineLength(int bytes);
    int maxLineLength() const;

    // Lines seen so far, skipped ones included.
    qint64 lineCount() const;

Q_SIGNALS:
    void chunkReceived(const QJsonObject &chunk);
    // End of a regular file or of standard input; a named pipe never ends.
    void finished();

private:
    void readAvailable();
    void takeLines();
    void handleLine(const QByteArray &line);
    void endOfInput();
    bool reopenPipe();
    void watch(int descriptor);
    void closeDescriptor();

    QString source;
    QString error;
    int fd = -1;
    bool ownsFd = false;
    bool namedPipe = false;
    QSocketNotifier *notifier = nullptr;
    QByteArray pending;
    // The rest of an over-long line is dropped up to its line feed.
    int scanned = 0; // bytes of pending known to hold no line feed
    bool discarding = false;
    int maxLength = DefaultMaxLineLength;
    qint64 lines = 0;

    Q_DISABLE_COPY(ChunkReader)
};
