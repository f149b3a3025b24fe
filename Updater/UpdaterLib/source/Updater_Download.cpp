// The download (-G) and build-list (-B) operations of the Updater.
//
// Each step is a small function that returns whether it succeeded and, when
// it did not, has already told the user why in one message; the operation
// only strings the steps together.
//
// A download keeps what the store held unless it ends with a whole BIRD
// file: the payload is decoded as it arrives into a temporary file beside
// the build's file, that file is loaded as the update command will load it,
// and only then do the file and the attribute that names it replace the old
// ones, the attributes last.
//
// Threads: a download runs the build request on one worker thread while the
// main thread animates the spinner; the worker writes only its job's reader,
// reason and promise, and the temporary file through the reader's output,
// all of which the main thread touches only after the future is ready and
// the thread is joined. The display is touched by the main thread only.
#include "Updater.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <stdexcept>
#include <thread>

#include "AtomicFile.h"
#include "BirdFile.h"
#include "BuildChoice.h"
#include "BuildReply.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "UpdaterStore.h"
#include "VisibleText.h"
#include "path.h"
#include "qDirectory.h"

namespace {

using Builds = std::map<std::string, std::string>;
const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// Everything the download worker needs, owned by the main thread's frame.
struct DownloadJob {
    std::promise<bool> result;
    uint32_t serialNumber;
    std::string firmware; // copies: the worker shares no text with the caller
    std::string build;
    BuildReplyReader* reader; // owned by the main thread
    std::string reason;       // why the request failed
    bool noCal;
    const char* serverUrl;
};

const char* _url(const std::string& serverUrl) {
    return serverUrl.empty() ? nullptr : serverUrl.c_str();
}

void _download_worker(DownloadJob* job) {
    bool ok = false;
    try {
        ok = UpdateServerRequest::GetBuild(job->serialNumber, job->firmware.c_str(),
                                           job->build.c_str(), *job->reader, job->serverUrl,
                                           job->noCal, &job->reason);
    } catch (const std::exception& e) { // e.g. memory exhausted
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", "GetBuild", e.what());
        job->reason = e.what();
    }
    job->result.set_value(ok);
}

bool _requested_build(UpdaterDisplayInterface& display, const std::string& text, uint32_t& build) {
    build = 0;
    if (!text.empty() && !ParseBuildNumber(text, build)) {
        display.message(ERROR, "Build number '%s' must be an number", text.c_str());
        return false;
    }
    return true;
}

bool _server_answers(UpdaterDisplayInterface& display, const std::string& serverUrl) {
    std::string reason;
    if (UpdateServerRequest::ping(_url(serverUrl), &reason))
        return true;
    display.message(ERROR, "Server request failed for %s: %s", serverUrl.c_str(),
                    VisibleText(reason).c_str());
    return false;
}

// The module's attributes must have been read whole: a download rewrites
// them, and must never drop what it could not read.
bool _settings_readable(UpdaterDisplayInterface& display, UpdaterStoreItem& item) {
    if (item.attributes.LoadedWhole())
        return true;
    display.message(ERROR, "Could not read the device settings %s: %s; they are left as they are",
                    item.FilePath(UpdaterStore::SETTINGS_NAME).c_str(),
                    item.attributes.LoadProblem().c_str());
    return false;
}

// The module's store entry, created on its first download (created says so).
bool _store_entry(UpdaterDisplayInterface& display, const std::string& storeDirectory,
                  uint32_t serialNumber, UpdaterStoreItem& item, bool& created) {
    created = false;
    try {
        UpdaterStore store(storeDirectory.c_str());
        if (!store.FindDevice(serialNumber, &item)) {
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
            item = store.AddDevice(serialNumber);
            created = true;
        } else if (item.type != STORE_ITEM_DIRECTORY) {
            item = store.AddDevice(serialNumber); // refuses what is not a directory
        }
        return _settings_readable(display, item);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(ERROR, "Could not create directory for storing BIRD file");
        display.message(ERROR, "Reason: %s", e.what());
        return false;
    }
}

// The server's build information; its latest build when none was asked for.
bool _choose_build(UpdaterDisplayInterface& display, uint32_t serialNumber, const char* url,
                   uint32_t& build, std::string& firmware) {
    uint32_t latest = 0;
    std::string text;
    if (!QueryLatestBuild(serialNumber, url, latest, firmware, text)) {
        display.message(ERROR, "No build information for device");
        return false;
    }
    if (build != 0)
        return true;
    if (latest == 0) {
        display.message(ERROR,
                        "The update server named '%s' as the latest build: not a build number",
                        VisibleText(text).c_str());
        return false;
    }
    build = latest;
    return true;
}

// Whether the server's build list for the module holds build.
bool _valid_build(uint32_t serialNumber, uint32_t build, const char* serverUrl) {
    Builds builds;
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl))
        return false;
    for (const auto& entry : builds) {
        uint32_t number = 0;
        if (ParseServerBuild(entry.first, number) && number == build)
            return true;
    }
    return false;
}

bool _validate_build(UpdaterDisplayInterface& display, uint32_t serialNumber, uint32_t build,
                     bool overrideValidation, const char* url) {
    display.message(INFO, "Retrieving build %u", build);
    if (overrideValidation) {
        display.message(INFO, "Override specified, skipping validation of build %u", build);
        return true;
    }
    display.message(INFO, "Validating build %u with server", build);
    if (!_valid_build(serialNumber, build, url)) {
        display.message(ERROR, "No valid build %u", build);
        return false;
    }
    display.message(INFO, "Build %u is valid", build);
    return true;
}

// Runs the build request on a worker thread while the spinner turns.
bool _run_request(UpdaterDisplayInterface& display, DownloadJob& job) {
    std::future<bool> done = job.result.get_future();
    std::thread worker(_download_worker, &job);
    display.update_spinner(true, "Downloading");
    while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    bool received = done.get();
    worker.join();
    return received;
}

// "Failed to write file" with the file the build was going to and why.
void _report_write_failure(UpdaterDisplayInterface& display, const AtomicFileWriter& file,
                           const std::string& path) {
    int osError = file.Error();
    display.message(ERROR, "Failed to write file %s: %s", path.c_str(),
                    std::strerror(osError != 0 ? osError : EIO));
}

// Fetches the build into the writer's temporary file, decoding as it comes.
bool _fetch_build(UpdaterDisplayInterface& display, DownloadJob& job, AtomicFileWriter& file,
                  const std::string& path, uint32_t build) {
    BuildReplyReader reader(
        [&file](const uint8_t* bytes, size_t n) { return file.Write(bytes, n); });
    job.reader = &reader;
    bool received = _run_request(display, job);
    if (reader.outputFailed()) {
        _report_write_failure(display, file, path);
        return false;
    }
    if (reader.replyOk() && reader.decoder().failed()) {
        display.message(ERROR, "The payload of build %u is not valid base64 (%s)", build,
                        reader.decoder().problem());
        return false;
    }
    if (!received) {
        display.message(ERROR, "Download failed");
        display.message(ERROR, "Reason: %s", VisibleText(job.reason).c_str());
        display.message(ERROR, "Failed to retreive a valid BIRD file");
        return false;
    }
    if (!reader.payloadSeen()) {
        display.message(ERROR, "Failed to retreive a valid BIRD file");
        return false;
    }
    return true;
}

// Judges the finished temporary file as a stored build is loaded (the same
// inflate and block scan); only a whole BIRD file may be kept.
bool _whole_bird_file(UpdaterDisplayInterface& display, AtomicFileWriter& file,
                      const std::string& path, uint32_t build) {
    if (file.Finish() != qErrNone) {
        _report_write_failure(display, file, path);
        return false;
    }
    std::string problem;
    if (!BirdFile::CheckWholeFile(file.TemporaryPath().c_str(), &problem)) {
        display.message(ERROR, "The payload of build %u is not a complete BIRD file (%s)", build,
                        problem.c_str());
        return false;
    }
    return true;
}

// Puts the file in place and records it, the attributes last: when either
// cannot be written, neither changes.
bool _store_build(UpdaterDisplayInterface& display, UpdaterStoreItem& item, AtomicFileWriter& file,
                  uint32_t build) {
    std::string fileName = BuildFileName(build);
    std::string path = item.FilePath(fileName.c_str());
    item.attributes.Add(UpdaterStore::KEY_LATEST_DOWNLOAD, fileName.c_str());
    item.attributes.Add(UpdaterStore::KEY_LAST_DOWNLOAD_DATE, KeyValueStore::TimeStamp().c_str());
    qErr committed = qErrNone;
    int settingsError = 0;
    bool saved = item.attributes.SaveAfter(
        [&file, &committed] { return (committed = file.Commit()) == qErrNone; }, &settingsError);
    if (committed != qErrNone) {
        _report_write_failure(display, file, path);
        return false;
    }
    if (!saved) {
        display.message(ERROR, "Could not record %s in the device settings %s: %s",
                        fileName.c_str(), item.FilePath(UpdaterStore::SETTINGS_NAME).c_str(),
                        std::strerror(settingsError != 0 ? settingsError : EIO));
        return false;
    }
    return true;
}

// Opens the temporary file beside the build's file.
bool _open_build_file(UpdaterDisplayInterface& display, AtomicFileWriter& file,
                      const std::string& path) {
    if (file.Open())
        return true;
    _report_write_failure(display, file, path);
    return false;
}

// Chooses and validates the build, fetches it into the module's entry and
// records it there; true when it is stored.
bool _download_into(UpdaterDisplayInterface& display, UpdaterStoreItem& item, const char* url,
                    uint32_t serialNumber, uint32_t& buildNumber, bool overrideValidation,
                    bool noCal) {
    std::string firmware;
    if (!_choose_build(display, serialNumber, url, buildNumber, firmware) ||
        !_validate_build(display, serialNumber, buildNumber, overrideValidation, url))
        return false;
    DownloadJob job{
        std::promise<bool>(), serialNumber, firmware, std::to_string(buildNumber), nullptr,
        std::string(),        noCal,        url};
    const std::string path = item.FilePath(BuildFileName(buildNumber).c_str());
    AtomicFileWriter file(path);
    return _open_build_file(display, file, path) &&
           _fetch_build(display, job, file, path, buildNumber) &&
           _whole_bird_file(display, file, path, buildNumber) &&
           _store_build(display, item, file, buildNumber);
}

} // namespace

uint32_t Updater::Download_Firmware(uint32_t serialNumber, std::string build,
                                    bool overrideValidation, bool noCal) {
    uint32_t buildNumber = 0;
    if (!_requested_build(display, build, buildNumber))
        return 0;
    if (serialNumber == 0) {
        display.message(ERROR, "Serial Number must be non-zero");
        return 0;
    }
    const char* url = _url(serverUrl);
    UpdaterStoreItem item;
    bool created = false;
    if (!_server_answers(display, serverUrl) ||
        !_store_entry(display, storeDirectory, serialNumber, item, created))
        return 0;
    if (_download_into(display, item, url, serialNumber, buildNumber, overrideValidation, noCal))
        return buildNumber;
    // A first download that failed leaves no entry behind: the entry holds
    // only what this run put there (its settings file). What cannot be
    // removed stays; the next download uses it.
    if (created)
        (void)qDirectory_DeleteTree(item.FilePath(nullptr).c_str());
    return 0;
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, std::string build,
                                    bool overrideValidation) {
    uint32_t buildNumber = 0;
    if (!build.empty() && !ParseBuildNumber(build, buildNumber)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build.c_str());
        buildNumber = 0;
    }
    uint32_t serial = 0, recoveryBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &recoveryBuild,
                                              _url(serverUrl))) {
        display.message(ERROR,
                        "Failed to retreive recovery information from Quillmar update server");
        return 0;
    }
    if (buildNumber == 0)
        buildNumber = recoveryBuild;
    return Download_Firmware(serial, std::to_string(buildNumber), overrideValidation, false);
}

bool Updater::Get_BuildList(uint32_t serialNumber, std::map<std::string, std::string>& builds) {
    builds.clear();
    const char* url = _url(serverUrl);
    if (!_server_answers(display, serverUrl))
        return false;
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url)) {
        display.message(ERROR, "Failed to retrieve builds for %08X",
                        static_cast<unsigned>(serialNumber));
        return false;
    }
    // An entry whose build is not a build number is no build: it is never
    // shown or chosen under a number it does not have.
    for (auto it = builds.begin(); it != builds.end();) {
        uint32_t number = 0;
        if (ParseServerBuild(it->first, number)) {
            ++it;
            continue;
        }
        Log::log(DEBUG_Updater, "Skipping build list entry [%s]: not a build number\n",
                 VisibleText(it->first).c_str());
        it = builds.erase(it);
    }
    return true;
}

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t serialNumber) {
    Builds builds;
    Get_BuildList(serialNumber, builds);
    return builds;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t) {
    return {};
}
