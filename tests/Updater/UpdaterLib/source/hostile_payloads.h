// Damaged BIRD files and payloads, shared by the unit tests of the whole-file
// check and the end-to-end tests of the download: one table, so that what
// the loader refuses is exactly what the real program must refuse to store.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "birdsim/birdwriter.h"

namespace hostile {

using birdwriter::Bytes;
using birdwriter::Description;

// The documented limit of a BIRD file's decompressed content.
constexpr size_t kContentCap = size_t(256) << 20;

// A zlib stream of n zero bytes, made in pieces (n may be hundreds of MiB).
inline Bytes ZeroStream(size_t n) {
    z_stream z{};
    deflateInit(&z, 9);
    Bytes out, zeros(1 << 20, 0), buf(1 << 16);
    for (size_t done = 0; done < n;) {
        size_t take = std::min(zeros.size(), n - done);
        done += take;
        z.next_in = zeros.data();
        z.avail_in = static_cast<uInt>(take);
        do {
            z.next_out = buf.data();
            z.avail_out = static_cast<uInt>(buf.size());
            deflate(&z, done == n ? Z_FINISH : Z_NO_FLUSH);
            out.insert(out.end(), buf.data(), buf.data() + (buf.size() - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return out;
}

// Standard base64 with padding, written out independently of the product.
inline std::string Base64(const std::string& bytes) {
    static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 2]);
        out += a[(v >> 18) & 63];
        out += a[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? a[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? a[v & 63] : '=';
    }
    return out;
}

// A sound BIRD file whose firmware image is noise: it does not compress, so
// it takes as much room on disk and as long on the wire as its size says.
inline std::string NoiseBird(unsigned build, size_t imageBytes) {
    std::mt19937 rng(build);
    Bytes image(imageBytes);
    for (uint8_t& b : image)
        b = static_cast<uint8_t>(rng());
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(birdwriter::kFirmware, 0, 0, image));
    d.blocks.push_back(birdwriter::DescriptorBlock(build, "9.9.9", 0x40F5849A, "KS-100"));
    Bytes file = birdwriter::BuildFile(d);
    return std::string(file.begin(), file.end());
}

struct DamagedFile {
    std::string name;
    Bytes file;
    std::string problem; // BirdFile::Problem() for it
};

const char* const kMismatch = "its block count or block lengths do not match its content";

// Complete zlib streams with a broken content, broken streams and broken
// headers, made from a sound description whose last block has a payload.
inline std::vector<DamagedFile> DamagedFiles(const Description& good) {
    std::vector<DamagedFile> cases;
    // The last block declared longer than it is: into the checksum, up to
    // the content's last byte, and one byte and more past it.
    const uint32_t real = static_cast<uint32_t>(good.blocks.back().payload.size());
    for (uint32_t extra : {1u, 4u, 5u, 6u, 1000u}) {
        Description d = good;
        d.blocks.back().declaredLength = real + extra;
        cases.push_back({"last block " + std::to_string(extra) + " bytes too long",
                         birdwriter::BuildFile(d), kMismatch});
    }
    Description shortBlock = good;
    shortBlock.blocks.back().declaredLength = real - 1;
    cases.push_back(
        {"last block one byte too short", birdwriter::BuildFile(shortBlock), kMismatch});
    Description count = good;
    count.blockCount = static_cast<uint32_t>(good.blocks.size() + 1);
    cases.push_back({"a block count one too high", birdwriter::BuildFile(count), kMismatch});
    Description noSum = good;
    noSum.omitChecksum = true;
    cases.push_back({"no checksum", birdwriter::BuildFile(noSum), kMismatch});
    Description trailer = good;
    trailer.trailer = {0, 0, 0, 0, 0};
    cases.push_back({"bytes after the checksum", birdwriter::BuildFile(trailer), kMismatch});

    std::mt19937 rng(1234);
    Bytes noise(4096);
    for (uint8_t& b : noise)
        b = static_cast<uint8_t>(rng());
    cases.push_back({"random content",
                     birdwriter::BuildFileFromStream(Description(), birdwriter::Compress(noise)),
                     kMismatch});
    cases.push_back({"empty content",
                     birdwriter::BuildFileFromStream(Description(), birdwriter::Compress({})),
                     kMismatch});

    Bytes file = birdwriter::BuildFile(good);
    Bytes after = file;
    after.push_back(0);
    cases.push_back({"a byte after the stream", after, "bytes follow its compressed content"});
    cases.push_back({"cut inside the stream", Bytes(file.begin(), file.end() - 5),
                     "its compressed content is cut short"});
    cases.push_back({"header only", Bytes(file.begin(), file.begin() + 6),
                     "its compressed content is cut short"});
    Bytes flipped = file;
    flipped[flipped.size() - 2] ^= 0x40; // the Adler-32 trailer
    cases.push_back({"damaged stream", flipped, "its compressed content is damaged"});
    Description sig = good;
    sig.signature = "BIRD";
    cases.push_back({"wrong signature", birdwriter::BuildFile(sig),
                     "it does not begin with the BIRD signature and version"});
    Description minor = good;
    minor.versionMinor = 0;
    cases.push_back({"minor version 0", birdwriter::BuildFile(minor),
                     "it does not begin with the BIRD signature and version"});
    cases.push_back({"a small file that inflates past the cap",
                     birdwriter::BuildFileFromStream(Description(), ZeroStream(kContentCap + 1)),
                     "its content inflates past the 256 MiB limit"});
    return cases;
}

} // namespace hostile
