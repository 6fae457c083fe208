#include "FirmwareFile.h"

#include "SysEx.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

namespace Tarsyn {

namespace {

// Reads until `length` bytes are in or the device has no more; a plain QFile delivers
// everything at once, but a device may hand it over in pieces.
qint64 readFully(QFile &file, char *into, qint64 length)
{
    qint64 total = 0;
    while (total < length) {
        const qint64 got = file.read(into + total, length - total);
        if (got <= 0)
            break;
        total += got;
    }
    return total;
}

QString byteCount(qint64 bytes)
{
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(bytes);
}

} // namespace

bool loadFirmwareImage(const QString &path, std::uint8_t *image)
{
    // Only a regular file (or a resource): opening a FIFO would wait for a writer forever.
    if (!QFileInfo(path).isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // The first 0x12000 bytes of the file are never sent. Reading (rather than seeking)
    // past them works for every kind of device; how many arrive does not matter.
    QByteArray skipped(FileSkip, Qt::Uninitialized);
    readFully(file, skipped.data(), FileSkip);
    readFully(file, reinterpret_cast<char *>(image), ImageSize);
    return true;
}

QString checkFirmwareFile(const QString &path)
{
    // Checked before opening: a FIFO would block the open until something writes to it,
    // and a device or folder has no firmware size.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        return QCoreApplication::translate("FirmwareFile", "The firmware file \"%1\" is not a regular file.")
            .arg(path);
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QCoreApplication::translate("FirmwareFile", "The firmware file \"%1\" cannot be read: %2.")
            .arg(path, file.errorString());
    }
    const qint64 size = file.size();
    if (size != FirmwareFileSize) {
        return QCoreApplication::translate("FirmwareFile",
                                           "The firmware file \"%1\" is %2 bytes; a firmware file has %3 bytes.")
            .arg(path, byteCount(size), byteCount(FirmwareFileSize));
    }
    return {};
}

void makePlaceholderFirmware(std::uint8_t *file)
{
    // xorshift32 from a fixed seed: the same file on every build, with every byte value
    // (bit 7 set, 0xF0, 0xF7) spread through the payload so that packing is exercised.
    std::uint32_t state = 0x7A125EEDu;
    for (qint64 i = 0; i < FirmwareFileSize; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        file[i] = std::uint8_t(state >> 24);
    }
    // The payload opens with the bytes that must never appear raw on the wire.
    static constexpr std::uint8_t opening[] = {0xF0, 0xF7, 0x80, 0xFF, 0x7F, 0x00, 0xF7, 0xF0};
    for (std::size_t i = 0; i < sizeof opening; ++i)
        file[FileSkip + i] = opening[i];
}

} // namespace Tarsyn
