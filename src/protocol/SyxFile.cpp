#include "SyxFile.h"

#include "DeviceLink.h"
#include "SysEx.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QStorageInfo>

#include <cstring>

namespace Tarsyn {

namespace SyxFile {

QByteArray encodePresets(const PresetSet &set)
{
    QByteArray out;
    out.reserve(PresetCount * PresetWriteLength);
    for (int bank = 0; bank < PresetBanks; ++bank)
        for (int slot = 0; slot < PresetSlots; ++slot)
            out += DeviceLink::presetWriteMessage(slot, bank, set.at(bank, slot));
    return out;
}

namespace {

// What is wrong with one message, or an empty text.
QString checkMessage(const std::uint8_t *m, qsizetype length)
{
    if (length != PresetWriteLength)
        return QStringLiteral("it is %1 bytes long; a preset message is %2").arg(length).arg(PresetWriteLength);
    if (std::memcmp(m, FrameStart, sizeof FrameStart) != 0 || m[CommandPos] != CmdPresetWrite)
        return QStringLiteral("it is not a Tarsyn+ preset-write message");
    for (qsizetype i = 1; i < length - 1; ++i)
        if (m[i] & 0x80)
            return QStringLiteral("byte %1 is not a 7-bit data byte").arg(i);
    if (m[11] >= PresetBanks)
        return QStringLiteral("it names bank %1; banks run from 0 to 15").arg(m[11]);
    return {};
}

} // namespace

QString parsePresets(const QByteArray &bytes, PresetSet &set)
{
    set = PresetSet();
    const auto *data = reinterpret_cast<const std::uint8_t *>(bytes.constData());
    const qsizetype size = bytes.size();
    qsizetype pos = 0;
    int count = 0;
    while (pos < size) {
        if (data[pos] != 0xF0)
            return QStringLiteral("byte %1 is not the start of a SysEx message").arg(pos);
        qsizetype end = pos + 1;
        while (end < size && data[end] != SysExEnd && data[end] != 0xF0)
            ++end;
        if (end >= size || data[end] != SysExEnd)
            return QStringLiteral("message %1 (at byte %2) has no end: the file is truncated or damaged")
                .arg(count + 1).arg(pos);
        const QString problem = checkMessage(data + pos, end + 1 - pos);
        if (!problem.isEmpty())
            return QStringLiteral("message %1 (at byte %2): %3").arg(count + 1).arg(pos).arg(problem);
        const int slot = data[pos + 10];
        const int bank = data[pos + 11];
        QByteArray &entry = set.at(bank, slot);
        if (!entry.isEmpty())
            return QStringLiteral("bank %1 slot %2 appears twice").arg(bank).arg(slot);
        entry = bytes.mid(pos + 12, PackedPresetSize);
        ++count;
        pos = end + 1;
    }
    if (count != PresetCount) {
        for (int bank = 0; bank < PresetBanks; ++bank)
            for (int slot = 0; slot < PresetSlots; ++slot)
                if (set.at(bank, slot).isEmpty())
                    return QStringLiteral("it holds %1 of the %2 presets; bank %3 slot %4 is missing")
                        .arg(count).arg(PresetCount).arg(bank).arg(slot);
    }
    return {};
}

QString readPresets(const QString &path, PresetSet &set)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    // A sane preset file is 681,984 bytes; refuse to slurp anything far larger.
    if (file.size() > 4 * PresetCount * PresetWriteLength)
        return QStringLiteral("%1 is not a preset file: it is %2 bytes long").arg(path).arg(file.size());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    const QString problem = parsePresets(bytes, set);
    if (!problem.isEmpty())
        return QStringLiteral("%1 is not a usable preset file: %2").arg(path, problem);
    return {};
}

bool writePresets(QIODevice &device, const PresetSet &set)
{
    const QByteArray bytes = encodePresets(set);
    return device.write(bytes) == bytes.size();
}

QString writeFailure(const QFileDevice &file)
{
    // Qt reports ENOSPC as a resource error; a file system that filled up (or a quota) may
    // also leave only a vague text behind, so the free space is looked at too.
    const QStorageInfo storage(QFileInfo(file.fileName()).absolutePath());
    if (file.error() == QFileDevice::ResourceError || (storage.isValid() && storage.bytesAvailable() < 64 * 1024))
        return QStringLiteral("the disk is full");
    return file.errorString();
}

} // namespace SyxFile
} // namespace Tarsyn
