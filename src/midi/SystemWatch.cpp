#include "SystemWatch.h"

namespace Tarsyn::Midi {

bool systemHasNotices(RtMidi::Api api)
{
    switch (api) {
#ifdef TARSYN_HAVE_JACK
    case RtMidi::UNIX_JACK:
        return true;
#endif
#ifdef TARSYN_HAVE_ALSA
    case RtMidi::LINUX_ALSA:
        return true;
#endif
    default:
        return false;
    }
}

std::unique_ptr<SystemWatch> openSystemWatch(RtMidi::Api api, const SystemWatch::Notify &notify)
{
    switch (api) {
#ifdef TARSYN_HAVE_JACK
    case RtMidi::UNIX_JACK:
        return openJackWatch(notify);
#endif
#ifdef TARSYN_HAVE_ALSA
    case RtMidi::LINUX_ALSA:
        return openAlsaWatch(notify);
#endif
    default:
        (void)notify;
        return nullptr;
    }
}

} // namespace Tarsyn::Midi
