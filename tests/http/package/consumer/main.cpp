// Uses an installed zn-http the way the system plug-in does: through the
// public headers and the calls that cross the library boundary.
#include <zn-http/httpserver.h>
#include <zn-http/request.h>
#include <zn-http/response.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QTimer>
#include <QtNetwork/QTcpSocket>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    http::HttpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 2;
    QObject::connect(&server, &http::HttpServer::newRequest, &app,
                     [](QSharedPointer<http::server::Request> request,
                        QSharedPointer<http::server::Response> response) {
                         const bool ok = request->method() == http::server::Request::HTTP_GET
                                         && request->url().path() == QLatin1String("/system/info")
                                         && request->header(QStringLiteral("Accept")) == QLatin1String("application/json");
                         const QByteArray body = ok ? "{}" : "bad";
                         response->setHeader(QStringLiteral("Content-Length"), QString::number(body.size()));
                         response->writeHead(ok ? 200 : 400);
                         response->end(body);
                     });

    QTcpSocket client;
    QByteArray received;
    QObject::connect(&client, &QTcpSocket::readyRead, &app, [&] {
        received += client.readAll();
        if (received.endsWith("\r\n\r\n{}") || received.endsWith("bad"))
            app.quit();
    });
    QObject::connect(&client, &QTcpSocket::connected, &app, [&] {
        client.write("GET /system/info HTTP/1.1\r\nHost: h\r\nAccept: application/json\r\n\r\n");
    });
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QTimer::singleShot(10000, &app, [&] { app.exit(3); });

    const int rc = app.exec();
    if (rc != 0 || !received.startsWith("HTTP/1.1 200 OK\r\n")) {
        std::fprintf(stderr, "unexpected answer: %s\n", received.constData());
        return rc ? rc : 1;
    }
    std::printf("consumer OK\n");
    return 0;
}
