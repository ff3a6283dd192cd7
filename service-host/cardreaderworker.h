#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QSet>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>

#include <winscard.h>

// Watches every PC/SC reader, readers plugged in later included, and reads the
// VeKa cards that are put into them. run() blocks in PC/SC calls and belongs
// on a thread of its own; the signals are emitted on that thread and reach
// receivers on other threads queued.
//
// When the PC/SC service is missing or goes away, the worker tries again
// every 2 s with a new context. It never decides what becomes a chunk: it
// reports what it found, and its owner keeps the state across workers.
class CardReaderWorker : public QObject
{
    Q_OBJECT
public:
    static constexpr int RetryIntervalMs = 2000;

    // Cards in the readers named are not read until they have been taken out:
    // they did not answer an earlier worker.
    explicit CardReaderWorker(const QSet<QString> &leftAlone = {}, QObject *parent = nullptr);
    ~CardReaderWorker() override;

    void run();

    // Any thread. run() returns once it waits for PC/SC again; an exchange
    // with a card is not cut short. A stop that comes just before the worker
    // begins to wait is missed, so the caller repeats it until run() returned.
    void stop();

    struct Exchange
    {
        QString reader; // empty when no exchange is in progress
        QByteArray atr;
        std::chrono::steady_clock::time_point since;
    };
    // Any thread: the exchange with a card in progress.
    Exchange exchange() const;

Q_SIGNALS:
    // A VeKa card was read; wasThere when it was in the reader already when
    // this worker began to watch (at start, or with a new PC/SC context).
    void cardRead(const QString &reader, const QString &xml, bool wasThere);
    // A card that may be a VeKa card could not be read: it went away during
    // the read or did not answer.
    void cardUnread(const QString &reader);
    // The reader has no card (any more), or is gone.
    void cardLeft(const QString &reader);
    // Before the first exchange with a card.
    void readingStarted();

private:
    struct Reader
    {
        DWORD state = SCARD_STATE_UNAWARE;
        bool cardIn = false;
    };

    bool establish();
    void watch();
    bool listReaders(QStringList *names);
    void update(const QString &name, Reader *reader, const SCARD_READERSTATE &state, bool firstLook);
    void readCard(const QString &reader, const QByteArray &atr, bool wasThere);
    LONG exchangeWith(const QString &reader, const QByteArray &atr, const std::function<LONG()> &call);

    std::atomic<bool> stopping{false};
    std::atomic<SCARDCONTEXT> context{0};
    QSemaphore wake;
    LONG lostWith = SCARD_S_SUCCESS; // a card call found the service gone
    bool missingLogged = false;
    QSet<QString> leftAlone;

    mutable QMutex exchangeMutex;
    Exchange current;

    Q_DISABLE_COPY(CardReaderWorker)
};
