// A private scratch directory under TMPDIR (or /tmp), removed with its
// content by the destructor (with the standard library, never with the code
// under test).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kstest {

class TempDir {
  public:
    explicit TempDir(const char* tag = "ks-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string sub(const std::string& rel) const { return path_ + "/" + rel; }
    std::string operator/(const std::string& rel) const { return sub(rel); }
    // Writes content to rel (binary, parents created) and returns the full path.
    std::string write(const std::string& rel, const std::string& content) const;
    bool empty() const;

  private:
    std::string path_;
};

// Whole files, binary. Read gives "" (and false) when the file cannot be read.
bool ReadFile(const std::string& path, std::string& content);
std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);
bool WriteFile(const std::string& path, const std::vector<uint8_t>& content);
bool Exists(const std::string& path);

// The private home of scripts/isolated-home.sh, in which tests may create
// and remove the store: "" when the test does not run inside it (a test that
// touches the store then skips, rather than touch the real home).
std::string PrivateHome();
// PrivateHome() + "/.quillmar/updater", or "" outside the private home.
std::string PrivateStoreRoot();

} // namespace kstest
