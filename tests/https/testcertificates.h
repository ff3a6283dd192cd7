#ifndef TESTCERTIFICATES_H
#define TESTCERTIFICATES_H

// Certificates made by openssl at test time: a CA, an intermediate and a leaf
// for 127.0.0.1 (the chain), a self-signed RSA certificate, and a self-signed
// client certificate.

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QProcess>
#include <QtCore/QStandardPaths>
#include <QtCore/QStringList>

namespace testcerts {

struct Files
{
    QString caCert;     // the root of the chain, for clients to trust
    QString chain;      // leaf, intermediate, CA
    QString leafKey;    // EC key of the leaf
    QString selfCert;   // one self-signed certificate for 127.0.0.1
    QString selfKey;    // its RSA key
    QString clientCert; // self-signed, for a client that presents one
    QString clientKey;
};

inline bool openssl(const QString &dir, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed: %2")
                     .arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    return true;
}

inline bool writeText(const QString &name, const QByteArray &text)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

inline bool make(const QString &dir, Files *files, QString *error)
{
    const QDir d(dir);
    const QStringList ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    if (!writeText(d.filePath("ca.ext"), "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n")
        || !writeText(d.filePath("leaf.ext"),
                      "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                      "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n")) {
        *error = QStringLiteral("cannot write the extension files");
        return false;
    }
    const bool ok =
        openssl(dir, QStringList{"req", "-x509"} + ec + QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Test CA"}, error)
        && openssl(dir, QStringList{"req", "-new"} + ec + QStringList{"-keyout", "int.key", "-out", "int.csr", "-subj", "/CN=Test Intermediate"}, error)
        && openssl(dir, {"x509", "-req", "-in", "int.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                         "-out", "int.pem", "-days", "2", "-extfile", "ca.ext"}, error)
        && openssl(dir, QStringList{"req", "-new"} + ec + QStringList{"-keyout", "leaf.key", "-out", "leaf.csr", "-subj", "/CN=127.0.0.1"}, error)
        && openssl(dir, {"x509", "-req", "-in", "leaf.csr", "-CA", "int.pem", "-CAkey", "int.key", "-CAcreateserial",
                         "-out", "leaf.pem", "-days", "2", "-extfile", "leaf.ext"}, error)
        && openssl(dir, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "self.key", "-out", "self.pem",
                         "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"}, error)
        && openssl(dir, QStringList{"req", "-x509"} + ec + QStringList{"-keyout", "client.key", "-out", "client.pem", "-days", "2", "-subj", "/CN=Test Client"}, error);
    if (!ok)
        return false;

    QByteArray chain;
    for (const char *name : {"leaf.pem", "int.pem", "ca.pem"}) {
        QFile file(d.filePath(QLatin1String(name)));
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1").arg(file.fileName());
            return false;
        }
        chain += file.readAll();
    }
    if (!writeText(d.filePath("chain.pem"), chain)) {
        *error = QStringLiteral("cannot write the chain");
        return false;
    }

    files->caCert = d.filePath("ca.pem");
    files->chain = d.filePath("chain.pem");
    files->leafKey = d.filePath("leaf.key");
    files->selfCert = d.filePath("self.pem");
    files->selfKey = d.filePath("self.key");
    files->clientCert = d.filePath("client.pem");
    files->clientKey = d.filePath("client.key");
    return true;
}

inline bool haveOpenssl()
{
    return !QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty();
}

} // namespace testcerts

#endif // TESTCERTIFICATES_H
