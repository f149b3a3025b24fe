// Test hooks of the Updater program, linked only into Updater-testhooks: the
// same main and libraries as the shipped Updater, plus this file. The shipped
// program reads no environment variables of its own and has no such hooks;
// tests run this build where they must shorten a limit that would otherwise
// make them wait for real minutes.
//
//   KS_TESTHOOK_STALL_SECONDS=N   a server transfer that stalls for N seconds
//                                 is abandoned (the program's limit is 60 s)
//   KS_TESTHOOK_LOADER_ATTEMPTS=N attempts to reach the loader after LOAD
//                                 (the program's: 15, 1 s apart)
//   KS_TESTHOOK_REBOOT_MS=N       how long the module gets to leave after
//                                 REBOOT (the program's: 30 s)
//   KS_TESTHOOK_RETURN_MS=N       how long it gets to answer again after its
//                                 restart (the program's: 30 s)
//
// The hooks are applied by a static constructor, before main. The limits they
// change are constant-initialised (HTTPRequest::Limits has only constant
// member initialisers), so they are in place before any constructor runs.
#include <cstdlib>

#include "HTTPRequest.h"
#include "UpdaterTransfer.h"

namespace {

struct TestHooks {
    TestHooks() {
        const char* stall = std::getenv("KS_TESTHOOK_STALL_SECONDS");
        if (stall && *stall) {
            HTTPRequest::Limits limits = HTTPRequest::limits();
            limits.lowSpeedSeconds = std::atol(stall);
            HTTPRequest::set_limits_for_testing(limits);
        }
        UpdateLimits& update = update_limits();
        if (const char* v = std::getenv("KS_TESTHOOK_LOADER_ATTEMPTS"))
            update.loaderAttempts = std::atoi(v);
        if (const char* v = std::getenv("KS_TESTHOOK_REBOOT_MS"))
            update.rebootGoneMs = static_cast<uint32_t>(std::atol(v));
        if (const char* v = std::getenv("KS_TESTHOOK_RETURN_MS"))
            update.returnMs = static_cast<uint32_t>(std::atol(v));
    }
};

const TestHooks hooks;

} // namespace
