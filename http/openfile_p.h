#ifndef ZNHTTP_OPENFILE_P_H
#define ZNHTTP_OPENFILE_P_H

#include <QtCore/QByteArray>
#include <QtCore/QString>

#ifndef Q_OS_UNIX
#include <QtCore/QFile>
#endif

namespace http {
namespace server {

// A file that a response sends from, read only. On Unix a plain descriptor:
// QFile's engine costs more than sending a small file does.
class OpenFile
{
public:
    enum Kind { Missing, Folder, Regular, Other };

    explicit OpenFile(const QString &name);
    ~OpenFile();

    // What the name leads to, symbolic links followed.
    Kind kind();
    // Opens a regular file and reads its size and modification time.
    bool open();

    const QString &fileName() const { return name; }
    int handle() const;
    qint64 size() const { return fileSize; }
    qint64 modifiedMs() const { return modified; }
    // Reads at an offset without moving a position; -1 on failure.
    qint64 readAt(qint64 offset, char *data, qint64 length);

private:
    Q_DISABLE_COPY(OpenFile)
    QString name;
    qint64 fileSize = 0;
    qint64 modified = 0;
#ifdef Q_OS_UNIX
    QByteArray nativeName;
    int descriptor = -1;
#else
    QFile file;
#endif
};

} // namespace server
} // namespace http

#endif // ZNHTTP_OPENFILE_P_H
