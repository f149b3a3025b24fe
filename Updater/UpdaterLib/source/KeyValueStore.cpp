#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "AtomicFile.h"
#include "Log.h"
#include "RegularFile.h"

const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";
const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";

KeyValueStore::KeyValueStore(const char* path) {
    if (path)
        Load(path);
}

std::string KeyValueStore::TimeStamp() {
    time_t now = time(nullptr);
    char buf[64] = {0};
    if (!ctime_r(&now, buf))
        return std::string();
    std::string text = buf;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

const char* KeyValueStore::operator[](const char* key) const {
    if (!key)
        return nullptr;
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : it->second.c_str();
}

int KeyValueStore::GetInt(const char* key, int def) {
    if (!key)
        return def;
    const std::string& v = entries[key];
    return v.empty() ? def : std::atoi(v.c_str());
}

unsigned int KeyValueStore::GetHex(const char* key, unsigned int def) {
    if (!key)
        return def;
    const std::string& v = entries[key];
    return v.empty() ? def : static_cast<unsigned int>(std::strtol(v.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool def) {
    if (!key)
        return def;
    const std::string& v = entries[key];
    return v.empty() ? def : std::atoi(v.c_str()) != 0;
}

double KeyValueStore::GetDouble(const char* key, double def) {
    if (!key)
        return def;
    const std::string& v = entries[key];
    return v.empty() ? def : std::atof(v.c_str());
}

std::string KeyValueStore::GetString(const char* key, const char* def) const {
    const char* v = (*this)[key];
    if (v)
        return v;
    return def ? def : "";
}

bool KeyValueStore::SetText(const char* key, const std::string& text) {
    if (!key)
        return true;
    std::string& current = entries[key];
    if (current != text)
        modified = true;
    current = text;
    return true;
}

bool KeyValueStore::Add(const char* key, int value) {
    return SetText(key, std::to_string(value));
}

bool KeyValueStore::Add(const char* key, double value) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "%f", value);
    return SetText(key, buf);
}

bool KeyValueStore::Add(const char* key, const char* value) {
    return SetText(key, value ? value : "");
}

bool KeyValueStore::Add(const char* key, std::string& value) {
    return SetText(key, value);
}

bool KeyValueStore::AddHex(const char* key, unsigned int value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", value);
    return SetText(key, buf);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& entry : other.entries) {
        entries[entry.first] = entry.second;
        modified = true;
    }
    return true;
}

bool KeyValueStore::Clear() {
    entries.clear();
    modified = true;
    return true;
}

void KeyValueStore::ParseLine(const char* line, size_t length) {
    if (length < 3 || line[0] == '#')
        return;
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    size_t keyStart = 0;
    while (keyStart < length && blank(line[keyStart]))
        ++keyStart;
    size_t eq = keyStart;
    while (eq < length && line[eq] != '=')
        ++eq;
    size_t keyEnd = eq;
    while (keyEnd > keyStart && blank(line[keyEnd - 1]))
        --keyEnd;
    if (keyEnd == keyStart)
        return; // no key: nothing to store
    std::string value;
    if (eq < length) {
        size_t valueStart = eq + 1, valueEnd = length;
        while (valueStart < valueEnd && blank(line[valueStart]))
            ++valueStart;
        while (valueEnd > valueStart && blank(line[valueEnd - 1]))
            --valueEnd;
        value.assign(line + valueStart, valueEnd - valueStart);
    }
    entries[std::string(line + keyStart, keyEnd - keyStart)] = value;
}

// Reads the whole file into text; false (with the reason in problem) when
// it is not a regular file, cannot be read, or is larger than any
// attributes file can honestly be.
bool KeyValueStore::ReadWhole(RegularFileReader& file, std::string& text) {
    if (file.size() > MAX_FILE_SIZE) {
        loadProblem_ = "larger than " + std::to_string(MAX_FILE_SIZE >> 20) + " MiB";
        return false;
    }
    text.resize(static_cast<size_t>(file.size()));
    size_t got = 0;
    if (!file.ReadFully(&text[0], text.size(), &got)) {
        loadProblem_ = file.Problem();
        return false;
    }
    text.resize(got); // a file that shrank meanwhile
    char more = 0;
    if (file.Read(&more, 1) != 0) {
        loadProblem_ = "it grew while it was read";
        return false;
    }
    return true;
}

void KeyValueStore::Load(const char* path) {
    if (!path) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 "(null)", EINVAL);
        return;
    }
    loadProblem_.clear();
    unreadable_.clear();
    RegularFileReader file(path);
    if (!file.ok()) {
        int error = file.error();
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 path, error);
        Add(KEY_CREATED_TIME, TimeStamp().c_str());
        if (error != ENOENT) {
            // It exists but cannot be read: never replace what may hold data.
            loadProblem_ = file.Problem();
            unreadable_ = path;
            Add(KEY_UPDATED_TIME, TimeStamp().c_str());
        } else {
            Save(path);
        }
        filename = path;
        modified = false;
        return;
    }
    filename = path;
    modified = false;
    std::string text;
    if (!ReadWhole(file, text)) {
        unreadable_ = path;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot read attributes file: '%s' (%s)\n",
                 path, loadProblem_.c_str());
        return;
    }
    // Lines of any length; a NUL byte is part of its line.
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        size_t next = end == std::string::npos ? text.size() : end + 1;
        ParseLine(text.data() + start, next - start);
        start = next;
    }
}

bool KeyValueStore::WriteAtomically(int* error, const std::function<bool()>* replaceFirst) {
    AtomicFileWriter writer(filename);
    if (!writer.Open()) {
        *error = writer.Error();
        return false;
    }
    // Written as bytes, so that a NUL inside a value survives.
    std::string text;
    for (const auto& entry : entries) {
        text += entry.first;
        text += '=';
        text += entry.second;
        text += '\n';
    }
    if (!writer.Write(text.data(), text.size()) || writer.Finish() != qErrNone) {
        *error = writer.Error();
        return false;
    }
    if (replaceFirst && !(*replaceFirst)()) {
        *error = 0; // the caller reports its own failure
        return false;
    }
    if (writer.Commit() != qErrNone) {
        *error = writer.Error();
        return false;
    }
    return true;
}

bool KeyValueStore::Save(const char* path) {
    return SaveWith(path, nullptr, nullptr);
}

bool KeyValueStore::SaveAfter(const std::function<bool()>& replaceFirst, int* osError) {
    return SaveWith(nullptr, &replaceFirst, osError);
}

bool KeyValueStore::SaveWith(const char* path, const std::function<bool()>* replaceFirst,
                             int* osError) {
    int ignored = 0;
    int& error = osError ? *osError : ignored;
    error = 0;
    if (path) {
        filename = path;
    } else if (filename.empty()) {
        filename = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
    }
    if (!loadProblem_.empty() && filename == unreadable_) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - refusing to replace attributes file that could not be read "
                 "whole: '%s' (%s)\n",
                 filename.c_str(), loadProblem_.c_str());
        error = EIO;
        return false;
    }
    if (modified)
        Add(KEY_UPDATED_TIME, TimeStamp().c_str());
    if (!WriteAtomically(&error, replaceFirst)) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), error);
        return false;
    }
    modified = false;
    return true;
}
