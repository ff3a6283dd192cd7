// The Qt 6 QtHttpServer peer of the HTTP benchmark.
//   qt6-hello PORT WWW
// GET / answers "hello\n"; GET /static/<name> answers the file from WWW/static,
// read anew for each request.

#include <QCoreApplication>
#include <QDir>
#include <QHttpServer>
#include <QHttpServerResponse>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: qt6-hello PORT [WWW]\n");
        return 2;
    }
    const quint16 port = quint16(QString::fromLocal8Bit(argv[1]).toUInt());
    const QDir staticDir(QString::fromLocal8Bit(argc > 2 ? argv[2] : ".") + QStringLiteral("/static"));

    QHttpServer server;
    server.route(QStringLiteral("/"), [] {
        return QHttpServerResponse(QByteArrayLiteral("text/plain"), QByteArrayLiteral("hello\n"));
    });
    server.route(QStringLiteral("/static/<arg>"), [staticDir](const QString &name) {
        return QHttpServerResponse::fromFile(staticDir.filePath(QFileInfo(name).fileName()));
    });
    if (server.listen(QHostAddress::LocalHost, port) != port) {
        std::fprintf(stderr, "qt6-hello: cannot listen on port %u.\n", unsigned(port));
        return 1;
    }
    return app.exec();
}
