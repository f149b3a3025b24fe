// The download (-G) and build-list (-B) operations of the Updater.
//
// Each step is a small function that returns whether it succeeded and, when
// it did not, has already told the user why in one message; the operation
// only strings the steps together.
//
// Threads: a download runs the build request on one worker thread while the
// main thread animates the spinner; the worker writes only its job's payload
// string and promise, which the main thread reads after the future is ready
// and the thread is joined. The display is touched by the main thread only.
#include "Updater.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>

#include "BirdFile.h"
#include "BuildChoice.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "UpdaterStore.h"
#include "base64.h"

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
    std::string* payload; // owned by the main thread
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
                                           job->build.c_str(), *job->payload, job->serverUrl,
                                           job->noCal);
    } catch (const std::exception& e) { // e.g. memory exhausted while collecting the reply
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", "GetBuild", e.what());
        job->payload->clear();
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
    if (UpdateServerRequest::ping(_url(serverUrl)))
        return true;
    display.message(ERROR, "Server request failed for %s", serverUrl.c_str());
    return false;
}

// The module's store entry, created on its first download.
bool _store_entry(UpdaterDisplayInterface& display, const std::string& storeDirectory,
                  uint32_t serialNumber, UpdaterStoreItem& item) {
    try {
        UpdaterStore store(storeDirectory.c_str());
        if (!store.FindDevice(serialNumber, &item)) {
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
            item = store.AddDevice(serialNumber);
        }
        return true;
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(ERROR, "Could not create directory for storing BIRD file");
        return false;
    }
}

// The server's build information; its latest build when none was asked for.
bool _choose_build(UpdaterDisplayInterface& display, uint32_t serialNumber, const char* url,
                   uint32_t& build, std::string& firmware) {
    uint32_t latest = 0;
    if (!QueryLatestBuild(serialNumber, url, latest, firmware)) {
        display.message(ERROR, "No build information for device");
        return false;
    }
    if (build == 0)
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
        if (!ParseBuildNumber(entry.first, number)) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
            number = 0;
        }
        if (number == build)
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
bool _fetch_payload(UpdaterDisplayInterface& display, DownloadJob& job) {
    std::future<bool> done = job.result.get_future();
    std::thread worker(_download_worker, &job);
    display.update_spinner(true, "Downloading");
    while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    bool received = done.get();
    worker.join();
    if (!received)
        display.message(ERROR, "Download failed");
    if (job.payload->empty()) {
        display.message(ERROR, "Failed to retreive a valid BIRD file");
        return false;
    }
    return true;
}

// Decodes the payload and stores it under the build's name, then records the
// download. A payload that does not decode to a complete BIRD file, or a file
// that cannot be written, is a failed download: nothing is recorded and an
// earlier file of this build stays as it was.
bool _store_build(UpdaterDisplayInterface& display, UpdaterStoreItem& item, uint32_t build,
                  std::string& payload) {
    size_t length = 0;
    unsigned char* bytes = base64_decode(payload.data(), payload.size(), &length);
    std::string().swap(payload); // the encoded text is no longer needed
    if (!bytes) {
        display.message(ERROR, "The payload of build %u is not valid base64", build);
        return false;
    }
    if (!BirdFile::IsCompleteFile(bytes, length)) {
        std::free(bytes);
        display.message(ERROR, "The payload of build %u is not a complete BIRD file", build);
        return false;
    }
    std::string fileName = BuildFileName(build);
    qErr written = item.WriteFile(fileName.c_str(), bytes, length);
    std::free(bytes);
    if (written != qErrNone) {
        display.message(ERROR, "Failed to write file with %d", static_cast<int>(written));
        return false;
    }
    item.attributes.Add(UpdaterStore::KEY_LATEST_DOWNLOAD, fileName.c_str());
    item.attributes.Add(UpdaterStore::KEY_LAST_DOWNLOAD_DATE, KeyValueStore::TimeStamp().c_str());
    if (!item.attributes.Save(nullptr)) {
        display.message(ERROR, "Stored %s but could not record it in the device settings",
                        fileName.c_str());
        return false;
    }
    return true;
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
    std::string firmware;
    if (!_server_answers(display, serverUrl) ||
        !_store_entry(display, storeDirectory, serialNumber, item) ||
        !_choose_build(display, serialNumber, url, buildNumber, firmware) ||
        !_validate_build(display, serialNumber, buildNumber, overrideValidation, url))
        return 0;

    std::string payload;
    DownloadJob job{std::promise<bool>(),
                    serialNumber,
                    firmware,
                    std::to_string(buildNumber),
                    &payload,
                    noCal,
                    url};
    if (!_fetch_payload(display, job) || !_store_build(display, item, buildNumber, payload))
        return 0;
    return buildNumber;
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, std::string build,
                                    bool overrideValidation) {
    uint32_t buildNumber = 0;
    if (!ParseBuildNumber(build, buildNumber)) {
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
