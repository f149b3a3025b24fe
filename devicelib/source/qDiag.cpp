#include "qDiag.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

// Guards the handler and its reference, which are set and read together.
std::mutex g_lock;
qDiagHandler g_handler = nullptr;
void* g_ref = nullptr;

} // namespace

void qDiag_SetHandler(qDiagHandler handler, void* ref) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_handler = handler;
    g_ref = ref;
}

void qDiag_Printf(const char* format, ...) {
    qDiagHandler handler;
    void* ref;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        handler = g_handler;
        ref = g_ref;
    }
    if (!handler || !format)
        return;
    char line[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0)
        return;
    handler(line, ref);
}
