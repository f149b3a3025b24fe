// A private scratch directory for device library tests, removed afterwards
// with the standard library (not with the code under test).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class DevcoreTempDir {
  public:
    DevcoreTempDir() {
        const char* tmp = getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/ks-devcore.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot create a scratch directory from " << pattern;
        }
        path_ = pattern;
    }
    ~DevcoreTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    DevcoreTempDir(const DevcoreTempDir&) = delete;
    DevcoreTempDir& operator=(const DevcoreTempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string sub(const std::string& rel) const { return path_ + "/" + rel; }

    // Writes content to rel (binary) and returns the full path.
    std::string write(const std::string& rel, const std::string& content) const {
        std::string full = sub(rel);
        std::ofstream out(full, std::ios::binary);
        out << content;
        return full;
    }

    static std::string read(const std::string& full) {
        std::ifstream in(full, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    bool empty() const { return std::filesystem::is_empty(path_); }

  private:
    std::string path_;
};
