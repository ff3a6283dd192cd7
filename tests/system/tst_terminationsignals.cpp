#include <terminationsignals.h>

#include <QtTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <future>
#include <thread>

class tst_TerminationSignals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void handlerKeepsErrnoAndNeverBlocks();
};

// Signals arrive faster than the event loop reads them: far more than the
// socket pair holds. Each must return at once and leave errno as it was.
void tst_TerminationSignals::handlerKeepsErrnoAndNeverBlocks()
{
    int handled = 0;
    QVERIFY(veltor::system::quitOnTerminationSignals(qApp, [&handled](int signalNumber) {
        QCOMPARE(signalNumber, int(SIGTERM));
        ++handled;
    }));

    // On a thread of its own, so that a handler that blocks fails the test
    // instead of hanging it; raise() runs the handler on that thread.
    auto done = std::make_shared<std::promise<int>>();
    std::thread([done] {
        int changed = 0;
        for (int i = 0; i < 20000; ++i) {
            errno = EDOM;
            std::raise(SIGTERM);
            changed += errno != EDOM;
        }
        done->set_value(changed);
    }).detach();

    std::future<int> changed = done->get_future();
    QVERIFY2(changed.wait_for(std::chrono::seconds(60)) == std::future_status::ready, "a signal handler blocked");
    QCOMPARE(changed.get(), 0);
    QTRY_VERIFY(handled > 0); // and the event loop still hears of them
}

QTEST_GUILESS_MAIN(tst_TerminationSignals)
#include "tst_terminationsignals.moc"
