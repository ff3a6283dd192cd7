#include "cardsource.h"

#include "cardreaderworker.h"

#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QThread>

Q_LOGGING_CATEGORY(lcCardSource, "ch.veltor.kavo-service.host.cardsource")

CardSource::CardSource(QObject *parent)
    : QObject(parent)
{
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, &CardSource::checkExchange);
}

CardSource::~CardSource()
{
    watchdog.stop();
    std::vector<Worker> workers = leftBehind;
    if (current.thread)
        workers.push_back(current);
    for (const Worker &w : workers)
        w.worker->stop();
    const QDeadlineTimer deadline(StopTimeoutMs);
    for (const Worker &w : workers) {
        while (!w.thread->wait(50) && !deadline.hasExpired())
            w.worker->stop(); // the first stop may have come before the worker began to wait
        if (!w.thread->isFinished()) {
            // Destroying a running thread would abort the process; the card
            // keeps it busy, so it stays behind until the process ends.
            qCWarning(lcCardSource, "A card reader worker is still waiting for a card; leaving it behind.");
            continue;
        }
        delete w.worker;
        delete w.thread;
    }
}

void CardSource::start()
{
    if (!current.thread)
        startWorker();
}

QJsonObject CardSource::insertionChunk(const QString &reader, const QString &xml)
{
    return QJsonObject{{QStringLiteral("reader"), reader},
                       {QStringLiteral("event"), QStringLiteral("card-inserted")},
                       {QStringLiteral("content"), QStringLiteral("card-admin-content")},
                       {QStringLiteral("data"), xml}};
}

QJsonObject CardSource::removalChunk(const QString &reader)
{
    return QJsonObject{{QStringLiteral("reader"), reader}, {QStringLiteral("event"), QStringLiteral("card-removed")}};
}

void CardSource::startWorker()
{
    auto *worker = new CardReaderWorker(leftAlone);
    QThread *thread = QThread::create([worker] { worker->run(); });
    thread->setObjectName(QStringLiteral("card readers"));
    const int id = ++generation;
    // Whatever a replaced worker still reports is old news.
    connect(worker, &CardReaderWorker::cardRead, this, [this, id](const QString &reader, const QString &xml, bool wasThere) {
        if (id == generation)
            cardRead(reader, xml, wasThere);
    }, Qt::QueuedConnection);
    connect(worker, &CardReaderWorker::cardUnread, this, [this, id](const QString &reader) {
        if (id == generation)
            cardUnread(reader);
    }, Qt::QueuedConnection);
    connect(worker, &CardReaderWorker::cardLeft, this, [this, id](const QString &reader) {
        if (id == generation)
            cardLeft(reader);
    }, Qt::QueuedConnection);
    connect(worker, &CardReaderWorker::readingStarted, this, [this, id] {
        if (id == generation && !watchdog.isActive())
            watchdog.start(ExchangeTimeoutMs);
    }, Qt::QueuedConnection);
    connect(thread, &QThread::finished, this, [this, thread] { reap(thread); });
    current = {worker, thread};
    thread->start();
}

void CardSource::checkExchange()
{
    const CardReaderWorker::Exchange exchange = current.worker->exchange();
    if (exchange.reader.isEmpty())
        return;
    const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - exchange.since);
    if (age.count() < ExchangeTimeoutMs) {
        watchdog.start(ExchangeTimeoutMs - int(age.count()));
        return;
    }
    qCWarning(lcCardSource).noquote()
        << QStringLiteral("The card in reader \"%1\" (ATR %2) did not answer within %3 ms; it is left alone until it is taken out.")
               .arg(exchange.reader, QString::fromLatin1(exchange.atr.toHex(' ').toUpper()))
               .arg(ExchangeTimeoutMs);
    leftAlone.insert(exchange.reader);
    if (!held.contains(exchange.reader))
        held.insert(exchange.reader, QString());
    current.worker->stop();
    leftBehind.push_back(current);
    startWorker();
}

void CardSource::reap(QThread *thread)
{
    for (auto it = leftBehind.begin(); it != leftBehind.end(); ++it) {
        if (it->thread == thread) {
            thread->wait(); // it is in its last steps
            delete it->worker;
            delete thread;
            leftBehind.erase(it);
            return;
        }
    }
}

void CardSource::cardRead(const QString &reader, const QString &xml, bool wasThere)
{
    const auto held = this->held.constFind(reader);
    if (held != this->held.constEnd()) {
        if (wasThere && *held == xml) {
            qCDebug(lcCardSource).noquote()
                << QStringLiteral("The card in reader \"%1\" was reported before.").arg(reader);
            return;
        }
        cardLeft(reader); // another card took its place unseen
    }
    this->held.insert(reader, xml);
    qCInfo(lcCardSource).noquote() << QStringLiteral("A VeKa card was inserted into reader \"%1\".").arg(reader);
    Q_EMIT chunkReceived(insertionChunk(reader, xml));
}

void CardSource::cardUnread(const QString &reader)
{
    if (!held.contains(reader))
        held.insert(reader, QString());
}

void CardSource::cardLeft(const QString &reader)
{
    leftAlone.remove(reader);
    if (!held.remove(reader))
        return;
    qCInfo(lcCardSource).noquote() << QStringLiteral("The card was taken out of reader \"%1\".").arg(reader);
    Q_EMIT chunkReceived(removalChunk(reader));
}
