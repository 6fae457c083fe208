#pragma once
// PresetSet: all 2048 presets in their packed wire form, as a backup reads them and a
// restore writes them back (SyxFile.h reads and writes them as .syx files).

#include "SysEx.h"

#include <QByteArray>

#include <array>

namespace Tarsyn {

// Indexed bank x 128 + slot; an entry is empty until set, otherwise exactly 320 bytes.
struct PresetSet {
    std::array<QByteArray, PresetCount> packed;

    static int index(int bank, int slot) { return bank * PresetSlots + slot; }
    QByteArray &at(int bank, int slot) { return packed[std::size_t(index(bank, slot))]; }
    const QByteArray &at(int bank, int slot) const { return packed[std::size_t(index(bank, slot))]; }
    bool complete() const
    {
        for (const QByteArray &entry : packed)
            if (entry.size() != PackedPresetSize)
                return false;
        return true;
    }
};

} // namespace Tarsyn
