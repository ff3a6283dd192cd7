// waylandtextwindow [--out FILE]
//
// A Qt window that records the text typed into it, the way an ordinary
// application receives it, for tests of synthetic keystrokes on Wayland (run
// with QT_QPA_PLATFORM=wayland). Prints "ready" on stdout once it has the
// keyboard focus; from then on the text of every key press is written at once,
// as UTF-8, to stdout or to FILE.

#include <QCommandLineParser>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QRasterWindow>

#include <cstdio>

class TextWindow : public QRasterWindow
{
public:
    explicit TextWindow(QFile *out) : out(out) { setTitle(QStringLiteral("Typed text")); }

protected:
    void focusInEvent(QFocusEvent *) override
    {
        if (!ready) {
            ready = true;
            std::fputs("ready\n", stdout);
            std::fflush(stdout);
        }
    }

    void keyPressEvent(QKeyEvent *event) override
    {
        out->write(event->text().toUtf8());
        out->flush();
    }

private:
    QFile *out;
    bool ready = false;
};

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QCommandLineParser options;
    const QCommandLineOption outOption(QStringLiteral("out"), QStringLiteral("Write the text to FILE."),
                                       QStringLiteral("FILE"));
    options.addOption(outOption);
    options.process(app);

    QFile out;
    if (options.isSet(outOption))
        out.setFileName(options.value(outOption));
    if (options.isSet(outOption) ? !out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)
                                 : !out.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        std::fprintf(stderr, "waylandtextwindow: cannot write the text\n");
        return 1;
    }
    TextWindow window(&out);
    window.resize(640, 480);
    window.show();
    return app.exec();
}
