// Attributes files: small text files of key=value lines, held in memory as a
// map sorted by key. One per module directory of the local store.
//
// File format: one "key=value\n" line per entry, in ascending byte order of
// the keys, nothing else. On reading, lines shorter than 3 characters (the
// newline included) and lines whose first character is '#' are skipped; key
// and value are trimmed of white space; a value may contain '='; the last of
// several lines with the same key wins; a line without '=' gives its trimmed
// text as key and an empty value; a line whose key is empty is skipped.
//
// Threads: a store is used by one thread; copies are independent.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>

class RegularFileReader;

class KeyValueStore {
  public:
    static const char* const KEY_CREATED_TIME;            // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME;            // "UPDATED_TIME"
    static const char* const DEFAULT_FILENAME;            // ".settings"
    static const size_t MAX_FILE_SIZE = size_t(16) << 20; // larger files are not read

    // An empty store; loads path when it is not null.
    explicit KeyValueStore(const char* path = nullptr);

    // The stored value, or null when the key is absent. Never adds the key.
    const char* operator[](const char* key) const;

    // Typed getters. An absent key is added with an empty value (without
    // marking the store modified), so a later Save writes "KEY=". An empty or
    // absent value gives def.
    int GetInt(const char* key, int def);
    unsigned int GetHex(const char* key, unsigned int def); // "0x" prefix allowed
    bool GetBOOL(const char* key, bool def);
    double GetDouble(const char* key, double def);
    // The value, or def ("" when null) when the key is absent. Never adds the key.
    std::string GetString(const char* key, const char* def) const;

    // Each Add stores the value as text and marks the store modified only
    // when the text differs from the current one (absent counts as "").
    // All return true.
    bool Add(const char* key, int value);         // "%d"
    bool Add(const char* key, double value);      // "%f"
    bool Add(const char* key, const char* value); // null stores ""
    bool Add(const char* key, std::string& value);
    bool AddHex(const char* key, unsigned int value); // "0x%08X"
    // Copies every entry of other, replacing equal keys; marks modified when
    // anything was copied.
    bool Add(const KeyValueStore& other);
    bool Clear();

    // Reads path, whole: lines of any length, a NUL byte kept as part of its
    // line. A missing file is created holding CREATED_TIME and
    // UPDATED_TIME. A file that exists but cannot be read whole (not a
    // regular file, unreadable, a read error, over MAX_FILE_SIZE) is left
    // alone: LoadedWhole() turns false and Save refuses to replace it.
    void Load(const char* path);
    bool LoadedWhole() const { return loadProblem_.empty(); }
    // Why the last Load could not read its file whole ("" when it could).
    const std::string& LoadProblem() const { return loadProblem_; }
    // Writes every entry to path (null: the file last loaded or saved, else
    // ".settings" in the current directory), adding UPDATED_TIME first when
    // something changed. The file is replaced atomically: on any failure the
    // old file stays as it was, the failure is logged, modified is kept and
    // the result is false. A file that Load could not read whole is never
    // replaced (false).
    bool Save(const char* path);
    // Save(nullptr) that replaces the file only after replaceFirst() has
    // returned true, with the new file already written and flushed: when
    // either fails (false), neither is replaced by this call. For keeping
    // a file and the attribute that names it in step. *osError receives the
    // system error number when the attributes could not be written (0 when
    // replaceFirst failed).
    bool SaveAfter(const std::function<bool()>& replaceFirst, int* osError);

    // The ctime() text of now, without its newline.
    static std::string TimeStamp();

    std::string filename;
    std::map<std::string, std::string> entries;
    bool modified = false;

  private:
    bool ReadWhole(RegularFileReader& file, std::string& text);
    bool SetText(const char* key, const std::string& text);
    void ParseLine(const char* line, size_t length);
    bool WriteAtomically(int* error, const std::function<bool()>* replaceFirst);
    bool SaveWith(const char* path, const std::function<bool()>* replaceFirst, int* osError);

    std::string loadProblem_; // why the last Load could not read its file whole
    std::string unreadable_;  // that file's path
};
