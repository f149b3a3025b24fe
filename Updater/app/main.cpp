// The updater's entry point: parse the command line, print the banner, and
// run the requested commands in their fixed order.
#include <string>

#include "AtomicFile.h"
#include "CLI_Display.h"
#include "Commands.h"
#include "Interrupt.h"
#include "Log.h"
#include "Parameters.h"
#include "Printers.h"
#include "Updater.h"

int main(int argc, char** argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    int parsed = _get_params(display, argc, argv, &params);
    if (params.jsonOutput) {
        display.keep_standard_output_clean();
    }
    if (parsed != 0) {
        // Nothing runs: the reasons (already printed), then the short usage.
        _display_app_version(display);
        _display_notice(display);
        _display_usage(false, false);
        _release_params(&params);
        return parsed;
    }

    _display_app_version(display);
    if (params.versionRequested) {
        _display_ks_version(display);
        _release_params(&params);
        return 0;
    }
    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(COMMAND_MASK)) {
        _display_notice(display);
        _display_ks_version(display);
        _display_usage(params.extendedUsage, params.helpRequested);
        _release_params(&params);
        return 0;
    }

    // From here on files of the store are written: an interrupt must not
    // leave temporary files behind.
    AtomicFileWriter::RemoveTemporariesOnSignals();
    std::string storeDirectory = _build_updater_directory();
    if (!_ensure_store_directory(display, storeDirectory)) {
        _release_params(&params);
        return 1;
    }

    int status;
    {
        Updater updater(params.serverUrl.c_str(), storeDirectory.c_str(), display);
        status = _run_commands(display, updater, params);
    }
    // Stopped by Ctrl-C or SIGTERM at a safe point: the status the signal
    // would have given. Work that finished in spite of the request says so
    // with its own status.
    if (status != 0 && StopRequested())
        status = StopExitStatus();
    _release_params(&params);
    return status;
}
