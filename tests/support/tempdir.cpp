#include "tempdir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace kstest {

TempDir::TempDir(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + tag + ".XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        ADD_FAILURE() << "cannot create a scratch directory from " << pattern;
    else
        path_ = buf.data();
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
}

std::string TempDir::write(const std::string& rel, const std::string& content) const {
    std::string full = sub(rel);
    std::error_code ec;
    fs::create_directories(fs::path(full).parent_path(), ec);
    WriteFile(full, content);
    return full;
}

bool TempDir::empty() const {
    std::error_code ec;
    return fs::is_empty(path_, ec);
}

bool ReadFile(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        content.clear();
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    content = all.str();
    return true;
}

std::string ReadFile(const std::string& path) {
    std::string content;
    ReadFile(path, content);
    return content;
}

bool WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(out);
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& content) {
    return WriteFile(path, std::string(content.begin(), content.end()));
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::string PrivateHome() {
    const char* isolated = std::getenv("KS_ISOLATED_HOME");
    const char* home = std::getenv("HOME");
    if (!isolated || std::string(isolated) != "1" || !home || !*home)
        return "";
    return home;
}

std::string PrivateStoreRoot() {
    std::string home = PrivateHome();
    return home.empty() ? "" : home + "/.quillmar/updater";
}

} // namespace kstest
