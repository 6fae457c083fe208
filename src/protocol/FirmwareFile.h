#pragma once
// The firmware file and the image load.
//
// File layout: 1,048,576 bytes; bytes 0..0x11FFF are never sent; bytes 0x12000..0xFFFFF are
// the payload, loaded into image offsets 0..0xEDFFF.

#include <QString>

#include <cstdint>

namespace Tarsyn {

// The firmware file built into the programs (a resource).
inline constexpr char BuiltInFirmwarePath[] = ":/data/tarsosV2_3.bin";
inline constexpr qint64 FirmwareFileSize = 0x100000;

// The image load: opens `path` read-only, skips 0x12000 bytes and reads up to 1 MiB from
// there into `image` (1 MiB). Bytes the file does not reach keep their content. Returns
// false, touching nothing, when the file cannot be opened or is not a regular file.
bool loadFirmwareImage(const QString &path, std::uint8_t *image);

// Checks a firmware file chosen by a user before anything is sent. Returns an empty text
// when it can be used, otherwise a message in the user's terms (cannot be read, not a regular
// file, wrong size). It never blocks: a FIFO is refused before it is opened.
QString checkFirmwareFile(const QString &path);

// The deterministic placeholder firmware file that the build makes (1 MiB).
void makePlaceholderFirmware(std::uint8_t *file);

} // namespace Tarsyn
