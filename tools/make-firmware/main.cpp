// tarsyn-make-firmware FILE: writes the deterministic 1 MiB placeholder firmware file.
#include "FirmwareFile.h"

#include <cstdio>
#include <memory>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarsyn-make-firmware FILE\n");
        return 2;
    }
    auto file = std::make_unique<std::uint8_t[]>(Tarsyn::FirmwareFileSize);
    Tarsyn::makePlaceholderFirmware(file.get());
    std::FILE *out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(file.get(), 1, Tarsyn::FirmwareFileSize, out) != std::size_t(Tarsyn::FirmwareFileSize)
        || std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
