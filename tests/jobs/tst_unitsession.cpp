// The job engine against an in-process unit: what ends each job and what the outcome says
// (the unit answers, goes silent, a port goes, the output refuses), the replies the unit
// may send besides the usual ones, and the preset store's bank-0 rule.
#include "TestPair.h"
#include "UnitSession.h"

#include <QSignalSpy>
#include <QTest>

#include <cstring>

using namespace Tarsyn;
using namespace TestSupport;
using Job = UnitSession::Job;
using End = UnitSession::End;

namespace {

struct Rig {
    TestPair pair;
    UnitSession session{pair};
    QSignalSpy finished{&session, &UnitSession::finished};

    explicit Rig(int minor = 9)
    {
        pair.identity = identityReply(minor);
        pair.unit->multiPart = minor >= 10;
        // Replies come at once; a slow run must not look like a lost reply.
        session.setTimeout(600000);
        QVERIFY(session.open(0, 0) == UnitSession::OpenResult::Opened);
    }
    void start(Job job, PresetSet *presets)
    {
        switch (job) {
        case Job::Identify: session.identify(600000); break;
        case Job::Update: session.update(600000); break;
        case Job::Backup: session.backup(presets, 600000); break;
        default: session.restore(*presets, 600000); break;
        }
    }
    UnitSession::Outcome outcome()
    {
        if (finished.isEmpty() && !waitUntil([&] { return !finished.isEmpty(); }))
            return {};
        return finished.first().first().value<UnitSession::Outcome>();
    }
    bool flashExact()
    {
        return std::memcmp(pair.unit->flash.data(), session.deviceLink().imageBuffer(), PayloadSize) == 0;
    }
    PresetSet unitPresets() const
    {
        PresetSet set;
        for (int i = 0; i < PresetCount; ++i) {
            QByteArray packed(PackedPresetSize, '\0');
            packSevenBit(&pair.unit->presets[std::size_t(i) * PresetSize], PresetSize,
                         reinterpret_cast<std::uint8_t *>(packed.data()));
            set.packed[std::size_t(i)] = packed;
        }
        return set;
    }
};

} // namespace

class TestUnitSession : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<UnitSession::Outcome>(); }

    // Every job ends with one outcome that says why: the end, the port concerned, and
    // nothing sent after an output refused a message.
    void jobEnds_data()
    {
        QTest::addColumn<Job>("job");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<End>("end");
        for (Job job : {Job::Identify, Job::Update, Job::Backup, Job::Restore}) {
            const char *name = QMetaEnum::fromType<Job>().valueToKey(int(job));
            QTest::addRow("%s, clean", name) << job << "" << End::Success;
            QTest::addRow("%s, port gone", name) << job << "port gone" << End::PortGone;
            QTest::addRow("%s, refused at once", name) << job << "refused at once" << End::SendFailed;
            QTest::addRow("%s, silent", name) << job << "silent" << (job == Job::Identify ? End::NoUnit : End::Silent);
            if (job != Job::Identify)
                QTest::addRow("%s, refused mid-job", name) << job << "refused mid-job" << End::SendFailed;
        }
    }
    void jobEnds()
    {
        QFETCH(Job, job);
        QFETCH(QString, fault);
        QFETCH(End, end);
        Rig rig;
        PresetSet presets = rig.unitPresets();
        if (fault == "refused at once")
            rig.pair.refuseAfter = 0;
        if (fault == "refused mid-job")
            rig.pair.refuseAfter = 40;
        if (fault == "silent") {
            rig.session.setTimeout(20);
            rig.session.setMaxRepeats(2);
            rig.pair.unit->faults.silentAfter = 30;
            if (job == Job::Identify)
                rig.pair.identity.clear();
        }
        if (job == Job::Identify && fault == "silent")
            rig.session.identify(100);
        else
            rig.start(job, &presets);
        QVERIFY(rig.session.running());
        if (fault == "port gone")
            emit rig.pair.openPortGone(QStringLiteral("client:unit out"));
        const UnitSession::Outcome outcome = rig.outcome();
        QCOMPARE(rig.finished.size(), 1);
        QCOMPARE(outcome.end, end);
        QCOMPARE(outcome.job, end == End::NoUnit || (fault != "port gone" && fault != "refused at once") ? job : Job::Identify);
        QVERIFY(!rig.session.running());
        QCOMPARE(outcome.port, QString(end == End::PortGone     ? "client:unit out"
                                       : end == End::SendFailed ? "client:unit in"
                                                                : ""));
        if (end == End::SendFailed)
            QCOMPARE(rig.pair.attempts, rig.pair.refuseAfter + 1);
        if (job == Job::Update && end == End::Success)
            QVERIFY(rig.flashExact());
        // What comes after the end starts nothing.
        const int sent = int(rig.pair.sent.size());
        rig.session.messageReceived(reply(UnitBlockOk));
        rig.session.messageReceived(reply(UnitPresetWritten));
        QCOMPARE(int(rig.pair.sent.size()), sent);
    }

    // A job started while another runs ends that one first: a pass whose requests went
    // on beside the blocks would garble both.
    void newJobEndsRunning()
    {
        Rig rig;
        rig.pair.answers = false;
        rig.session.startPresetPass(true);
        rig.pair.answers = true;
        rig.session.update();
        QCOMPARE(rig.outcome().job, Job::PresetPass);
        QCOMPARE(rig.outcome().end, End::Stopped);
        QVERIFY(!rig.session.presetExchange().passRunning());
        QVERIFY(waitUntil([&] { return rig.finished.size() == 2; }));
        QCOMPARE(rig.finished.last().first().value<UnitSession::Outcome>().end, End::Success);
        QVERIFY(rig.flashExact());
    }

    // Updates that meet the replies a unit may send besides 0x24: 0x25 acknowledges a block
    // as well, and a status 0 mid-transfer is told (the window gives its controls back) while
    // the update goes on to the end.
    void update_data()
    {
        QTest::addColumn<int>("minor");
        QTest::addColumn<bool>("ack25");
        QTest::addColumn<int>("statusZeroAt");
        QTest::newRow("0x25 acknowledgements") << 9 << true << 0;
        QTest::newRow("0x25 acknowledgements, multi-part") << 10 << true << 0;
        QTest::newRow("status 0 mid-transfer") << 9 << false << 1500;
    }
    void update()
    {
        QFETCH(int, minor);
        QFETCH(bool, ack25);
        QFETCH(int, statusZeroAt);
        Rig rig(minor);
        QSignalSpy statusZero(&rig.session, &UnitSession::statusZero);
        if (ack25)
            rig.pair.rewrite = [](const QByteArray &r) {
                return std::uint8_t(r.at(CommandPos)) == UnitBlockOk ? reply(UnitBlockOk25) : r;
            };
        rig.pair.extra = [statusZeroAt](int n) {
            return n == statusZeroAt ? QList<QByteArray>{reply(UnitStatus, QByteArray(1, '\0'))} : QList<QByteArray>{};
        };
        rig.session.update(600000);
        const UnitSession::Outcome outcome = rig.outcome();
        QCOMPARE(outcome.end, End::Success);
        QCOMPARE(outcome.progress, FirmwareTransfer::EndCount);
        QVERIFY(rig.flashExact());
        QCOMPARE(statusZero.size(), statusZeroAt > 0 ? 1 : 0);
    }

    // A preset reply one byte short or long carries no preset: during a pass it stores
    // nothing and sends nothing, and the request stays open until the whole reply comes.
    void shortPresetReply_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("330 bytes") << 330;
        QTest::newRow("332 bytes") << 332;
    }
    void shortPresetReply()
    {
        QFETCH(int, length);
        Rig rig;
        PresetSet backup;
        rig.session.backup(&backup);
        const int sent = int(rig.pair.sent.size());
        const QByteArray wrong = reply(UnitPresetData, QByteArray(length - HeaderLength - 1, '\x11'));
        rig.pair.deliver(wrong);
        QCOMPARE(int(rig.pair.sent.size()), sent);
        QCOMPARE(rig.outcome().end, End::Success);
        QCOMPARE(backup.packed, rig.unitPresets().packed);
    }

    // The store keeps bank 0's byte 128 two above the unit's value and every other bank as
    // the unit has it; a restore writes back exactly what differs, as the unit held it.
    void bank0Adjustment()
    {
        Rig rig;
        PresetSet backup;
        const std::vector<std::uint8_t> original = rig.pair.unit->presets;
        rig.session.backup(&backup);
        QCOMPARE(rig.outcome().end, End::Success);
        const std::uint8_t *store = rig.session.presetExchange().presetImage();
        for (int bank : {0, 3}) {
            for (int slot : {0, 5, 127}) {
                const std::size_t at = (std::size_t(bank) * PresetSlots + std::size_t(slot)) * PresetSize + 128;
                QCOMPARE(int(store[at]), (original[at] + (bank == 0 ? 2 : 0)) & 0xFF);
            }
        }
        rig.pair.unit->presets[5 * PresetSize + 128] ^= 0x40;
        rig.pair.unit->presets[(3 * PresetSlots + 9) * PresetSize + 7] ^= 0x01;
        rig.finished.clear();
        rig.session.restore(backup);
        const UnitSession::Outcome outcome = rig.outcome();
        QCOMPARE(outcome.end, End::Success);
        QCOMPARE(outcome.presetsWritten, 2);
        QVERIFY(rig.pair.unit->presets == original);
    }
};

QTEST_GUILESS_MAIN(TestUnitSession)
#include "tst_unitsession.moc"
