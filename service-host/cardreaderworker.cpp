#include "cardreaderworker.h"

#include "cardadmindata.h"
#include "cardfilereader.h"

#include <QElapsedTimer>
#include <QHash>
#include <QLoggingCategory>
#include <QMutexLocker>

#include <vector>

Q_LOGGING_CATEGORY(lcCardWorker, "ch.veltor.kavo-service.host.cardworker")

namespace {

// Reports readers being plugged in or pulled out.
const char plugAndPlayReader[] = "\\\\?PnP?\\Notification";

constexpr quint16 efId = 0x2f06;
constexpr quint16 efAd = 0x2f07;

// Errors after which the context is of no more use.
bool serviceGone(LONG error)
{
    switch (error) {
    case LONG(SCARD_E_NO_SERVICE):
    case LONG(SCARD_E_SERVICE_STOPPED):
    case LONG(SCARD_E_INVALID_HANDLE):
    case LONG(SCARD_F_COMM_ERROR):
        return true;
    default:
        return false;
    }
}

QString errorText(LONG error)
{
    return QStringLiteral("%1, 0x%2")
        .arg(QString::fromLocal8Bit(pcsc_stringify_error(error)))
        .arg(quint32(error), 8, 16, QLatin1Char('0'));
}

QString atrText(const QByteArray &atr)
{
    return atr.isEmpty() ? QStringLiteral("none") : QString::fromLatin1(atr.toHex(' ').toUpper());
}

} // namespace

CardReaderWorker::CardReaderWorker(const QSet<QString> &leftAlone, QObject *parent)
    : QObject(parent)
    , leftAlone(leftAlone)
{
}

CardReaderWorker::~CardReaderWorker() = default;

void CardReaderWorker::stop()
{
    stopping = true;
    wake.release();
    if (const SCARDCONTEXT cancelled = context.load())
        SCardCancel(cancelled);
}

CardReaderWorker::Exchange CardReaderWorker::exchange() const
{
    QMutexLocker locker(&exchangeMutex);
    return current;
}

void CardReaderWorker::run()
{
    while (!stopping) {
        if (establish()) {
            watch();
            const SCARDCONTEXT released = context.exchange(0);
            SCardReleaseContext(released);
            if (stopping)
                break;
            if (lostWith != SCARD_S_SUCCESS) {
                qCWarning(lcCardWorker).noquote()
                    << QStringLiteral("Lost the PC/SC service (%1); trying again every %2 s.")
                           .arg(errorText(lostWith))
                           .arg(RetryIntervalMs / 1000);
                missingLogged = true;
                lostWith = SCARD_S_SUCCESS;
                continue; // a restarted service may be back at once
            }
        }
        wake.tryAcquire(1, RetryIntervalMs);
    }
}

bool CardReaderWorker::establish()
{
    SCARDCONTEXT established = 0;
    const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &established);
    if (rv != SCARD_S_SUCCESS) {
        if (!missingLogged) {
            qCWarning(lcCardWorker).noquote()
                << QStringLiteral("The PC/SC service is not available (%1); trying again every %2 s.")
                       .arg(errorText(rv))
                       .arg(RetryIntervalMs / 1000);
            missingLogged = true;
        }
        return false;
    }
    context = established;
    missingLogged = false;
    qCInfo(lcCardWorker, "Watching the card readers of the PC/SC service.");
    return true;
}

bool CardReaderWorker::listReaders(QStringList *names)
{
    names->clear();
    for (int attempt = 0; attempt < 3; ++attempt) { // the list may grow between the two calls
        DWORD size = 0;
        LONG rv = SCardListReaders(context, nullptr, nullptr, &size);
        if (rv == LONG(SCARD_E_NO_READERS_AVAILABLE))
            return true;
        QByteArray buffer;
        if (rv == SCARD_S_SUCCESS) {
            buffer.resize(int(size));
            rv = SCardListReaders(context, nullptr, buffer.data(), &size);
        }
        if (rv == LONG(SCARD_E_NO_READERS_AVAILABLE))
            return true;
        if (rv == LONG(SCARD_E_INSUFFICIENT_BUFFER))
            continue;
        if (rv != SCARD_S_SUCCESS) {
            lostWith = serviceGone(rv) ? rv : LONG(SCARD_E_NO_SERVICE);
            return false;
        }
        for (const QByteArray &name : buffer.left(int(size)).split('\0')) {
            if (!name.isEmpty())
                names->append(QString::fromUtf8(name));
        }
        return true;
    }
    return true;
}

void CardReaderWorker::watch()
{
    QHash<QString, Reader> readers;
    DWORD plugAndPlay = SCARD_STATE_UNAWARE;
    bool firstLook = true;
    while (!stopping && lostWith == SCARD_S_SUCCESS) {
        QStringList names;
        if (!listReaders(&names))
            return;
        for (auto it = readers.begin(); it != readers.end();) {
            if (names.contains(it.key())) {
                ++it;
                continue;
            }
            qCInfo(lcCardWorker).noquote() << QStringLiteral("Card reader \"%1\" is gone.").arg(it.key());
            if (it->cardIn)
                Q_EMIT cardLeft(it.key());
            it = readers.erase(it);
        }
        for (const QString &name : qAsConst(names)) {
            if (!readers.contains(name)) {
                qCInfo(lcCardWorker).noquote() << QStringLiteral("Card reader \"%1\" found.").arg(name);
                readers.insert(name, Reader());
            }
        }

        std::vector<QByteArray> encoded;
        std::vector<SCARD_READERSTATE> states;
        encoded.reserve(size_t(names.size()));
        for (const QString &name : qAsConst(names)) {
            encoded.push_back(name.toUtf8());
            SCARD_READERSTATE state = {};
            state.szReader = encoded.back().constData();
            state.dwCurrentState = readers.value(name).state;
            states.push_back(state);
        }
        SCARD_READERSTATE pnp = {};
        pnp.szReader = plugAndPlayReader;
        pnp.dwCurrentState = plugAndPlay;
        states.push_back(pnp);

        const LONG rv = SCardGetStatusChange(context, INFINITE, states.data(), DWORD(states.size()));
        if (rv == LONG(SCARD_E_CANCELLED) || rv == LONG(SCARD_E_TIMEOUT))
            continue;
        if (rv != SCARD_S_SUCCESS) {
            lostWith = rv;
            return;
        }
        plugAndPlay = states.back().dwEventState & ~DWORD(SCARD_STATE_CHANGED);
        for (int i = 0; i < names.size() && !stopping && lostWith == SCARD_S_SUCCESS; ++i)
            update(names.at(i), &readers[names.at(i)], states[size_t(i)], firstLook);
        firstLook = false;
    }
}

void CardReaderWorker::update(const QString &name, Reader *reader, const SCARD_READERSTATE &state, bool firstLook)
{
    const DWORD now = state.dwEventState;
    const bool cardIn = (now & SCARD_STATE_PRESENT) && !(now & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE));
    // pcsc-lite counts insertions and removals in the upper half: a card
    // exchanged between two looks is seen there.
    const bool exchanged = reader->cardIn && cardIn && (now >> 16) != (reader->state >> 16);
    reader->state = now & ~DWORD(SCARD_STATE_CHANGED);

    if (reader->cardIn && (!cardIn || exchanged)) {
        reader->cardIn = false;
        leftAlone.remove(name);
        Q_EMIT cardLeft(name);
    } else if (firstLook && !cardIn) {
        Q_EMIT cardLeft(name); // a card held before this context may be gone
    }
    if (!cardIn || reader->cardIn)
        return;
    reader->cardIn = true;
    if (leftAlone.contains(name)) {
        qCDebug(lcCardWorker).noquote() << QStringLiteral("The card in reader \"%1\" is left alone.").arg(name);
        return;
    }
    readCard(name, QByteArray(reinterpret_cast<const char *>(state.rgbAtr), int(state.cbAtr)), firstLook);
}

LONG CardReaderWorker::exchangeWith(const QString &reader, const QByteArray &atr, const std::function<LONG()> &call)
{
    {
        QMutexLocker locker(&exchangeMutex);
        current = {reader, atr, std::chrono::steady_clock::now()};
    }
    const LONG rv = call();
    QMutexLocker locker(&exchangeMutex);
    current.reader.clear();
    return rv;
}

void CardReaderWorker::readCard(const QString &reader, const QByteArray &atr, bool wasThere)
{
    qCDebug(lcCardWorker).noquote() << QStringLiteral("A card is in reader \"%1\".").arg(reader);
    Q_EMIT readingStarted();
    QElapsedTimer clock;
    clock.start();

    const QByteArray name = reader.toUtf8();
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    LONG rv = exchangeWith(reader, atr, [&] {
        return SCardConnect(context, name.constData(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                            &card, &protocol);
    });
    CardFileReader::Result result = CardFileReader::LinkFailed;
    QByteArray id;
    QByteArray ad;
    CardFileReader files([&](const QByteArray &command, QByteArray *response) {
        if (stopping)
            return false;
        unsigned char buffer[258];
        DWORD length = sizeof buffer;
        rv = exchangeWith(reader, atr, [&] {
            return SCardTransmit(card, protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0,
                                 reinterpret_cast<const unsigned char *>(command.constData()), DWORD(command.size()),
                                 nullptr, buffer, &length);
        });
        if (rv != SCARD_S_SUCCESS)
            return false;
        *response = QByteArray(reinterpret_cast<const char *>(buffer), int(length));
        return true;
    });
    if (rv == SCARD_S_SUCCESS) {
        result = files.readFile(efId, &id);
        if (result == CardFileReader::Read)
            result = files.readFile(efAd, &ad);
        exchangeWith(reader, atr, [card] { return SCardDisconnect(card, SCARD_LEAVE_CARD); });
    }
    if (stopping)
        return;
    if (serviceGone(rv)) {
        lostWith = rv; // the card is read again with the next context
        return;
    }

    QString why;
    if (result == CardFileReader::LinkFailed) {
        qCInfo(lcCardWorker).noquote() << QStringLiteral("The card in reader \"%1\" could not be read (ATR %2): %3.")
                                              .arg(reader, atrText(atr), errorText(rv));
        Q_EMIT cardUnread(reader);
        return;
    }
    const std::optional<CardAdminData> data =
        result == CardFileReader::Read ? CardAdminData::fromFiles(id, ad, &why) : std::nullopt;
    if (!data) {
        if (result == CardFileReader::Refused)
            why = files.refusal();
        qCInfo(lcCardWorker).noquote() << QStringLiteral("The card in reader \"%1\" is not a VeKa card (ATR %2): %3.")
                                              .arg(reader, atrText(atr), why);
        return;
    }
    qCDebug(lcCardWorker).noquote() << QStringLiteral("Read the VeKa card in reader \"%1\" with %2 commands in %3 ms.")
                                           .arg(reader)
                                           .arg(files.commands())
                                           .arg(double(clock.nsecsElapsed()) / 1e6, 0, 'f', 2);
    Q_EMIT cardRead(reader, data->toXml(), wasThere);
}
