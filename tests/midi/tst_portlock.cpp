// PortLock: one host per port on this computer. The locks live in a private runtime folder
// of the test's own, so that no real program is disturbed.
#include "PortLock.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace Tarsyn;
using Result = PortLock::Result;
Q_DECLARE_METATYPE(PortLock::Result)

class TestPortLock : public QObject {
    Q_OBJECT

    const QString aOut = QStringLiteral("Tarsyn+ virtual unit a out"), aIn = QStringLiteral("Tarsyn+ virtual unit a in");

private slots:
    void initTestCase()
    {
        QVERIFY(runtime_.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.path()));
    }

    // A second lock on either port of a pair that is held is refused and names that port;
    // ports are keyed by direction, so a unit's input and output are not the same lock.
    void secondHost_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::addColumn<Result>("expected");
        QTest::addColumn<QString>("busy");
        const QString in = aOut, out = aIn;
        QTest::newRow("the same pair") << in << out << Result::Busy << in;
        QTest::newRow("the same input") << in << QStringLiteral("Synth in") << Result::Busy << in;
        QTest::newRow("the same output") << QStringLiteral("Synth out") << out << Result::Busy << out;
        QTest::newRow("another pair") << QStringLiteral("Tarsyn+ virtual unit b out")
                                      << QStringLiteral("Tarsyn+ virtual unit b in") << Result::Acquired << QString();
        QTest::newRow("the pair's names crossed") << out << in << Result::Acquired << QString();
        QTest::newRow("names that differ only in unsafe characters")
            << QStringLiteral("Tarsyn+ virtual unit a/out") << QStringLiteral("Tarsyn+ virtual unit a:in") << Result::Acquired << QString();
    }
    void secondHost()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(Result, expected);
        QFETCH(QString, busy);
        PortLock first;
        QCOMPARE(first.acquire(aOut, aIn), Result::Acquired);
        PortLock second;
        QCOMPARE(second.acquire(input, output), expected);
        QCOMPARE(second.busyPort(), busy);
        QCOMPARE(second.held(), expected == Result::Acquired);
        if (expected == Result::Busy)
            QCOMPARE(second.busyHolder(), qint64(::getpid()));
        // Refused, the second holds nothing: the first, released, lets a third in. Taking
        // another pair lets go of the one held before, and a lock that ends lets go of its
        // pair (the next row takes it again).
        first.release();
        PortLock third;
        QCOMPARE(third.acquire(aOut, aIn), Result::Acquired);
        QCOMPARE(third.acquire(QStringLiteral("x out"), QStringLiteral("x in")), Result::Acquired);
        QCOMPARE(PortLock().acquire(aOut, aIn), Result::Acquired);
        second.release();
        third.release();
        QCOMPARE(lockFiles(), QStringList());   // released locks leave no files behind
    }

    // A holder that dies without cleaning up (SIGKILL) leaves the ports free.
    void releasedWhenTheHolderIsKilled()
    {
        int ready[2];
        QVERIFY(::pipe(ready) == 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::close(ready[0]);
            PortLock lock;
            const char byte = lock.acquire(QStringLiteral("k out"), QStringLiteral("k in")) == Result::Acquired ? '1' : '0';
            [[maybe_unused]] const ssize_t written = ::write(ready[1], &byte, 1);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char byte = 0;
        const ssize_t got = ::read(ready[0], &byte, 1);   // 0 if the child died first
        ::close(ready[0]);
        PortLock lock;
        const Result whileAlive = lock.acquire(QStringLiteral("k out"), QStringLiteral("k in"));
        const qint64 holder = lock.busyHolder();
        ::kill(child, SIGKILL);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(got == 1 && byte == '1');
        QCOMPARE(whileAlive, Result::Busy);
        QCOMPARE(holder, qint64(child));
        QCOMPARE(lock.acquire(QStringLiteral("k out"), QStringLiteral("k in")), Result::Acquired);
        // The dead holder's files, taken over, go with the new holder's release.
        lock.release();
        QCOMPARE(lockFiles(), QStringList());
    }

private:
    QStringList lockFiles() const { return QDir(runtime_.path()).entryList(QDir::Files | QDir::Hidden); }

    QTemporaryDir runtime_;
};

QTEST_APPLESS_MAIN(TestPortLock)
#include "tst_portlock.moc"
