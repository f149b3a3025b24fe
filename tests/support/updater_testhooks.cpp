// Test hooks of the Updater program, linked only into Updater-testhooks: the
// same main and libraries as the shipped Updater, plus this file. The shipped
// program reads no environment variables of its own and has no such hooks;
// tests run this build where they must shorten a limit that would otherwise
// make them wait for real minutes.
//
//   KS_TESTHOOK_STALL_SECONDS=N   a server transfer that stalls for N seconds
//                                 is abandoned (the program's limit is 60 s)
//
// The hooks are applied by a static constructor, before main. The limits they
// change are constant-initialised (HTTPRequest::Limits has only constant
// member initialisers), so they are in place before any constructor runs.
#include <cstdlib>

#include "HTTPRequest.h"

namespace {

struct TestHooks {
    TestHooks() {
        const char* stall = std::getenv("KS_TESTHOOK_STALL_SECONDS");
        if (stall && *stall) {
            HTTPRequest::Limits limits = HTTPRequest::limits();
            limits.lowSpeedSeconds = std::atol(stall);
            HTTPRequest::set_limits_for_testing(limits);
        }
    }
};

const TestHooks hooks;

} // namespace
