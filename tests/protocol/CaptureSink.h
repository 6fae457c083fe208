#pragma once
// A MessageSink that keeps every message handed to it, and byte helpers for the tests.

#include "MessageSink.h"

#include <QByteArray>
#include <QList>

#include <initializer_list>

class CaptureSink : public Tarsyn::MessageSink {
public:
    bool sendLongMessage(const QByteArray &message) override
    {
        messages.append(message);
        return accepts;
    }
    QList<QByteArray> messages;
    bool accepts = true;
};

// Literal bytes, written the way the protocol's tables write them.
inline QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

// The 10-byte frame header that every host message starts with.
inline QByteArray hostHeader(int command)
{
    return bytes({0xF0, 0x00, 0x11, 0x22, 0x02, 0x00, 0x00, 0x00, 0x00, command});
}
