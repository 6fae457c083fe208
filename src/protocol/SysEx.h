#pragma once
// The unit's SysEx vocabulary: frame, commands, reply codes and the 7-bit packing.
// Plain data and pure functions, shared by the host, the virtual unit and the tests.

#include <cstddef>
#include <cstdint>

namespace Tarsyn {

// Every message in both directions starts with these bytes; bytes 5..8 are the serial
// field (zero from the host) and byte 9 is the command.
inline constexpr std::uint8_t FrameStart[5] = {0xF0, 0x00, 0x11, 0x22, 0x02};
inline constexpr int HeaderLength = 10;
inline constexpr int CommandPos = 9;
inline constexpr std::uint8_t SysExEnd = 0xF7;

// Commands the host sends.
enum Command : std::uint8_t {
    CmdIdentify = 0x00,
    CmdPresetRead = 0x01,
    CmdPresetWrite = 0x02,
    CmdLargeBlock = 0x04,
    CmdSmallBlock = 0x05,
    CmdPart1 = 0x06,
    CmdPart2 = 0x07,
    CmdPart3 = 0x08,
    CmdPart4 = 0x09,
};

// Commands the unit sends.
enum UnitCommand : std::uint8_t {
    UnitIdentity = 0x20,
    UnitPresetData = 0x21,
    UnitPresetWritten = 0x22,
    UnitOther = 0x23,
    UnitBlockOk = 0x24,
    UnitBlockOk25 = 0x25,
    UnitResendLarge = 0x26,
    UnitResendSmall = 0x27,
    UnitStatus = 0x43,
};

// What decoding one message from the unit yields.
enum ReplyCode : int {
    ReplyNone = 0,
    ReplyIdentity = 1,
    ReplyOther = 2,
    ReplyStatusZero = 3,
    ReplyStatusOther = 4,
    ReplyBlockOk24 = 5,
    ReplyBlockOk25 = 6,
    ReplyResendLarge = 7,
    ReplyResendSmall = 8,
    ReplyPresetData = 9,
    ReplyPresetWritten = 10,
};

inline constexpr int PresetSize = 256;          // bytes of one preset
inline constexpr int PackedPresetSize = 320;    // its packed form on the wire
inline constexpr int PresetBanks = 16;
inline constexpr int PresetSlots = 128;
inline constexpr int PresetCount = PresetBanks * PresetSlots;
inline constexpr int PresetWriteLength = 333;   // 0x02 message: header, slot, bank, 320, F7
inline constexpr int PresetDataLength = 331;    // 0x21 message: header, 320, F7

inline constexpr std::uint32_t ImageSize = 0x100000;       // the FirmwareImage buffer
inline constexpr std::uint32_t FileSkip = 0x12000;         // firmware file bytes never sent
inline constexpr std::uint32_t PayloadSize = 0xEE000;      // file bytes 0x12000..0xFFFFF
inline constexpr std::uint32_t LargeRegion = 0x80000;      // 512-byte blocks from here on
inline constexpr std::uint32_t LastPayloadBlock = 0xEDE00; // the payload's last 512-byte block

// Seven-bit packing: 4 data bytes travel as their low 7 bits followed by a flag byte whose
// bit k is bit 7 of data byte k. `dataLength` must be a multiple of 4; writes
// dataLength / 4 * 5 bytes to `wire` and returns that count.
int packSevenBit(const std::uint8_t *data, int dataLength, std::uint8_t *wire);

// The reverse: every started group of 5 wire bytes yields 4 data bytes, taken as received
// (not masked). Reads only `wireLength` bytes of `wire`: a missing flag byte of a cut-off
// group counts as 0 and missing data bytes as 0. Returns 4 x groups (0 for length <= 0).
int unpackSevenBit(int wireLength, const std::uint8_t *wire, std::uint8_t *out);

} // namespace Tarsyn
