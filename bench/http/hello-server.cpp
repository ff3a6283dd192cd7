// The smallest useful zn-http server: answers every request with the 6-byte body
// "hello\n" and a Content-Length, so that keep-alive clients can reuse the connection.
// bench/http/run.sh loads it with wrk side by side with nginx, Node.js and QtHttpServer.
//
//   zn-http-hello [--bind ADDRESS] [--port N]
//
// Port 0 picks a free port; the line "listening on ADDRESS:PORT" tells which.

#include <zn-http/httpserver.h>
#include <zn-http/request.h>
#include <zn-http/response.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QSharedPointer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zn-http-hello"));
    // The library logs routine progress per request at debug level; QT_LOGGING_RULES
    // still turns it back on.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Answers every HTTP request with \"hello\\n\"."));
    options.addHelpOption();
    const QCommandLineOption bindOption(QStringLiteral("bind"), QStringLiteral("Address to listen on."),
                                        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port to listen on (0: any free port)."),
                                        QStringLiteral("n"), QStringLiteral("8080"));
    options.addOption(bindOption);
    options.addOption(portOption);
    options.process(app);

    const QHostAddress address(options.value(bindOption));
    bool portOk = false;
    const uint port = options.value(portOption).toUInt(&portOk);
    if (address.isNull() || !portOk || port > 65535) {
        std::fprintf(stderr, "zn-http-hello: bad address or port.\n");
        return 2;
    }

    http::HttpServer server;
    const QString close = QStringLiteral("close");
    const QString contentType = QStringLiteral("Content-Type");
    const QString textPlain = QStringLiteral("text/plain");
    const QString contentLength = QStringLiteral("Content-Length");
    const QString helloLength = QStringLiteral("6");
    const QString connection = QStringLiteral("Connection");
    const QString connectionHeader = QStringLiteral("connection");
    const QByteArray body = QByteArrayLiteral("hello\n");

    QObject::connect(&server, &http::HttpServer::newRequest, &server,
                     [&](QSharedPointer<http::server::Request> request,
                         QSharedPointer<http::server::Response> response) {
                         response->setHeader(contentType, textPlain);
                         response->setHeader(contentLength, helloLength);
                         // The response decides about the connection from the request's
                         // version only; a client that asked to close gets its wish here.
                         if (request->header(connectionHeader).compare(close, Qt::CaseInsensitive) == 0)
                             response->setHeader(connection, close);
                         response->writeHead(200);
                         response->end(body);
                     },
                     Qt::DirectConnection);

    if (!server.listen(address, quint16(port))) {
        std::fprintf(stderr, "zn-http-hello: cannot listen on %s:%u.\n",
                     qPrintable(address.toString()), port);
        return 1;
    }
    std::printf("listening on %s:%u\n", qPrintable(address.toString()), unsigned(server.port()));
    std::fflush(stdout);
    return app.exec();
}
