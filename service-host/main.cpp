// kavo-service: a small stand-in for the service host that loads
// m3-plugin-system. It serves HTTP through the plug-ins' controller
// strategies and hands the chunks it reads to their chunk listeners.

#include "cardsource.h"
#include "chunkreader.h"
#include "controllerhandler.h"
#include "pluginhost.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonValue>
#include <QLoggingCategory>

#include <zn-http/dispatcher.h>
#include <zn-http/httpserver.h>
#include <zn-http/request.h>
#include <zn-http/response.h>

#include "processlimits.h"
#include "terminationsignals.h"

#include <csignal>
#include <cstdio>

namespace {

Q_LOGGING_CATEGORY(lcHost, "ch.veltor.kavo-service.host.main")

constexpr quint16 defaultPort = 8480;
constexpr int exitBadOptions = 2;

[[noreturn]] void badOptions(const QString &message)
{
    std::fprintf(stderr, "kavo-service: %s\nTry 'kavo-service --help' for more information.\n",
                 qPrintable(message));
    std::exit(exitBadOptions);
}

// "ADDRESS:PORT", with an IPv6 address in brackets; "localhost" is the IPv4
// loopback address.
bool parseListen(const QString &text, QHostAddress *address, quint16 *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString host = text.left(colon);
    const QString portText = text.mid(colon + 1);

    bool ok = false;
    const uint number = portText.toUInt(&ok, 10);
    if (!ok || number > 65535 || portText.startsWith(QLatin1Char('+')))
        return false;

    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return false; // an IPv6 address needs brackets to tell it from the port
    if (host == QLatin1String("localhost"))
        host = QStringLiteral("127.0.0.1");
    if (!address->setAddress(host))
        return false;
    *port = quint16(number);
    return true;
}

// Installed, the plug-ins sit in the library folder; in a build tree, in
// plugins/ beside the executable.
QString defaultPluginFolder()
{
    const QDir programFolder(QCoreApplication::applicationDirPath());
#ifdef KAVO_INSTALLED_PLUGINS
    const QString installed = QDir::cleanPath(programFolder.filePath(QStringLiteral(KAVO_INSTALLED_PLUGINS)));
    if (QFileInfo(installed).isDir())
        return installed;
#endif
    return programFolder.filePath(QStringLiteral("plugins"));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Veltor"));
    QCoreApplication::setApplicationName(QStringLiteral("kavo-service"));
    // QT_MESSAGE_PATTERN still wins.
    qSetMessagePattern(QStringLiteral(
        "%{time yyyy-MM-ddTHH:mm:ss.zzz} "
        "%{if-debug}debug%{endif}%{if-info}info%{endif}%{if-warning}warning%{endif}"
        "%{if-critical}critical%{endif}%{if-fatal}fatal%{endif} %{category}: %{message}"));

    const QString defaultPlugins = defaultPluginFolder();
    const QString defaultListen = QStringLiteral("127.0.0.1:%1").arg(defaultPort);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Stand-in for the kavo-service host: loads kavo-service plug-ins, serves their\n"
        "HTTP endpoints and hands them the chunks that card readers report.\n"
        "\n"
        "Chunks are read one JSON object per line, for example\n"
        "  {\"reader\":\"Cherry ST-1144\",\"event\":\"card-inserted\",\"content\":\"card-admin-content\",\"data\":\"<xml ...>\"}\n"
        "A line that is not a JSON object is skipped with a warning that names its number.\n"
        "Lines longer than 16 MiB are discarded with a warning, so memory stays bounded.\n"
        "A named pipe is reopened whenever its writer closes it; at the end of a regular\n"
        "file or of standard input the host keeps serving HTTP.\n"
        "\n"
        "Card readers are watched through PC/SC (pcscd) unless --no-card-readers is given:\n"
        "a VeKa card put into any reader is read and handed over as a \"card-inserted\"\n"
        "chunk, its removal as a \"card-removed\" chunk. Without pcscd the host serves HTTP\n"
        "and tries again every 2 s. Chunks from --chunks are handed over all the same.\n"
        "\n"
        "Settings are read by the plug-ins from the INI files of organisation \"Veltor\",\n"
        "application \"kavo-service\" (for example $XDG_CONFIG_HOME/Veltor/kavo-service.ini).\n"
        "SIGINT or SIGTERM end the host. Exit status 2 means bad options."));
    parser.addHelpOption();
    const QCommandLineOption pluginsOption(
        QStringLiteral("plugins"),
        QStringLiteral("Load every plug-in in the folder DIR, or DIR itself when it is a plug-in file (default: %1).").arg(defaultPlugins),
        QStringLiteral("DIR"), defaultPlugins);
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        QStringLiteral("Serve HTTP on this address and port; an IPv6 address goes in brackets, port 0 "
                       "picks a free one (default: %1).").arg(defaultListen),
        QStringLiteral("ADDRESS:PORT"), defaultListen);
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"),
        QStringLiteral("Also log debug lines, which carry card numbers (QT_LOGGING_RULES overrides "
                       "this either way)."));
    const QCommandLineOption chunksOption(
        QStringLiteral("chunks"),
        QStringLiteral("Read chunks from FILE: a regular file, a named pipe, or - for standard input "
                       "(default: no chunks)."),
        QStringLiteral("FILE"));
    const QCommandLineOption noCardReadersOption(
        QStringLiteral("no-card-readers"),
        QStringLiteral("Do not watch the PC/SC card readers (by default they are watched)."));
    parser.addOption(pluginsOption);
    parser.addOption(listenOption);
    parser.addOption(chunksOption);
    parser.addOption(noCardReadersOption);
    parser.addOption(verboseOption);

    if (!parser.parse(QCoreApplication::arguments()))
        badOptions(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        badOptions(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst()));
    for (const QCommandLineOption &option : {pluginsOption, listenOption, chunksOption}) {
        if (parser.values(option).size() > 1)
            badOptions(QStringLiteral("--%1 may be given only once").arg(option.names().constFirst()));
    }

    QHostAddress address;
    quint16 port = 0;
    const QString listen = parser.value(listenOption);
    if (!parseListen(listen, &address, &port))
        badOptions(QStringLiteral("--listen wants ADDRESS:PORT, such as 127.0.0.1:8480 or [::1]:8480, not '%1'")
                       .arg(listen));

    // Card numbers stay out of the log unless asked for; QT_LOGGING_RULES still wins.
    if (!parser.isSet(verboseOption))
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    if (!veltor::system::raiseDescriptorLimit())
        qCWarning(lcHost) << "Cannot raise the limit of open files.";

    const QString pluginPath = parser.value(pluginsOption);
    if (pluginPath.isEmpty() || !QFileInfo::exists(pluginPath))
        badOptions(QStringLiteral("--plugins: no such file or folder '%1'").arg(pluginPath));

    // Opened before anything is loaded, so that a wrong path is reported as a
    // bad option.
    ChunkReader reader;
    if (parser.isSet(chunksOption)) {
        const QString chunks = parser.value(chunksOption);
        if (chunks.isEmpty() || !reader.open(chunks))
            badOptions(QStringLiteral("--chunks: %1").arg(chunks.isEmpty() ? QStringLiteral("no file given")
                                                                          : reader.errorString()));
    }

    // SIGTERM and SIGINT end the event loop, so that the plug-ins are destroyed
    // and close their links.
    if (!veltor::system::quitOnTerminationSignals(&app, [](int signalNumber) {
            qCInfo(lcHost, "Quitting on signal %d.", signalNumber);
        }))
        qCWarning(lcHost) << "Cannot watch for termination signals.";
    // A chunk writer or HTTP client that goes away must not end the host.
    std::signal(SIGPIPE, SIG_IGN);

    PluginHost plugins;
    plugins.load(pluginPath);

    QObject::connect(&reader, &ChunkReader::chunkReceived, &app,
                     [&plugins](const QJsonObject &chunk) { plugins.deliver(QJsonValue(chunk)); });
    // Made after the plug-ins, so that it stops before they go.
    CardSource cards;
    QObject::connect(&cards, &CardSource::chunkReceived, &app,
                     [&plugins](const QJsonObject &chunk) { plugins.deliver(QJsonValue(chunk)); });
    if (!parser.isSet(noCardReadersOption))
        cards.start();

    ControllerHandler controllers(plugins.strategies());
    controllers.setLoopbackOnly(address.isLoopback());
    http::server::Dispatcher dispatcher;
    dispatcher.appendHandler(QRegExp(QStringLiteral("^/")), &controllers);
    http::HttpServer server;
    QObject::connect(&server, &http::HttpServer::newRequest, &dispatcher, &http::server::Dispatcher::dispatch);
    if (!server.listen(address, port)) {
        std::fprintf(stderr, "kavo-service: cannot listen on %s: %s\n", qPrintable(listen),
                     qPrintable(server.serverErrorString()));
        return 1;
    }
    const QString where = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]:%2").arg(address.toString()).arg(server.port())
        : QStringLiteral("%1:%2").arg(address.toString()).arg(server.port());
    qCInfo(lcHost).noquote() << QStringLiteral("Listening on %1.").arg(where);

    const int status = app.exec();
    server.close();
    return status;
}
