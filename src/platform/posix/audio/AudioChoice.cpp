#include "platform/posix/audio/AudioChoice.h"

#include <cstdlib>
#include <cstring>

AudioChoice AudioChoiceFromEnvironment() {
    const char* value = std::getenv("KALDRIX_AUDIO");
    if (!value || !*value || std::strcmp(value, "auto") == 0)
        return AudioChoice::Auto;
    if (std::strcmp(value, "alsa") == 0)
        return AudioChoice::Alsa;
    if (std::strcmp(value, "virtual") == 0)
        return AudioChoice::Virtual;
    return AudioChoice::None;
}
