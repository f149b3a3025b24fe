#include "BirdBlockScanner.h"

#include <cstring>

#include "BirdFile.h"
#include "BirdFormat.h"
#include "Log.h"

using birdformat::GetInt;

void BirdBlockScanner::LogHeading() const {
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(reported_));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
}

// Five bytes at a block boundary: more than a checksum's worth of content
// remains, so they are a block's header.
void BirdBlockScanner::HeaderComplete() {
    current_ = Entry();
    current_.type = field_[0] & BirdFile::BIRD_FILE_TYPE_MASK;
    current_.flags = static_cast<uint8_t>((field_[0] & BirdFile::BIRD_FILE_FLAG_MASK) >> 5);
    current_.length = GetInt(field_ + 1);
    current_.offset = pos_;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", current_.type, current_.flags,
             static_cast<int>(current_.length));
    payloadLeft_ = current_.length;
    prefixHave_ = 0;
    state_ = kPayload;
    if (payloadLeft_ == 0)
        PayloadComplete();
}

void BirdBlockScanner::PayloadComplete() {
    if ((current_.type == BirdFile::BIRD_BLOCK_LOADER ||
         current_.type == BirdFile::BIRD_BLOCK_FIRMWARE) &&
        current_.length >= 4)
        current_.address = GetInt(prefix_);
    if (current_.type == BirdFile::BIRD_BLOCK_DESCRIPTOR) {
        for (uint32_t offset = 0; offset < BirdFile::DESCRIPTOR_SIZE; offset += 16) {
            char field[17] = {0};
            if (current_.length > offset) {
                uint32_t n = current_.length - offset < 16 ? current_.length - offset : 16;
                std::memcpy(field, prefix_ + offset, n);
            }
            Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", field);
        }
    }
    ++count_;
    if (keep_)
        entries_.push_back(current_);
    state_ = kBoundary;
    have_ = 0;
}

void BirdBlockScanner::Feed(const uint8_t* bytes, size_t n) {
    size_t i = 0;
    while (i < n) {
        if (!keep_ && count_ > reported_)
            return; // a mismatch already
        if (state_ == kPayload) {
            size_t take = n - i < payloadLeft_ ? n - i : static_cast<size_t>(payloadLeft_);
            if (prefixHave_ < sizeof prefix_) {
                size_t room = sizeof prefix_ - prefixHave_;
                size_t keep = room < take ? room : take;
                std::memcpy(prefix_ + prefixHave_, bytes + i, keep);
                prefixHave_ += static_cast<uint32_t>(keep);
            }
            i += take;
            pos_ += take;
            payloadLeft_ -= take;
            if (payloadLeft_ == 0)
                PayloadComplete();
            continue;
        }
        field_[have_++] = bytes[i++];
        ++pos_;
        if (state_ == kCount && have_ == 4) {
            reported_ = GetInt(field_);
            LogHeading();
            state_ = kBoundary;
            have_ = 0;
        } else if (state_ == kBoundary && have_ == 5) {
            HeaderComplete();
        }
    }
}

bool BirdBlockScanner::Finish() {
    // What is left after the last whole block: the checksum when exactly
    // four bytes; a block the content ends inside of (whose first four bytes
    // are then read as the checksum); or too little.
    uint64_t remaining = 0;
    if (state_ == kCount) {
        LogHeading(); // a content shorter than the count reports 0 blocks
    } else if (state_ == kBoundary) {
        remaining = have_;
        if (have_ == 4)
            checksum_ = GetInt(field_);
    } else {
        remaining = pos_ - current_.offset + 5;
        checksum_ = GetInt(field_);
    }
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum_);
    // Wraps below zero when the checksum is missing, as a scan of a known
    // size reports it.
    uint32_t left = static_cast<uint32_t>(remaining) - 4;
    bool result = true;
    if (left != 0) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(left));
        result = false;
    }
    if (count_ != reported_) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(count_), static_cast<int>(reported_));
        result = false;
    }
    return result;
}
