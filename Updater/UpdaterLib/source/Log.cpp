#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

std::atomic<uint32_t> Log::package_bitmask{0};
std::atomic<FILE*> Log::fh{nullptr};
std::atomic<bool> Log::timestamped{false};
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

const LogPackageName Log::PACKAGES[] = {
    {"DEBUG_Updater", DEBUG_Updater},
    {"DEBUG_History", DEBUG_History},
    {"DEBUG_Attributes", DEBUG_Attributes},
    {"DEBUG_BirdFile", DEBUG_BirdFile},
    {"DEBUG_Network", DEBUG_Network_Legacy},
    {"DEBUG_ServerComm", DEBUG_ServerComm},
    {"DEBUG_Network", DEBUG_Network},
    {"DEBUG_Network_SR", DEBUG_Network_SR},
    {"DEBUG_Network_FIRM", DEBUG_Network_FIRM},
    {"DEBUG_NXPSerial", DEBUG_NXPSerial},
    {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E},
    {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR},
    {"DEBUG_APP", DEBUG_APP},
    {"DEBUG_iMXSerial", DEBUG_iMXSerial},
};
const size_t Log::PACKAGE_COUNT = sizeof(Log::PACKAGES) / sizeof(Log::PACKAGES[0]);

void Log::log(unsigned package, const char* format, ...) {
    FILE* out = fh.load(std::memory_order_relaxed);
    if (out == nullptr || format == nullptr) {
        return;
    }
    if (package != 0 && (package & package_bitmask.load(std::memory_order_relaxed)) == 0) {
        return;
    }

    char line[LINE_SIZE];
    size_t used = 0;
    line[0] = '\0';
    if (timestamped.load(std::memory_order_relaxed)) {
        time_t now = time(nullptr);
        struct tm local;
        if (localtime_r(&now, &local) != nullptr) {
            used = strftime(line, sizeof line, TIMESTAMP_FORMAT, &local);
        }
        size_t slen = strlen(SEPARATOR);
        if (used + slen < sizeof line) {
            memcpy(line + used, SEPARATOR, slen + 1);
            used += slen;
        }
    }

    va_list args;
    va_start(args, format);
    int n = vsnprintf(line + used, sizeof line - used, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    size_t room = sizeof line - used - 1;
    size_t length = static_cast<size_t>(n);
    if (length > room) {
        // Cut at the buffer's end; a line meant to end with a newline still
        // ends with one, so the next line does not run into it.
        length = room;
        size_t flen = strlen(format);
        if (length > 0 && flen > 0 && format[flen - 1] == '\n') {
            line[used + length - 1] = '\n';
        }
    }
    fwrite(line, 1, used + length, out);
}

void Log::SetOutput(FILE* stream) {
    fh.store(stream, std::memory_order_relaxed);
}

void Log::ActivatePackage(uint32_t bits) {
    package_bitmask.fetch_or(bits, std::memory_order_relaxed);
}

void Log::DeactivatePackage(uint32_t bits) {
    package_bitmask.fetch_and(~bits, std::memory_order_relaxed);
}

uint32_t Log::ActivePackages() {
    return package_bitmask.load(std::memory_order_relaxed);
}
