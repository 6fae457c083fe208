#pragma once
// Preset sets as standard .syx files: the unit's own preset-write messages, one per preset,
// bank 0..15 and within each bank slot 0..127:
//   F0 00 11 22 02 00 00 00 00 02 <slot> <bank> <320 packed bytes> F7   (333 bytes)
// The packed bytes are kept exactly as the unit sent them, so a file round-trips byte for
// byte. tarsyn-flash backs up and restores with them; the virtual unit loads and dumps its
// store with them. Plain functions; nothing here prints or throws.

#include "PresetSet.h"

#include <QByteArray>
#include <QString>

class QFileDevice;
class QIODevice;

namespace Tarsyn {

namespace SyxFile {

// The whole file for a complete set (2048 x 333 bytes).
QByteArray encodePresets(const PresetSet &set);

// Parses a file's bytes. Accepts exactly 2048 well-formed preset-write messages that cover
// every bank and slot once, in any order, with nothing between them. Returns an empty text
// on success, otherwise what is wrong, in the user's terms; `set` is then unspecified.
QString parsePresets(const QByteArray &bytes, PresetSet &set);

// Reads and parses `path`; the error text names the file.
QString readPresets(const QString &path, PresetSet &set);

// Writes a complete set to an open device. False when the device did not take every byte.
bool writePresets(QIODevice &device, const PresetSet &set);

// Why writing to `file` failed, in the user's terms: "the disk is full" when the file
// system has no room left (the system's own text is often no help there), else the
// device's error text.
QString writeFailure(const QFileDevice &file);

} // namespace SyxFile
} // namespace Tarsyn
