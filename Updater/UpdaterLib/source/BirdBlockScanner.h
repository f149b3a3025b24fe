// The block scan of a BIRD file's content, fed the content in pieces as it is
// inflated, so that a file can be judged whole without holding its content
// (the download's check, one inflate pass), and scanned in one piece when it
// is held (Load). One scanner, so both read the format alike.
//
// The content's size need not be known in advance: a block is taken when its
// payload has arrived whole; one that the content ends inside of is dropped
// at Finish(), and its first four bytes are read as the checksum, as a scan
// that knows the size ends at a block running past the content.
//
// Threads: one scanner per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class BirdBlockScanner {
  public:
    struct Entry {
        uint8_t type = 0;
        uint8_t flags = 0;
        uint32_t length = 0;  // payload length
        uint64_t offset = 0;  // of the payload in the content
        uint32_t address = 0; // loader and firmware blocks
    };

    // keepEntries false: only counts blocks, and stops looking once there
    // are more than the content reports (the result is then known), so a
    // content of millions of empty blocks costs neither memory nor time.
    explicit BirdBlockScanner(bool keepEntries = true) : keep_(keepEntries) {}

    // The next piece of the content, in order.
    void Feed(const uint8_t* bytes, size_t n);
    // After the whole content: logs the checksum and any mismatch; false on a
    // block count or size mismatch.
    bool Finish();

    uint32_t reported() const { return reported_; }
    uint32_t checksum() const { return checksum_; }
    const std::vector<Entry>& entries() const { return entries_; }
    uint64_t blocks() const { return count_; }

  private:
    enum State { kCount, kBoundary, kPayload };
    void LogHeading() const;
    void HeaderComplete();
    void PayloadComplete();

    State state_ = kCount;
    uint64_t pos_ = 0;       // content bytes taken so far
    uint8_t field_[5] = {0}; // the count, a block header or the checksum
    unsigned have_ = 0;      // bytes of field_ collected
    uint64_t payloadLeft_ = 0;
    uint8_t prefix_[64] = {0}; // a payload's first bytes (address, descriptor)
    uint32_t prefixHave_ = 0;
    Entry current_;
    uint32_t reported_ = 0;
    uint32_t checksum_ = 0;
    const bool keep_;
    uint64_t count_ = 0;
    std::vector<Entry> entries_;
};
