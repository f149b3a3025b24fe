// Base64 decoding of the firmware payload of a build reply.
#pragma once

#include <cstddef>

// Decodes length characters of standard base64 (RFC 4648 alphabet, '='
// padding). Returns a buffer from malloc holding *outLength bytes and one
// extra terminating zero byte (the caller frees it), or null when length is
// not a multiple of 4 or memory runs out; *outLength is then 0.
//
// White space is not skipped, so the text must be one unbroken line. One or
// two '=' at the end shorten the output by one or two bytes. Characters
// outside the alphabet (any byte value, those above 127 included) are not
// rejected: they count as zero bits. An empty text gives an empty buffer.
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);
