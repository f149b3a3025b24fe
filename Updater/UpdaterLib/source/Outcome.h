// What a step of a command came to: success, or a failure that carries its
// code, the user's text (what failed, and why) and, when a module or a chip
// is involved, where it now stands ("40F5849A is in its loader; run the same
// command again to finish the update").
//
// The one shape of a failure above the device library. A step returns an
// Outcome; callers in between only pass it on, adding context in front
// (Within) or the cause after (Because); the operation that the user started
// prints it once (Report) and turns it into its result. Nothing below the
// operation prints a failure of its own.
//
//     Outcome _send_block(...) {
//         qErr err = entity.TransferPrepare(...);
//         if (err != qErrNone)
//             return Outcome::Fail(err, "the module refused the block").Because(err);
//         return Outcome::Ok();
//     }
//     ...
//     Outcome out = _send_block(...).Within("Transferring firmware block 1 of 2");
//     if (!out.ok()) { out.Report(display); return false; }
#pragma once

#include <string>

#include "UpdaterDisplayInterface.h"
#include "qError.h"

class [[nodiscard]] Outcome {
  public:
    // Success.
    Outcome() = default;
    static Outcome Ok() { return Outcome(); }

    // A failure. code qErrNone is taken as qErrUnknown: a failure always
    // carries a code. text says what failed, in the user's words.
    static Outcome Fail(qErr code, std::string text);
    static Outcome Failf(qErr code, const char* format, ...) __attribute__((format(printf, 2, 3)));

    bool ok() const { return code_ == qErrNone; }
    qErr code() const { return code_; }
    // Stopped on the user's request (Ctrl-C, SIGTERM).
    bool interrupted() const { return code_ == qErrCancel; }

    // What failed and why, one line (empty on success).
    const std::string& text() const { return text_; }
    // Where the module or chip now stands, one line; empty when it is as it
    // was before the command, or no module was involved.
    const std::string& standing() const { return standing_; }

    // "CONTEXT: text". No effect on success.
    Outcome& Within(const std::string& context);
    // "text: CAUSE". No effect on success or with an empty cause.
    Outcome& Because(const std::string& cause);
    // "text: DESCRIPTION" with the code's one-line description
    // (qError_GetErrorDescription). No effect on success.
    Outcome& Because(qErr cause);
    // Sets where the module now stands (replaces an earlier one). No effect
    // on success.
    Outcome& Standing(std::string where);
    // As Standing, only when none was set yet: the innermost step knows best.
    Outcome& StandingIfUnset(std::string where);

    // Prints a failure once at error level: the text, then (as a line of its
    // own) where the module stands. Nothing on success.
    void Report(UpdaterDisplayInterface& display) const;

    // The stable name of the code, for scripts and --json ("timeout",
    // "permission-denied"); "ok" on success.
    const char* name() const;

  private:
    qErr code_ = qErrNone;
    std::string text_;
    std::string standing_;
};

// The stable, documented name of a result code: lower case words joined by
// "-" ("not-found", "permission-denied", "interrupted"). Never null; a code
// outside the table gives "unknown". These names are part of the --json
// output and do not change when the internal names do.
const char* ErrorName(qErr code);
