// Content of the simulated update server: a directory tree read afresh for
// every request, so a test may change it while the server runs. The layout is
// described in README.md beside this file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace updsim {

// One row of the recovery table: a chip fingerprint and what the server
// answers for it. Serial and build are kept as written so that replies can
// carry any notation ("0x10", "010", "40F5849A").
struct RecoveryEntry {
    uint32_t fingerprint[4] = {0, 0, 0, 0};
    std::string serial;
    std::string build;
};

// A build the server lists for a module: its number and version text.
struct BuildEntry {
    unsigned long number = 0;
    std::string version;
};

class Content {
  public:
    explicit Content(std::string root);

    const std::string& Root() const { return root; }

    // True when the module has a directory under the root.
    bool HasModule(const std::string& serial) const;
    // Text of SERIAL/latest (first line, blanks trimmed); empty when missing.
    std::string Latest(const std::string& serial) const;
    // Text of SERIAL/firmware (first line, blanks trimmed); empty when missing.
    std::string Firmware(const std::string& serial) const;
    // Builds that have a SERIAL/N.version file, in ascending number.
    std::vector<BuildEntry> Builds(const std::string& serial) const;
    // Bytes of SERIAL/BUILD.bird; false when there is no such file.
    bool ReadBird(const std::string& serial, const std::string& build, std::string& bytes) const;
    // Looks the fingerprint up in the recovery table; false when absent.
    bool FindRecovery(const uint32_t fingerprint[4], RecoveryEntry& entry) const;

  private:
    std::string root;
};

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& bytes);
// Standard base64 (RFC 4648 alphabet, '=' padding), one unbroken line.
std::string Base64Encode(const std::string& bytes);
// True when text is one or more decimal digits.
bool IsDecimal(const std::string& text);
// True when text is exactly eight upper-case hexadecimal digits.
bool IsSerialText(const std::string& text);

} // namespace updsim
