// The download (-G) and build-list (-B) operations of the Updater.
//
// Threads: a download runs the build request on one worker thread while the
// main thread animates the spinner; the worker writes only its job's payload
// string and promise, which the main thread reads after the future is ready
// and the thread is joined. The display is touched by the main thread only.
#include "Updater.h"

#include "BirdFile.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "UpdaterStore.h"
#include "base64.h"

#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <stdexcept>
#include <thread>

namespace {

using Builds = std::map<std::string, std::string>;

// Everything the download worker needs, owned by the main thread's frame.
struct DownloadJob {
    Updater* updater;
    std::promise<bool> result;
    uint32_t serialNumber;
    std::string firmware; // copies: the worker shares no text with the caller
    std::string build;
    std::string* payload; // owned by the main thread
    bool noCal;
    std::string serverUrl;
};

const char* _url(const std::string& serverUrl) {
    return serverUrl.empty() ? nullptr : serverUrl.c_str();
}

// std::stoul in base 10, limited to 32 bits. False for a text that is not
// a number or does not fit.
bool _to_build_number(const std::string& text, uint32_t& value) {
    try {
        unsigned long v = std::stoul(text, nullptr, 10);
        if (v > std::numeric_limits<uint32_t>::max())
            return false;
        value = static_cast<uint32_t>(v);
        return true;
    } catch (const std::logic_error&) { // invalid_argument, out_of_range
        return false;
    }
}

void _download_worker(DownloadJob* job) {
    bool ok = false;
    try {
        ok = UpdateServerRequest::GetBuild(job->serialNumber, job->firmware.c_str(),
                                           job->build.c_str(), *job->payload, _url(job->serverUrl),
                                           job->noCal);
    } catch (const std::exception& e) { // e.g. memory exhausted while collecting the reply
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", "GetBuild", e.what());
        job->payload->clear();
    }
    job->result.set_value(ok);
}

// Whether the server's build list for the module holds build.
bool _valid_build(uint32_t serialNumber, uint32_t build, const char* serverUrl) {
    Builds builds;
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl))
        return false;
    for (const auto& entry : builds) {
        uint32_t number = 0;
        if (!_to_build_number(entry.first, number)) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
            number = 0;
        }
        if (number == build)
            return true;
    }
    return false;
}

// True when the bytes are a whole BIRD file as far as can be told without
// parsing it: the signature, two non-zero version bytes, and a zlib stream
// that runs to its proper end (so a payload cut short on the way is not
// stored). The stream is inflated into a small scratch buffer and the
// output dropped, so the check costs no memory.
bool _looks_like_bird(const unsigned char* bytes, size_t length) {
    const size_t sigLength = std::strlen(BirdFile::BIRD_FILE_SIGNATURE);
    const size_t header = sigLength + 2;
    if (length <= header || std::memcmp(bytes, BirdFile::BIRD_FILE_SIGNATURE, sigLength) != 0 ||
        bytes[sigLength] == 0 || bytes[sigLength + 1] == 0)
        return false;
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    unsigned char scratch[16384];
    const unsigned char* next = bytes + header;
    size_t left = length - header;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (z.avail_in == 0) {
            uInt chunk = left > (1u << 30) ? (1u << 30) : static_cast<uInt>(left);
            z.next_in = const_cast<Bytef*>(next);
            z.avail_in = chunk;
            next += chunk;
            left -= chunk;
        }
        z.next_out = scratch;
        z.avail_out = sizeof scratch;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc == Z_BUF_ERROR && z.avail_in == 0 && left == 0)
            break; // the input ended before the stream did
        if (rc == Z_BUF_ERROR)
            rc = Z_OK; // only the scratch buffer was full
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END;
}

} // namespace

uint32_t Updater::Download_Firmware(uint32_t serialNumber, std::string build,
                                    bool overrideValidation, bool noCal) {
    using Level = UpdaterDisplayInterface::Level;
    uint32_t buildNumber = 0;
    if (!build.empty() && !_to_build_number(build, buildNumber)) {
        display.message(Level::LEVEL_ERROR, "Build number '%s' must be an number", build.c_str());
        return 0;
    }
    if (serialNumber == 0) {
        display.message(Level::LEVEL_ERROR, "Serial Number must be non-zero");
        return 0;
    }
    const char* url = _url(serverUrl);
    if (!UpdateServerRequest::ping(url)) {
        display.message(Level::LEVEL_ERROR, "Server request failed for %s", serverUrl.c_str());
        return 0;
    }

    UpdaterStoreItem item;
    try {
        UpdaterStore store(storeDirectory.c_str());
        if (!store.FindDevice(serialNumber, &item)) {
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
            item = store.AddDevice(serialNumber);
        }
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(Level::LEVEL_ERROR, "Could not create directory for storing BIRD file");
        return 0;
    }

    std::string buildText, firmware;
    if (!UpdateServerRequest::QueryBuild(serialNumber, buildText, firmware, url)) {
        display.message(Level::LEVEL_ERROR, "No build information for device");
        return 0;
    }
    if (buildNumber == 0 && !_to_build_number(buildText, buildNumber)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
        buildNumber = 0;
    }

    display.message(Level::LEVEL_INFO, "Retrieving build %u", buildNumber);
    if (overrideValidation) {
        display.message(Level::LEVEL_INFO, "Override specified, skipping validation of build %u",
                        buildNumber);
    } else {
        display.message(Level::LEVEL_INFO, "Validating build %u with server", buildNumber);
        if (!_valid_build(serialNumber, buildNumber, url)) {
            display.message(Level::LEVEL_ERROR, "No valid build %u", buildNumber);
            return 0;
        }
        display.message(Level::LEVEL_INFO, "Build %u is valid", buildNumber);
    }

    std::string payload;
    DownloadJob job{this,
                    std::promise<bool>(),
                    serialNumber,
                    firmware,
                    std::to_string(buildNumber),
                    &payload,
                    noCal,
                    serverUrl};
    std::future<bool> done = job.result.get_future();
    std::thread worker(_download_worker, &job);
    display.update_spinner(true, "Downloading");
    while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    bool received = done.get();
    worker.join();
    if (!received)
        display.message(Level::LEVEL_ERROR, "Download failed");
    if (payload.empty()) {
        display.message(Level::LEVEL_ERROR, "Failed to retreive a valid BIRD file");
        return 0;
    }

    // A payload that does not decode, or decodes to something that is not a
    // BIRD file, or a file that cannot be written, is a failed download:
    // nothing is recorded and an earlier file of this build stays as it was.
    size_t length = 0;
    unsigned char* bytes = base64_decode(payload.data(), payload.size(), &length);
    std::string().swap(payload); // the encoded text is no longer needed
    if (!bytes) {
        display.message(Level::LEVEL_ERROR, "The payload of build %u is not valid base64",
                        buildNumber);
        return 0;
    }
    if (!_looks_like_bird(bytes, length)) {
        std::free(bytes);
        display.message(Level::LEVEL_ERROR, "The payload of build %u is not a complete BIRD file",
                        buildNumber);
        return 0;
    }
    std::string fileName = std::to_string(buildNumber) + ".bird";
    qErr written = item.WriteFile(fileName.c_str(), bytes, length);
    std::free(bytes);
    if (written != qErrNone) {
        display.message(Level::LEVEL_ERROR, "Failed to write file with %d",
                        static_cast<int>(written));
        return 0;
    }
    item.attributes.Add(UpdaterStore::KEY_LATEST_DOWNLOAD, fileName.c_str());
    item.attributes.Add(UpdaterStore::KEY_LAST_DOWNLOAD_DATE, KeyValueStore::TimeStamp().c_str());
    item.attributes.Save(nullptr);
    if (item.attributes.modified) {
        display.message(Level::LEVEL_ERROR,
                        "Stored %s but could not record it in the device settings",
                        fileName.c_str());
        return 0;
    }
    return buildNumber;
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, std::string build,
                                    bool overrideValidation) {
    uint32_t buildNumber = 0;
    if (!_to_build_number(build, buildNumber)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build.c_str());
        buildNumber = 0;
    }
    uint32_t serial = 0, recoveryBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &recoveryBuild,
                                              _url(serverUrl))) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Failed to retreive recovery information from Quillmar update server");
        return 0;
    }
    if (buildNumber == 0)
        buildNumber = recoveryBuild;
    return Download_Firmware(serial, std::to_string(buildNumber), overrideValidation, false);
}

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t serialNumber) {
    Builds builds;
    const char* url = _url(serverUrl);
    if (!UpdateServerRequest::ping(url))
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s",
                        serverUrl.c_str());
    else if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url))
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X",
                        static_cast<unsigned>(serialNumber));
    return builds;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t) {
    return {};
}
