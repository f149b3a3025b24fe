#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

UpdaterDisplayInterface::UpdaterDisplayInterface() : muted(false) {}

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
    if (muted) {
        return;
    }
    char buffer[MESSAGE_SIZE];
    buffer[0] = '\0';
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        // vsnprintf cuts an over-long text at MESSAGE_SIZE - 1 characters.
        vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
    }
    if (level == LEVEL_ERROR) {
        error_message(buffer);
    } else {
        info_message(buffer);
    }
}

void UpdaterDisplayInterface::mute_messages(bool mute) {
    muted = mute;
}
