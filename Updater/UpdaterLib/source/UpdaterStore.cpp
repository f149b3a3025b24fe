#include "UpdaterStore.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "AtomicFile.h"
#include "Log.h"
#include "SerialNumber.h"
#include "path.h"
#include "qDirectory.h"
#include "qFile.h"

const char* const UpdaterStore::KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
const char* const UpdaterStore::KEY_LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE";
const char* const UpdaterStore::KEY_LATEST_TRANSFER = "LATEST_TRANSFER";
const char* const UpdaterStore::KEY_LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE";
const char* const UpdaterStore::SETTINGS_NAME = ".settings";

namespace {

// Creates path (0755) when missing; throws when that fails or a file is in the way.
void EnsureDirectory(const std::string& path) {
    if (qDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (qFile_Exists(path.c_str()))
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    qErr err = qDirectory_Ensure(path.c_str(), 0755);
    if (err != qErrNone)
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(static_cast<int>(err)));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

// Splits a listed full path at its last separator.
void SplitPath(const char* full, std::string* dir, std::string* name) {
    const char* slash = std::strrchr(full, '/');
    if (!slash) {
        dir->clear();
        *name = full;
        return;
    }
    dir->assign(full, static_cast<size_t>(slash - full));
    *name = slash + 1;
}

struct FindContext {
    const char* sought;
    UpdaterStoreItem* item;
    bool found;
};

// Stops at the first entry whose own name equals the name sought.
bool FindItemCallback(const qDirectoryListData* entry, void* ref) {
    FindContext* ctx = static_cast<FindContext*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->pathName,
             entry->isDirectory ? 1 : 0, static_cast<int>(entry->fileSize), ctx->sought);
    std::string dir, name;
    SplitPath(entry->pathName, &dir, &name);
    if (name != ctx->sought)
        return true;
    ctx->found = true;
    if (ctx->item)
        *ctx->item = UpdaterStoreItem(dir.c_str(), name.c_str(),
                                      entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return false;
}

bool FindItem(const std::string& dir, const char* name, UpdaterStoreItem* item) {
    FindContext ctx{name ? name : "", item, false};
    if (name && *name) {
        // A store not made yet lists nothing; any other failure is noted.
        qErr listed = qDirectory_List(dir.c_str(), FindItemCallback, &ctx);
        if (listed != qErrNone && listed != qErrNotFound)
            Log::log(DEBUG_Updater, "UpdaterStore: listing %s failed: %s\n", dir.c_str(),
                     qError_GetErrorDescription(listed));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", ctx.found ? "Found" : "Not Found",
             ctx.sought);
    return ctx.found;
}

struct CollectContext {
    const std::string* dir;
    std::vector<UpdaterStoreItem>* items;
};

bool CollectItemsCallback(const qDirectoryListData* entry, void* ref) {
    CollectContext* ctx = static_cast<CollectContext*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->pathName,
             entry->isDirectory ? 1 : 0, static_cast<int>(entry->fileSize));
    std::string dir, name;
    SplitPath(entry->pathName, &dir, &name);
    if (name.empty() || name[0] == '.')
        return true; // ".", "..", .settings, temporary files
    ctx->items->push_back(
        UpdaterStoreItem(ctx->dir->c_str(), name.c_str(),
                         entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE));
    return true;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem(const char* p, const char* n, store_item_t t)
    : path(p ? p : ""), name(n ? n : ""), type(t) {
    attributes.Load(
        BuildPath(path.c_str(), name.c_str(), UpdaterStore::SETTINGS_NAME, nullptr).c_str());
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file) {
    std::string p = BuildPath(path.c_str(), name.c_str(), file ? file : "", nullptr);
    if (!BirdFile::VerifyFile(p.c_str())) {
        std::string why;
        BirdFile::CheckWholeFile(p.c_str(), &why);
        throw std::runtime_error(p + ": " + (why.empty() ? "it is not a BIRD file" : why));
    }
    return BirdFile(p.c_str());
}

std::string UpdaterStoreItem::FilePath(const char* file) const {
    return BuildPath(path.c_str(), name.c_str(), file ? file : "", nullptr);
}

qErr UpdaterStoreItem::WriteFile(const char* file, const unsigned char* data, size_t length,
                                 int* osError) {
    int ignored = 0;
    int& error = osError ? *osError : ignored;
    error = 0;
    if (!data || !file || !*file)
        return qErrNotFound;
    AtomicFileWriter writer(FilePath(file));
    if (!writer.Open()) {
        error = writer.Error();
        return qErrNotFound;
    }
    // Write() refuses a short write: a build that only partly fits on the
    // disk must not be committed.
    if (!writer.Write(data, length)) {
        error = writer.Error();
        writer.Abandon();
        return qErrIO;
    }
    qErr err = writer.Commit();
    error = writer.Error();
    return err;
}

bool UpdaterStoreItem::FileExists(const char* file) {
    return FindItem(BuildPath(path.c_str(), name.c_str(), nullptr), file, nullptr);
}

UpdaterStore::UpdaterStore(const char* base) : basePath(base ? base : "") {
    EnsureDirectory(basePath);
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned int serial) {
    return AddDevice(SerialNumberText(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
    // A device name is one directory name: never a path that leaves the root.
    if (!name || !*name || std::strchr(name, '/') || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0)
        throw std::runtime_error(std::string("UpdaterStore: invalid device name [") +
                                 (name ? name : "") + "]");
    EnsureDirectory(BuildPath(basePath.c_str(), name, nullptr));
    return UpdaterStoreItem(basePath.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned int serial, UpdaterStoreItem* item) {
    return FindDevice(SerialNumberText(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
    return FindItem(basePath, name, item);
}

bool UpdaterStore::FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items) {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device))
        return true;
    std::string dir = BuildPath(device.path.c_str(), device.name.c_str(), nullptr);
    CollectContext ctx{&dir, &items};
    return qDirectory_List(dir.c_str(), CollectItemsCallback, &ctx) == qErrNone;
}
