// The virtual unit's raw MIDI device, on a pseudo-terminal in raw mode: a byte stream with a
// far end that the test holds, as snd-virmidi's sequencer port is for the real device.
#include "MidiEvent.h"
#include "RawMidiDevice.h"

#include <QSignalSpy>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace Tarsyn;

namespace {

struct Collector : QObject {
    QByteArrayList messages;
    bool event(QEvent *e) override
    {
        if (e->type() != MidiEvent::EventType)
            return QObject::event(e);
        messages << static_cast<MidiEvent *>(e)->message();
        return true;
    }
};

// A pseudo-terminal pair: the device opens `path`, the test reads and writes `far`.
struct Line {
    int far = -1;
    QString path;
    int keepOpen = -1;   // the near end stays open here, so its settings stay raw
    Line()
    {
        far = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (far < 0 || ::grantpt(far) != 0 || ::unlockpt(far) != 0)
            return;
        path = QString::fromLocal8Bit(::ptsname(far));
        keepOpen = ::open(::ptsname(far), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (keepOpen < 0 || ::tcgetattr(keepOpen, &raw) != 0) {
            path.clear();
            return;
        }
        ::cfmakeraw(&raw);
        if (::tcsetattr(keepOpen, TCSANOW, &raw) != 0)
            path.clear();
        ::fcntl(far, F_SETFL, ::fcntl(far, F_GETFL) | O_NONBLOCK);
    }
    ~Line()
    {
        closeFar();
        if (keepOpen >= 0)
            ::close(keepOpen);
    }
    void closeFar()
    {
        if (far >= 0)
            ::close(far);
        far = -1;
    }
    bool write(const QByteArray &bytes) const { return ::write(far, bytes.constData(), size_t(bytes.size())) == bytes.size(); }
    QByteArray readAvailable() const
    {
        char buffer[4096];
        const ssize_t n = ::read(far, buffer, sizeof buffer);
        return n > 0 ? QByteArray(buffer, n) : QByteArray();
    }
};

QByteArray sysex(int size, int tag)
{
    QByteArray m(size, char(tag & 0x7F));
    m.front() = char(0xF0);
    m.back() = char(0xF7);
    return m;
}

} // namespace

class TestRawMidiDevice : public QObject {
    Q_OBJECT
private slots:
    void opens()
    {
        RawMidiDevice device;
        QString error;
        QVERIFY(!device.open(QStringLiteral("/nonexistent/midiC9D9"), false, &error));
        QVERIFY2(error.contains(QLatin1String("/nonexistent/midiC9D9")), qPrintable(error));
        QVERIFY(!device.sendLongMessage(sysex(4, 1)));
    }

    void readsAndWrites_data()
    {
        QTest::addColumn<bool>("dinSpeed");
        QTest::addColumn<int>("count");   // messages each way
        QTest::addColumn<int>("size");
        // More than the line's buffer holds at once: the device must wait until it may write.
        QTest::newRow("free-running") << false << 40 << 654;
        QTest::newRow("DIN speed") << true << 4 << 90;
    }
    void readsAndWrites()
    {
        QFETCH(bool, dinSpeed);
        QFETCH(int, count);
        QFETCH(int, size);
        Line line;
        QVERIFY2(!line.path.isEmpty(), "no pseudo-terminal");
        RawMidiDevice device;
        Collector collector;
        device.setReceiver(&collector);
        QString error;
        QVERIFY2(device.open(line.path, dinSpeed, &error), qPrintable(error));

        // In: whole messages out of a stream that carries real-time bytes inside them and
        // channel messages between them, written in pieces that do not follow the messages.
        QByteArrayList sent;
        QByteArray stream;
        for (int i = 0; i < count; ++i) {
            sent << sysex(size, i);
            stream += QByteArray::fromHex("903C40") + sent.last().left(size / 2) + char(0xF8) + sent.last().mid(size / 2);
        }
        for (qsizetype at = 0; at < stream.size(); at += 333) {
            QVERIFY(line.write(stream.mid(at, 333)));
            QTest::qWait(1);
        }
        QTRY_COMPARE_WITH_TIMEOUT(collector.messages, sent, 10000);

        // Out: every byte, in order.
        QByteArray expected;
        for (int i = 0; i < count; ++i) {
            expected += sysex(size, i + 50) + char(0xF8);
            QVERIFY(device.sendLongMessage(sysex(size, i + 50)));
            QVERIFY(device.sendLongMessage(QByteArray(1, char(0xF8))));
        }
        QByteArray received;
        QVERIFY(QTest::qWaitFor([&] { return (received += line.readAvailable()).size() >= expected.size(); }, 10000));
        QCOMPARE(received, expected);
    }

    void farEndGone()
    {
        Line line;
        QVERIFY2(!line.path.isEmpty(), "no pseudo-terminal");
        RawMidiDevice device;
        QSignalSpy failed(&device, &RawMidiDevice::failed);
        QString error;
        QVERIFY2(device.open(line.path, false, &error), qPrintable(error));
        line.closeFar();
        QVERIFY(failed.wait(5000));
        QVERIFY2(failed.first().first().toString().contains(line.path), qPrintable(failed.first().first().toString()));
        QVERIFY(!device.sendLongMessage(sysex(4, 1)));
    }
};

QTEST_GUILESS_MAIN(TestRawMidiDevice)
#include "tst_rawmididevice.moc"
