// -I: what the local store holds for one module: its attributes and the
// builds kept in its directory, each checked as -C checks a file.
#include <algorithm>
#include <stdexcept>
#include <sys/stat.h>

#include "BuildChoice.h"
#include "FileReports.h"
#include "Log.h"
#include "SerialNumber.h"
#include "Updater.h"
#include "UpdaterStore.h"

namespace {

StoredBuildReport _stored_build(const UpdaterStoreItem& item) {
    StoredBuildReport r;
    r.name = item.name;
    std::string path = item.path + "/" + item.name;
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        r.size = static_cast<uint64_t>(st.st_size);
    const std::string suffix = ".bird";
    bool birdName = r.name.size() > suffix.size() &&
                    r.name.compare(r.name.size() - suffix.size(), suffix.size(), suffix) == 0;
    if (!birdName || !BuildOfFileName(r.name, r.build))
        r.build = 0;
    BirdFile file;
    file.filename = path;
    if (file.Load() && file.IsWhole()) {
        r.intact = true;
        r.version = file.GetVersion();
    } else {
        r.problem = file.Problem().empty() ? "it is not a BIRD file" : file.Problem();
    }
    return r;
}

} // namespace

bool Updater::Get_DeviceRecord(uint32_t serialNumber, DeviceRecordReport& report) {
    report = DeviceRecordReport();
    report.serial = serialNumber;
    try {
        UpdaterStore store(storeDirectory.c_str());
        UpdaterStoreItem item;
        if (!store.FindDevice(serialNumber, &item)) {
            report.outcome = Outcome::Failf(
                qErrNotFound,
                "No stored information for device %s in %s: nothing was downloaded for it or "
                "written into it yet (-G -d %s fetches its latest build)",
                SerialNumberText(serialNumber).c_str(), storeDirectory.c_str(),
                SerialNumberText(serialNumber).c_str());
        } else {
            report.directory = item.path + "/" + item.name;
            report.attributes = item.attributes.entries;
            std::vector<UpdaterStoreItem> items;
            if (!store.FindLocalBuilds(serialNumber, items))
                report.outcome = Outcome::Failf(qErrIO, "Could not list the files of %s",
                                                report.directory.c_str());
            for (const UpdaterStoreItem& file : items)
                if (file.type == STORE_ITEM_FILE)
                    report.builds.push_back(_stored_build(file));
            std::sort(report.builds.begin(), report.builds.end(),
                      [](const StoredBuildReport& a, const StoredBuildReport& b) {
                          return a.build != b.build ? a.build < b.build : a.name < b.name;
                      });
        }
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        report.outcome =
            Outcome::Failf(qErrIO, "Could not open the local store at %s", storeDirectory.c_str());
    }
    report.outcome.Report(display);
    return report.outcome.ok();
}
