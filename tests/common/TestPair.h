#pragma once
// A PortPair on an in-process unit (LinkedUnit), for the session and the window without a
// MIDI server: fixed port lists that a test changes, ports that go, an output that refuses,
// and replies that a test rewrites or adds to on their way.

#include "LinkedUnit.h"
#include "MidiEvent.h"
#include "PortPair.h"

#include <QTimer>

#include <memory>

namespace TestSupport {

class TestPair : public Tarsyn::PortPair {
public:
    TestPair() : unit(std::make_unique<LinkedUnit>([this](const QByteArray &r) { arrived(r); })) {}

    QStringList listedInputs() const override { return inputs; }
    QStringList listedOutputs() const override { return outputs; }
    void watchPorts() override {}
    bool open(int inputIndex, int outputIndex) override
    {
        isOpen = opens && inputIndex >= 0 && inputIndex < inputs.size() && outputIndex >= 0
            && outputIndex < outputs.size();
        if (isOpen) {
            inName = inputs.at(inputIndex);
            outName = outputs.at(outputIndex);
        }
        return isOpen;
    }
    void close() override { isOpen = false; }
    QString openInputName() const override { return isOpen ? inName : QString(); }
    QString openOutputName() const override { return isOpen ? outName : QString(); }
    void setReceiver(QObject *r) override { receiver = r; }

    bool sendLongMessage(const QByteArray &message) override
    {
        ++attempts;
        if (!isOpen || (refuseAfter >= 0 && attempts > refuseAfter))
            return false;
        sent << message;
        if (answers && std::uint8_t(message.at(Tarsyn::CommandPos)) == Tarsyn::CmdIdentify && !identity.isEmpty())
            QTimer::singleShot(0, this, [this] { arrived(identity); });
        else if (answers)
            unit->sendLongMessage(message);
        return true;
    }

    // Hands `message` to the receiver as the MIDI input callback's event would.
    void deliver(const QByteArray &message)
    {
        Tarsyn::MidiEvent event(message);
        QCoreApplication::sendEvent(receiver, &event);
    }

    QStringList inputs{QStringLiteral("client:unit out")};
    QStringList outputs{QStringLiteral("client:unit in")};
    bool opens = true;
    bool isOpen = false;
    bool answers = true;       // the unit answers what is sent
    QByteArray identity;       // its answer to an identify request (none when empty)
    int refuseAfter = -1;      // the output refuses every message after this many
    int attempts = 0;
    QList<QByteArray> sent;    // what the output took
    std::unique_ptr<LinkedUnit> unit;
    // Each reply of the unit on its way: rewrite it; `extra` go after it (counted from 1).
    std::function<QByteArray(const QByteArray &)> rewrite;
    std::function<QList<QByteArray>(int reply)> extra;

private:
    void arrived(const QByteArray &r)
    {
        if (!isOpen)
            return;
        const int n = ++replies_;
        deliver(rewrite ? rewrite(r) : r);
        if (extra)
            for (const QByteArray &m : extra(n))
                deliver(m);
    }

    QObject *receiver = nullptr;
    QString inName, outName;
    int replies_ = 0;
};

} // namespace TestSupport
