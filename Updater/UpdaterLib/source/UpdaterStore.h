// The local firmware store: a per-user directory tree with one directory per
// module, named by its serial number ("%08X"), holding the module's
// attributes file (.settings) and the BIRD files downloaded for it
// (BUILD.bird). Names beginning with '.' are never firmware files.
//
// The store keeps no state but its root: every query reads the file system
// afresh. Threads: used from the main thread only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "qError.h"

enum store_item_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

// One entry of the store: path is the directory holding it, name its own
// name. Copies carry their own attributes (saving one does not update others).
class UpdaterStoreItem {
  public:
    UpdaterStoreItem() = default;
    // Loads the attributes from path/name/.settings, creating the file when
    // missing (for a plain file that fails, and the failure is only logged).
    UpdaterStoreItem(const char* path, const char* name, store_item_t type);

    bool IsValid() const { return !path.empty() && !name.empty(); }

    // Loads path/name/file. Throws std::runtime_error("<path>: <why>") when it
    // is missing, does not look like a BIRD file or cannot be loaded.
    BirdFile ReadBirdFile(const char* file);
    // Replaces path/name/file with length bytes, atomically: a failed write
    // leaves an earlier file of that name as it was.
    // Returns: qErrNone; qErrNotFound (null data or file name, or the file
    // cannot be created); qErrIO (writing, flushing or renaming failed, a
    // short write included). *osError, when given, receives the system
    // error number of a failure (0 otherwise).
    qErr WriteFile(const char* file, const unsigned char* data, size_t length,
                   int* osError = nullptr);
    // path/name/file.
    std::string FilePath(const char* file) const;
    // True when the item's directory holds an entry named exactly file.
    bool FileExists(const char* file);

    std::string path;
    std::string name;
    store_item_t type = STORE_ITEM_NONE;
    KeyValueStore attributes;
};

class UpdaterStore {
  public:
    // Attribute keys kept per module.
    static const char* const KEY_LATEST_DOWNLOAD;    // "LATEST_DOWNLOAD": BUILD.bird
    static const char* const KEY_LAST_DOWNLOAD_DATE; // "LAST_DOWNLOAD_DATE": time stamp
    static const char* const KEY_LATEST_TRANSFER;    // "LATEST_TRANSFER": BUILD.bird or a -f path
    static const char* const KEY_LAST_TRANSFER_DATE; // "LAST_TRANSFER_DATE": time stamp
    static const char* const SETTINGS_NAME;          // ".settings"

    // Uses base as the root, creating it (0755) when missing. Throws
    // std::runtime_error when it cannot be created or is a file.
    explicit UpdaterStore(const char* base);

    const char* BasePath() const { return basePath.c_str(); }

    // Ensures root/SERIAL and its attributes file and returns the item.
    // Throws std::runtime_error when the directory cannot be made, is a file,
    // or the name is not a plain directory name.
    UpdaterStoreItem AddDevice(unsigned int serial);
    UpdaterStoreItem AddDevice(const char* name);

    // True when the root holds an entry named exactly name; fills *item when
    // item is not null (and leaves it untouched otherwise).
    bool FindDevice(unsigned int serial, UpdaterStoreItem* item);
    bool FindDevice(const char* name, UpdaterStoreItem* item);

    // Appends one item per entry of the module's directory (names beginning
    // with '.' skipped), in listing order. Always true.
    bool FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items);

  private:
    std::string basePath;
};
