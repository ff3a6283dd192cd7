#include "keyinjector_portal.h"

#include "waylanddisplay.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTimer>

#include <xkbcommon/xkbcommon.h>

#include <set>

namespace {
Q_LOGGING_CATEGORY(lc, "ch.veltor.kavo-user-agent.keyinjector")

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString remoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const uint keyboardDevice = 1;
// Text waiting for the user's answer, at most.
const int maxWaiting = 65536;
// Bound of the start-up check; the bus may have to start the portal first.
const int probeTimeoutMs = 10000;
// Time clients get to take up a keyboard new to the seat.
const int freshSeatMs = 500;

QString objectPath(const QVariant &value)
{
    return value.canConvert<QDBusObjectPath>() ? value.value<QDBusObjectPath>().path() : value.toString();
}
} // namespace

uint32_t layoutKeysym(char32_t character)
{
    if (character == U'\n')
        return XKB_KEY_Return;
    return xkb_utf32_to_keysym(character);
}

std::u32string typableOnLayout(const std::u32string &text, WaylandDisplay *layout)
{
    if (!layout || !layout->layout())
        return text; // nothing to check against: the desktop decides
    std::u32string typable;
    std::set<char32_t> lacking;
    for (char32_t c : text) {
        LayoutKey key;
        if (findLayoutKey(layout->layout(), layout->layoutGroup(), layoutKeysym(c), &key)) {
            typable += c;
        } else if (lacking.insert(c).second) {
            qCWarning(lc).noquote() << "The keyboard layout has no key for"
                                    << QStringLiteral("U+%1").arg(uint(c), 4, 16, QLatin1Char('0')).toUpper()
                                    << "(" + QString::fromUcs4(&c, 1) + "); skipped.";
        }
    }
    return typable;
}

// The portal's session and its requests: each request answers with a signal
// on an object named after our token.
class PortalKeyInjector::Session : public QObject
{
    Q_OBJECT

public:
    enum State { Idle, Starting, Started };

    QDBusConnection bus = QDBusConnection::sessionBus();
    std::shared_ptr<WaylandDisplay> layout;
    State state = Idle;
    QString sessionHandle;
    QString requestPath;
    std::u32string waiting;
    void (Session::*onAnswer)(const QVariantMap &) = nullptr;

    bool settled = false; // started, and the seat has had time to take up the keyboard
    void start();
    void send(const std::u32string &text);
    void notifyKeysym(uint32_t keysym, bool pressed);

public Q_SLOTS:
    void response(uint code, const QVariantMap &results);
    void closed();

private:
    void request(const QString &method, const QVariantList &arguments, QVariantMap options,
                 void (Session::*answer)(const QVariantMap &));
    void created(const QVariantMap &results);
    void selected(const QVariantMap &results);
    void startedSession(const QVariantMap &results);
    void fail(const QString &why);
};

void PortalKeyInjector::Session::request(const QString &method, const QVariantList &arguments, QVariantMap options,
                                         void (Session::*answer)(const QVariantMap &))
{
    const QString token = QStringLiteral("kavo%1").arg(QRandomGenerator::global()->generate());
    options.insert(QStringLiteral("handle_token"), token);
    if (!requestPath.isEmpty())
        bus.disconnect(portalService, requestPath, QStringLiteral("org.freedesktop.portal.Request"),
                       QStringLiteral("Response"), this, SLOT(response(uint,QVariantMap)));
    // Listen before asking, so that a quick answer is not missed.
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    requestPath = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    bus.connect(portalService, requestPath, QStringLiteral("org.freedesktop.portal.Request"),
                QStringLiteral("Response"), this, SLOT(response(uint,QVariantMap)));
    onAnswer = answer;

    QDBusMessage call = QDBusMessage::createMethodCall(portalService, portalPath, remoteDesktop, method);
    call.setArguments(QVariantList(arguments) << options);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, method](QDBusPendingCallWatcher *watcher) {
        watcher->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (reply.isError())
            fail(method + QStringLiteral(" failed: ") + reply.error().message());
    });
}

void PortalKeyInjector::Session::start()
{
    state = Starting;
    settled = false;
    sessionHandle.clear();
    const QString token = QStringLiteral("kavo%1").arg(QRandomGenerator::global()->generate());
    request(QStringLiteral("CreateSession"), {}, {{QStringLiteral("session_handle_token"), token}},
            &Session::created);
}

void PortalKeyInjector::Session::response(uint code, const QVariantMap &results)
{
    if (state != Starting || !onAnswer)
        return;
    if (code != 0) {
        fail(code == 1 ? QStringLiteral("the user declined") : QStringLiteral("the portal gave up"));
        return;
    }
    (this->*onAnswer)(results);
}

void PortalKeyInjector::Session::created(const QVariantMap &results)
{
    sessionHandle = objectPath(results.value(QStringLiteral("session_handle")));
    bus.connect(portalService, sessionHandle, QStringLiteral("org.freedesktop.portal.Session"),
                QStringLiteral("Closed"), this, SLOT(closed()));
    request(QStringLiteral("SelectDevices"), {QVariant::fromValue(QDBusObjectPath(sessionHandle))},
            {{QStringLiteral("types"), keyboardDevice}}, &Session::selected);
}

void PortalKeyInjector::Session::selected(const QVariantMap &)
{
    request(QStringLiteral("Start"), {QVariant::fromValue(QDBusObjectPath(sessionHandle)), QString()}, {},
            &Session::startedSession);
}

void PortalKeyInjector::Session::startedSession(const QVariantMap &results)
{
    onAnswer = nullptr;
    if (results.contains(QStringLiteral("devices"))
        && !(results.value(QStringLiteral("devices")).toUInt() & keyboardDevice)) {
        fail(QStringLiteral("the keyboard was not granted"));
        return;
    }
    state = Started;
    qCInfo(lc) << "The RemoteDesktop portal lets us type.";
    // mutter adds its virtual keyboard to the seat with the first key, and
    // clients take it up a moment later: a lone Shift now, so that the first
    // character of a text is not lost, and text only after that moment.
    notifyKeysym(XKB_KEY_Shift_L, true);
    notifyKeysym(XKB_KEY_Shift_L, false);
    QTimer::singleShot(freshSeatMs, this, [this] {
        settled = true;
        std::u32string text;
        text.swap(waiting);
        send(text);
    });
}

void PortalKeyInjector::Session::notifyKeysym(uint32_t keysym, bool pressed)
{
    QDBusMessage call = QDBusMessage::createMethodCall(portalService, portalPath, remoteDesktop,
                                                       QStringLiteral("NotifyKeyboardKeysym"));
    call << QVariant::fromValue(QDBusObjectPath(sessionHandle)) << QVariantMap() << int(keysym) << uint(pressed);
    bus.send(call);
}

void PortalKeyInjector::Session::closed()
{
    qCWarning(lc) << "The RemoteDesktop portal closed the session; the user is asked again for the next text.";
    state = Idle;
    onAnswer = nullptr;
}

void PortalKeyInjector::Session::fail(const QString &why)
{
    if (state == Idle)
        return;
    if (waiting.empty())
        qCWarning(lc).noquote().nospace() << "The RemoteDesktop portal does not let us type: " << why << '.';
    else
        qCWarning(lc).noquote().nospace() << "The RemoteDesktop portal does not let us type: " << why << "; "
                                          << waiting.size() << " characters were not typed.";
    waiting.clear();
    state = Idle;
    onAnswer = nullptr;
    if (!sessionHandle.isEmpty()) {
        bus.call(QDBusMessage::createMethodCall(portalService, sessionHandle, QStringLiteral("org.freedesktop.portal.Session"),
                                                QStringLiteral("Close")), QDBus::NoBlock);
    }
}

void PortalKeyInjector::Session::send(const std::u32string &text)
{
    for (char32_t c : typableOnLayout(text, layout.get())) {
        notifyKeysym(layoutKeysym(c), true);
        notifyKeysym(layoutKeysym(c), false);
    }
}

PortalKeyInjector::PortalKeyInjector(std::unique_ptr<Session> session)
    : session(std::move(session))
{
}

PortalKeyInjector::~PortalKeyInjector()
{
    flush();
}

std::unique_ptr<PortalKeyInjector> PortalKeyInjector::open(std::shared_ptr<WaylandDisplay> layout, std::string *whyNot)
{
    auto fail = [whyNot](const QString &reason) {
        if (whyNot)
            *whyNot = reason.toStdString();
        return std::unique_ptr<PortalKeyInjector>();
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return fail(QStringLiteral("no D-Bus session bus"));
    QDBusMessage get = QDBusMessage::createMethodCall(portalService, portalPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << remoteDesktop << QStringLiteral("AvailableDeviceTypes");
    const QDBusMessage reply = bus.call(get, QDBus::Block, probeTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return fail(QStringLiteral("the desktop has no RemoteDesktop portal (") + reply.errorMessage() + ')');
    const uint types = reply.arguments().value(0).value<QDBusVariant>().variant().toUInt();
    if (!(types & keyboardDevice))
        return fail(QStringLiteral("the RemoteDesktop portal offers no keyboard"));

    std::unique_ptr<Session> session(new Session);
    session->layout = std::move(layout);
    if (session->layout)
        session->layout->watchLayout();
    // Ask the user now, at log-in, rather than when the first card comes.
    session->start();
    return std::unique_ptr<PortalKeyInjector>(new PortalKeyInjector(std::move(session)));
}

void PortalKeyInjector::type(const std::u32string &text)
{
    if (session->state == Session::Started && session->settled) {
        session->send(text);
        return;
    }
    if (session->state == Session::Idle)
        session->start();
    if (session->waiting.size() + text.size() > size_t(maxWaiting)) {
        qCWarning(lc) << "Still waiting for the RemoteDesktop portal;" << text.size() << "characters were not typed.";
        return;
    }
    session->waiting += text;
}

#include "keyinjector_portal.moc"
