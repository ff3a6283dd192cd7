#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QString>
#include <QTextCodec>
#include <QTimer>

#include "applicationpaths.h"
#include "connectionpeer.h"
#include "consoleappender.h"
#include "keyboardemulator.h"
#include "keysequencelink.h"
#include "logger.h"
#include "rotatefileappender.h"
#include "terminationsignals.h"

#include <memory>

namespace {

const QString logFormat = QStringLiteral("[%-4T][%t{yyyy-MM-ddTHH:mm:ss.zzz}][%-7l][%k] %m\n");

Q_LOGGING_CATEGORY(lcAgent, "ch.veltor.kavo-user-agent.main")

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Veltor"));
    QCoreApplication::setApplicationName(QStringLiteral("Kavo-User-Agent"));
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Types every text that the card plug-in sends."));
    options.addHelpOption();
    const QCommandLineOption backend(
        QStringLiteral("keyboard-backend"),
        QStringLiteral("How keys are typed: auto (the default: chosen from the session), wayland (virtual "
                       "keyboard of wlroots compositors such as sway), kde (KWin's fake input), portal "
                       "(RemoteDesktop portal, GNOME) or x11 (XTest). Also taken from KAVO_KEYBOARD_BACKEND."),
        QStringLiteral("name"));
    options.addOption(backend);
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Log the routine steps at debug level too; they carry the typed text."));
    options.addOption(verbose);
    options.process(app);
    // Debug lines carry the typed text; QT_LOGGING_RULES still overrides this.
    if (!options.isSet(verbose))
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    if (options.isSet(backend)) // the emulator reads it from there
        qputenv("KAVO_KEYBOARD_BACKEND", options.value(backend).toLocal8Bit());

    // Registered appenders stay with the logger for the rest of the process.
    auto *console = new ConsoleAppender;
    console->setFormat(logFormat);
    Logger::registerAppender(console);

    const QDir logDir = veltor::system::ApplicationPaths::path(
        veltor::system::ApplicationPaths::System, veltor::system::ApplicationPaths::Logging);
    QDir().mkpath(logDir.absolutePath());

    auto *file = new RotateFileAppender(logDir.absoluteFilePath(QStringLiteral("Kavo-User-Agent.log")),
                                        5, 1048576u);
    file->setFormat(logFormat);
    Logger::registerAppender(file);

    // SIGTERM and SIGINT end the event loop, so that the peer closes its socket
    // and the log is complete.
    const bool watching = veltor::system::quitOnTerminationSignals(&app, [](int signalNumber) {
        qCInfo(lcAgent, "Quitting on signal %d.", signalNumber);
    });
#ifdef Q_OS_UNIX
    if (!watching)
        qCWarning(lcAgent, "Cannot watch for termination signals.");
#else
    Q_UNUSED(watching)
#endif

    // The emulator is made first so that it outlives the peer: the peer's
    // destructor may still deliver the last bytes of a closing link.
    KeyboardEmulator keyboard;
    namespace link = veltor::system::keysequencelink;
    veltor::system::ConnectionPeer peer(link::channel, link::organization, link::application);
    // One decoder for the whole run: a character cut between two reads is
    // completed by the next one instead of turning into replacement characters.
    const std::unique_ptr<QTextDecoder> decoder(link::makeDecoder());
    QObject::connect(&peer, &veltor::system::ConnectionPeer::messageReceived, &peer,
                     [&keyboard, &decoder](const QByteArray &message) {
                         keyboard.sendKeySequence(decoder->toUnicode(message));
                     },
                     Qt::DirectConnection);

    // The election is repeated for the whole run: it brings back a lost link
    // and does nothing while the link stands.
    QTimer election;
    QObject::connect(&election, &QTimer::timeout, &peer, [&peer] { peer.connectOrListen(100); },
                     Qt::DirectConnection);
    election.start(1000);

    return app.exec();
}
