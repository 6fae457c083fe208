// tarsyn-update: the window that updates the firmware of a Tarsyn+ unit over MIDI.
// Options: --version and --help; the other arguments go to the application object.
#include "Startup.h"

int main(int argc, char **argv)
{
    return Tarsyn::runWindow(argc, argv);
}
