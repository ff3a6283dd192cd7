#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <vector>

class CardReaderWorker;
class QThread;

// Turns what the card readers see into chunks, on the thread it lives on:
//   {"reader": R, "event": "card-inserted", "content": "card-admin-content", "data": XML}
//   {"reader": R, "event": "card-removed"}
// The PC/SC calls run on a worker thread. Each exchange with a card is
// bounded: when a card does not answer in time, that worker is left to finish
// on its own and a new one takes over, leaving that card alone until it is
// taken out. A card that was reported stays reported across PC/SC restarts
// and new workers, so a card left in its reader is typed once.
class CardSource : public QObject
{
    Q_OBJECT
public:
    static constexpr int ExchangeTimeoutMs = 2000;
    // How long the destructor waits for the workers to end.
    static constexpr int StopTimeoutMs = 2000;

    explicit CardSource(QObject *parent = nullptr);
    ~CardSource() override;

    void start();

    static QJsonObject insertionChunk(const QString &reader, const QString &xml);
    static QJsonObject removalChunk(const QString &reader);

Q_SIGNALS:
    void chunkReceived(const QJsonObject &chunk);

private:
    struct Worker
    {
        CardReaderWorker *worker = nullptr;
        QThread *thread = nullptr;
    };

    void startWorker();
    void checkExchange();
    void cardRead(const QString &reader, const QString &xml, bool wasThere);
    void cardUnread(const QString &reader);
    void cardLeft(const QString &reader);
    void reap(QThread *thread);

    Worker current;
    int generation = 0;
    std::vector<Worker> leftBehind; // workers stuck with a card that did not answer
    QTimer watchdog;
    // Readers with a card that was reported (its XML) or cut short (empty).
    QHash<QString, QString> held;
    QSet<QString> leftAlone;

    Q_DISABLE_COPY(CardSource)
};
