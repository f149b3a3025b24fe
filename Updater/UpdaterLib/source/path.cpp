#include "path.h"

#include <cstdarg>

#include "qDirectory.h"

std::string BuildPath(const char* first, ...) {
    std::string result = first ? first : "";
    va_list args;
    va_start(args, first);
    for (const char* part = va_arg(args, const char*); part != nullptr;
         part = va_arg(args, const char*)) {
        result += qDIR_PATH_SEP;
        result += part;
    }
    va_end(args);
    return result;
}
