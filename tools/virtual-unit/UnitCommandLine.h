#pragma once
// The command line of tarsyn-virtual-unit, parsed into UnitOptions and the program's own
// settings (files, port name, exit behaviour). No MIDI, no printing: main() reports.

#include "UnitModel.h"

#include <QString>
#include <QStringList>

namespace Tarsyn {

struct UnitCommandLine {
    // The program plays the least forgiving unit unless told otherwise.
    UnitOptions options{.addressPolicy = UnitOptions::AddressPolicy::Strict, .presetFaults = {}};
    QString portName;          // appended to "Tarsyn+ virtual unit" when not empty
    QString presetsFile;       // --presets: load the store from this .syx file
    QString dumpPresetsFile;   // --dump-presets: write the store here on exit
    QString dumpFile;          // --dump: write the 1 MiB flash image here on exit
    QString rawMidiDevice;     // --raw-midi: sit behind this raw MIDI device instead of virtual ports
    bool dinSpeed = false;     // --din-speed: read and write it at 31,250 baud
    bool exitAfterUpdate = false;
    bool verbose = false;
    bool help = false;
    bool showVersion = false;  // --version with no value

    // Parses `arguments` (with the program name first). False on an unknown option or a bad
    // value; `error` then says which, in the user's terms.
    bool parse(const QStringList &arguments, QString *error);
    static QString helpText();

    QString portBaseName() const;   // "Tarsyn+ virtual unit[ NAME]"
};

} // namespace Tarsyn
