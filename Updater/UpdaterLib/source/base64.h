// Base64 decoding of the firmware payload of a build reply: strict standard
// base64 (RFC 4648 alphabet and '=' padding), in one call or as the text
// arrives.
//
// Strict means: every character is one of the 64 of the alphabet, except
// that the last group of four may end in one or two '='; nothing follows a
// padded group; the bits that padding leaves over are zero (so every byte
// string has exactly one text); and the text ends on a whole group. White
// space, line breaks and carriage returns are not skipped: they are refused.
//
// Threads: a decoder is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Base64Decoder {
  public:
    // Decodes n more characters, appending the bytes of every completed
    // group to out. False at the first character that breaks the rules
    // (out is then left as it was); from then on the decoder stays failed.
    bool Feed(const char* text, size_t n, std::string& out);
    // Whether the text so far ends on a whole group (an empty text does).
    bool Finish();

    bool failed() const { return failed_; }
    // Why the text was refused, or "" while it is sound.
    const char* problem() const { return problem_; }
    // Characters accepted so far.
    uint64_t consumed() const { return consumed_; }

  private:
    bool Fail(const char* why);
    bool FeedSlow(unsigned char c, char*& out);

    uint32_t bits_ = 0;  // the sextets of the group in progress
    unsigned have_ = 0;  // characters of the group in progress (0..3)
    unsigned pad_ = 0;   // '=' seen in the group in progress
    bool ended_ = false; // a padded group closed the text
    bool failed_ = false;
    const char* problem_ = "";
    uint64_t consumed_ = 0;
};

// Decodes length characters in one call. Returns a buffer from malloc
// holding *outLength bytes and one extra terminating zero byte (the caller
// frees it), or null when the text breaks the rules above (a length that is
// not a multiple of 4 included) or memory runs out; *outLength is then 0.
// An empty text gives an empty buffer.
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);
