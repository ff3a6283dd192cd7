#pragma once

#include <QProcess>
#include <QTemporaryDir>

// A recording window of the tests (xtextwindow, or waylandtextwindow) that
// has the keyboard focus and writes what it receives to a file.
class TypedWindow
{
public:
    ~TypedWindow();

    // Starts it and waits until it has the focus.
    bool start(const QString &program, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
    QString typed() const;

    QProcess process;

private:
    QTemporaryDir dir;
    QByteArray said;
};
