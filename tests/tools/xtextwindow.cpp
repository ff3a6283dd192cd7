// xtextwindow [--out FILE] [--timeout SECONDS] [--delay MS]
//
// A plain Xlib client that receives typed text the way an ordinary application
// does, for tests and demos of synthetic keystrokes.
//
// Opens a window titled "Typed text" on $DISPLAY, maps it, takes the input focus
// and prints the line "ready" on stdout once it has the focus. From then on every
// KeyPress is turned into text with an input context (Xutf8LookupString; plain
// XLookupString when no input method can be opened), the text is drawn in the
// window and its UTF-8 bytes are written at once (flushed) to stdout, or to FILE
// with --out. Events are read in the usual way, one at a time as they come, and
// each is looked up with the keyboard mapping in force when it is read (the
// client follows MappingNotify with XRefreshKeyboardMapping).
//
//   --out FILE         write the typed text to FILE (created or truncated)
//   --timeout SECONDS  exit after that long (status 0)
//   --delay MS         sleep this long before handling each key press, like a
//                      busy application that reads its events late
//
// Exits with status 0 on SIGTERM, SIGINT or when the window is closed; 1 when the
// display cannot be opened; 2 on bad arguments.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <string>
#include <thread>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 0;
    const ssize_t ignored = write(signalPipe[1], &byte, 1);
    (void)ignored;
}

void appendUtf8(std::string &out, unsigned long codePoint)
{
    if (codePoint < 0x80) {
        out += char(codePoint);
    } else if (codePoint < 0x800) {
        out += char(0xc0 | (codePoint >> 6));
        out += char(0x80 | (codePoint & 0x3f));
    } else if (codePoint < 0x10000) {
        out += char(0xe0 | (codePoint >> 12));
        out += char(0x80 | ((codePoint >> 6) & 0x3f));
        out += char(0x80 | (codePoint & 0x3f));
    } else {
        out += char(0xf0 | (codePoint >> 18));
        out += char(0x80 | ((codePoint >> 12) & 0x3f));
        out += char(0x80 | ((codePoint >> 6) & 0x3f));
        out += char(0x80 | (codePoint & 0x3f));
    }
}

struct Window_
{
    Display *display = nullptr;
    Window window = 0;
    GC gc = nullptr;
    XFontSet fontSet = nullptr;
    XIM im = nullptr;
    XIC ic = nullptr;
    Atom deleteWindow = 0;
    std::string text;
    FILE *out = stdout;
    int delayMs = 0;
    bool ready = false;
    bool done = false;

    void draw()
    {
        XClearWindow(display, window);
        if (!fontSet)
            return;
        int y = 20;
        size_t start = 0;
        // Only the last lines that fit; control characters are not drawn.
        while (start <= text.size() && y < 760) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            std::string line;
            for (size_t i = start; i < end; ++i)
                if (static_cast<unsigned char>(text[i]) >= 0x20)
                    line += text[i];
            Xutf8DrawString(display, window, fontSet, gc, 10, y, line.data(), int(line.size()));
            y += 16;
            start = end + 1;
        }
    }

    void typed(const std::string &utf8)
    {
        if (utf8.empty())
            return;
        fwrite(utf8.data(), 1, utf8.size(), out);
        fflush(out);
        text += utf8;
        draw();
    }

    void keyPress(XKeyEvent *event)
    {
        if (delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        char buffer[64];
        KeySym keysym = NoSymbol;
        if (ic) {
            Status status = 0;
            const int n = Xutf8LookupString(ic, event, buffer, sizeof(buffer), &keysym, &status);
            if (status == XLookupChars || status == XLookupBoth)
                typed(std::string(buffer, size_t(n)));
            return;
        }
        // Without an input method XLookupString gives Latin-1 text; characters
        // beyond it only come as Unicode keysyms.
        const int n = XLookupString(event, buffer, sizeof(buffer), &keysym, nullptr);
        std::string utf8;
        for (int i = 0; i < n; ++i)
            appendUtf8(utf8, static_cast<unsigned char>(buffer[i]));
        if (n == 0 && (keysym & 0xff000000) == 0x01000000)
            appendUtf8(utf8, keysym & 0x00ffffff);
        typed(utf8);
    }

    void handle(XEvent &event)
    {
        if (XFilterEvent(&event, None))
            return;
        switch (event.type) {
        case MapNotify:
            // No window manager hands out the focus on a bare server.
            XSetInputFocus(display, window, RevertToParent, CurrentTime);
            break;
        case FocusIn:
            if (ic)
                XSetICFocus(ic);
            if (!ready) {
                ready = true;
                fputs("ready\n", stdout);
                fflush(stdout);
            }
            break;
        case MappingNotify:
            XRefreshKeyboardMapping(&event.xmapping);
            break;
        case KeyPress:
            keyPress(&event.xkey);
            break;
        case Expose:
            if (event.xexpose.count == 0)
                draw();
            break;
        case ClientMessage:
            if (Atom(event.xclient.data.l[0]) == deleteWindow)
                done = true;
            break;
        default:
            break;
        }
    }
};

[[noreturn]] void usage()
{
    fputs("usage: xtextwindow [--out FILE] [--timeout SECONDS] [--delay MS]\n", stderr);
    exit(2);
}

} // namespace

int main(int argc, char **argv)
{
    const char *outPath = nullptr;
    double timeoutSeconds = 0;
    int delayMs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            usage();
        char *end = nullptr;
        if (arg == "--out") {
            outPath = argv[++i];
        } else if (arg == "--timeout") {
            timeoutSeconds = std::strtod(argv[++i], &end);
            if (*end || timeoutSeconds <= 0)
                usage();
        } else if (arg == "--delay") {
            delayMs = int(std::strtol(argv[++i], &end, 10));
            if (*end || delayMs < 0)
                usage();
        } else {
            usage();
        }
    }

    // Text comes out as UTF-8 whatever the caller's locale is.
    if (!setlocale(LC_ALL, "") || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
        setlocale(LC_CTYPE, "C.UTF-8");

    Window_ w;
    w.delayMs = delayMs;
    if (outPath) {
        w.out = fopen(outPath, "wb");
        if (!w.out) {
            fprintf(stderr, "xtextwindow: cannot write %s: %s\n", outPath, strerror(errno));
            return 1;
        }
    }

    if (pipe(signalPipe) != 0)
        return 1;
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = onSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    w.display = XOpenDisplay(nullptr);
    if (!w.display) {
        fprintf(stderr, "xtextwindow: cannot open the display \"%s\"\n", XDisplayName(nullptr));
        return 1;
    }
    Display *display = w.display;
    const int screen = DefaultScreen(display);
    w.window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, 640, 480, 1,
                                   BlackPixel(display, screen), WhitePixel(display, screen));
    XStoreName(display, w.window, "Typed text");
    Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom utf8String = XInternAtom(display, "UTF8_STRING", False);
    XChangeProperty(display, w.window, netWmName, utf8String, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>("Typed text"), 10);
    w.deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, w.window, &w.deleteWindow, 1);
    XSelectInput(display, w.window,
                 KeyPressMask | KeyReleaseMask | FocusChangeMask | StructureNotifyMask | ExposureMask);
    w.gc = XCreateGC(display, w.window, 0, nullptr);
    XSetForeground(display, w.gc, BlackPixel(display, screen));

    char **missing = nullptr;
    int missingCount = 0;
    char *defaultString = nullptr;
    w.fontSet = XCreateFontSet(display, "-*-*-medium-r-normal--*-120-*-*-*-*-*-*,fixed,*",
                               &missing, &missingCount, &defaultString);
    if (missing)
        XFreeStringList(missing);

    // The input method of the session if there is one, else Xlib's built-in one.
    XSetLocaleModifiers("");
    w.im = XOpenIM(display, nullptr, nullptr, nullptr);
    if (!w.im) {
        XSetLocaleModifiers("@im=none");
        w.im = XOpenIM(display, nullptr, nullptr, nullptr);
    }
    if (w.im) {
        w.ic = XCreateIC(w.im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                         XNClientWindow, w.window, XNFocusWindow, w.window, nullptr);
        if (w.ic) {
            long imEvents = 0;
            XGetICValues(w.ic, XNFilterEvents, &imEvents, nullptr);
            XSelectInput(display, w.window,
                         KeyPressMask | KeyReleaseMask | FocusChangeMask | StructureNotifyMask
                             | ExposureMask | imEvents);
        }
    }

    // Load Xlib's copy of the keyboard mapping now, as toolkits do at start-up.
    // Loaded lazily by the first key press instead, Xlib misses mapping
    // changes that arrive while it loads, and that is not what is tested here.
    {
        int minKeycode = 0, maxKeycode = 0;
        XDisplayKeycodes(display, &minKeycode, &maxKeycode);
        XKeyEvent probe;
        std::memset(&probe, 0, sizeof(probe));
        probe.type = KeyPress;
        probe.display = display;
        probe.keycode = unsigned(minKeycode);
        XLookupKeysym(&probe, 0);
    }
    XMapWindow(display, w.window);
    XFlush(display);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(long(timeoutSeconds * 1000));
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
    while (!w.done) {
        while (!w.done && XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            w.handle(event);
        }
        if (w.done)
            break;
        int waitMs = -1;
        if (timeoutSeconds > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                break;
            waitMs = int(left.count()) + 1;
        }
        fds[0].revents = fds[1].revents = 0;
        const int n = poll(fds, 2, waitMs);
        if (n < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            break; // SIGTERM or SIGINT
        if (fds[0].revents & (POLLERR | POLLHUP))
            break;
    }

    if (w.ic)
        XDestroyIC(w.ic);
    if (w.im)
        XCloseIM(w.im);
    if (w.fontSet)
        XFreeFontSet(display, w.fontSet);
    XFreeGC(display, w.gc);
    XDestroyWindow(display, w.window);
    XCloseDisplay(display);
    if (w.out != stdout)
        fclose(w.out);
    return 0;
}
