// zn-http-serve: serves the files of a folder over HTTP, or over HTTPS when
// given a certificate and a key, through a Dispatcher and a FileHandler.

#include <zn-http/dispatcher.h>
#include <zn-http/filehandler.h>
#include <zn-http/httpserver.h>
#include <zn-http/httpsserver.h>
#include <zn-http/request.h>
#include <zn-http/response.h>

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QLoggingCategory>
#include <QtCore/QScopedPointer>
#include <QtNetwork/QSslCertificate>
#include <QtNetwork/QSslKey>
#include <QtNetwork/QSslSocket>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <QtCore/QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

Q_LOGGING_CATEGORY(lcServe, "ch.veltor.examples.zn-http-serve")

#ifdef Q_OS_UNIX
int signalSockets[2] = {-1, -1};

void writeSignalNumber(int signalNumber)
{
    const int savedErrno = errno; // the interrupted code may be about to read it
    const char byte = char(signalNumber);
    const ssize_t written = ::write(signalSockets[0], &byte, 1);
    Q_UNUSED(written)
    errno = savedErrno;
}

// SIGINT and SIGTERM end the event loop, so that the servers close their
// sockets. A signal handler may do next to nothing: it writes the signal's
// number into a socket pair, which the event loop reads.
bool stopOnTerminationSignals(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSockets) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app] {
        char signalNumber = 0;
        if (::read(signalSockets[1], &signalNumber, 1) == 1)
            qCInfo(lcServe, "Stopping on signal %d.", int(signalNumber));
        app->quit();
    });
    struct sigaction action = {};
    action.sa_handler = writeSignalNumber;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// Each client holds a descriptor: run out of them as late as allowed. An
// unlimited hard limit is more than the kernel takes; 2^20 is its default cap.
bool raiseOpenFileLimit()
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    limit.rlim_cur = std::max(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, rlim_t(1) << 20));
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}
#endif

constexpr int exitUsage = 2;

int usageError(const QString &message)
{
    std::fprintf(stderr, "zn-http-serve: %s\nTry 'zn-http-serve --help' for more information.\n",
                 qPrintable(message));
    return exitUsage;
}

bool readFile(const QString &fileName, QByteArray *contents, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(fileName, file.errorString());
        return false;
    }
    *contents = file.readAll();
    return true;
}

// The key's algorithm is not written in every PEM header, so try each.
QSslKey readKey(const QByteArray &pem)
{
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            return key;
    }
    return QSslKey();
}

QString hostForUrl(const QHostAddress &address)
{
    const QString text = address.toString();
    return address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + text + QLatin1Char(']')
                                                               : text;
}

// One line per answered request, once its response has ended.
void logRequests(http::HttpServer *server)
{
    QObject::connect(server, &http::HttpServer::newRequest, server,
                     [](QSharedPointer<http::server::Request> request,
                        QSharedPointer<http::server::Response> response) {
        // Asked per request, as the rules may change while it runs; building
        // a line nobody reads cost a tenth of a small file's answer.
        if (!lcServe().isInfoEnabled())
            return;
        QString target = request->path();
        if (request->url().hasQuery())
            target += QLatin1Char('?') + request->url().query(QUrl::FullyEncoded);
        QString method = request->methodString();
        if (method.startsWith(QLatin1String("HTTP_")))
            method.remove(0, 5);
        const QString line = QStringLiteral("%1 \"%2 %3 HTTP/%4\"")
                                 .arg(request->remoteAddress(), method, target, request->httpVersion());
        http::server::Response *answer = response.data();
        QObject::connect(answer, &http::server::Response::done, answer, [answer, line] {
            qCInfo(lcServe, "%s %d.", qPrintable(line), answer->status());
        });
    });
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zn-http-serve"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    // The library's debug lines (one set per request) would drown the request
    // log; QT_LOGGING_RULES and QT_MESSAGE_PATTERN still override both.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    qSetMessagePattern(QStringLiteral("[%{time yyyy-MM-ddTHH:mm:ss.zzz}][%{type}] %{message}"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves the files of FOLDER over HTTP, or over HTTPS when given a certificate and a key."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption bindOption(QStringLiteral("bind"),
        QStringLiteral("Listen on ADDRESS (default 127.0.0.1; 0.0.0.0 or :: for all)."),
        QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("Listen on port N (default 8000; 0 picks a free port)."),
        QStringLiteral("N"), QStringLiteral("8000"));
    const QCommandLineOption certOption(QStringLiteral("cert"),
        QStringLiteral("Serve HTTPS with the PEM certificate in FILE; it may hold a chain, "
                       "the server's own certificate first."),
        QStringLiteral("FILE"));
    const QCommandLineOption keyOption(QStringLiteral("key"),
        QStringLiteral("The unencrypted PEM private key of the certificate."), QStringLiteral("FILE"));
    parser.addOptions({bindOption, portOption, certOption, keyOption});
    parser.addPositionalArgument(QStringLiteral("FOLDER"), QStringLiteral("The folder to serve."));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return usageError(positional.isEmpty() ? QStringLiteral("no folder given")
                                               : QStringLiteral("only one folder can be served"));
    const QFileInfo folder(positional.first());
    if (!folder.isDir())
        return usageError(QStringLiteral("%1 is not a folder").arg(positional.first()));

    const QHostAddress address(parser.value(bindOption));
    if (address.isNull())
        return usageError(QStringLiteral("%1 is not an IP address").arg(parser.value(bindOption)));

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535)
        return usageError(QStringLiteral("%1 is not a port number").arg(parser.value(portOption)));

    if (parser.isSet(certOption) != parser.isSet(keyOption))
        return usageError(QStringLiteral("--cert and --key go together"));

#ifdef Q_OS_UNIX
    if (!raiseOpenFileLimit())
        qCWarning(lcServe) << "Cannot raise the limit of open files.";
#endif

    QScopedPointer<http::HttpServer> server;
    if (parser.isSet(certOption)) {
        if (!QSslSocket::supportsSsl())
            return usageError(QStringLiteral("this build of Qt has no TLS support"));
        QByteArray pem;
        QString error;
        if (!readFile(parser.value(certOption), &pem, &error))
            return usageError(error);
        const QList<QSslCertificate> certificates = QSslCertificate::fromData(pem, QSsl::Pem);
        if (certificates.isEmpty())
            return usageError(QStringLiteral("no PEM certificate in %1").arg(parser.value(certOption)));
        if (!readFile(parser.value(keyOption), &pem, &error))
            return usageError(error);
        const QSslKey key = readKey(pem);
        if (key.isNull())
            return usageError(QStringLiteral("no unencrypted PEM private key in %1")
                                  .arg(parser.value(keyOption)));
        server.reset(new https::HttpsServer(certificates, key));
    } else {
        server.reset(new http::HttpServer);
    }

    // As users of a file server expect: a folder shows its index.html, and a
    // folder asked for without its slash is redirected to it.
    http::server::FileHandler files(folder.absoluteFilePath(), nullptr);
    files.setIndexFileName(QStringLiteral("index.html"));
    http::server::Dispatcher dispatcher;
    dispatcher.appendHandler(QRegExp(QStringLiteral("^/")), &files);

    // The log line is tied to the response before the dispatcher answers it.
    logRequests(server.data());
    QObject::connect(server.data(), &http::HttpServer::newRequest, &dispatcher,
                     &http::server::Dispatcher::dispatch);

    if (!server->listen(address, quint16(port))) {
        std::fprintf(stderr, "zn-http-serve: cannot listen on %s port %u.\n",
                     qPrintable(address.toString()), port);
        return 1;
    }

#ifdef Q_OS_UNIX
    if (!stopOnTerminationSignals(&app))
        qCWarning(lcServe) << "Cannot watch for termination signals.";
#endif

    const QString scheme = parser.isSet(certOption) ? QStringLiteral("https") : QStringLiteral("http");
    qCInfo(lcServe, "Serving %s at %s://%s:%u/.", qPrintable(QDir::toNativeSeparators(folder.absoluteFilePath())),
           qPrintable(scheme), qPrintable(hostForUrl(address)), unsigned(server->port()));

    const int status = app.exec();
    qCInfo(lcServe, "Stopped.");
    return status;
}
