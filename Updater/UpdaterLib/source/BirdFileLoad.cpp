// Loading a BIRD file, from a file read in pieces or from memory, through one
// inflate and one block scan, so that a downloaded payload is judged by the
// very code that later loads it from the store.
//
// The zlib stream is inflated twice: once to learn the content's size (the
// output is dropped), then into a buffer of exactly that size. Loading thus
// needs the content's size in memory and no more, also for flash images that
// compress far better than 8:1.
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "BirdBlockScanner.h"
#include "BirdFile.h"
#include "BirdFormat.h"
#include "Log.h"
#include "RegularFile.h"

using birdformat::kHeaderSize;

class BirdFile::Source {
  public:
    virtual ~Source() = default;
    // The next piece of the stream (n 0 at its end); false on a read error.
    virtual bool Next(const uint8_t** piece, size_t* n) = 0;
    // Back to the first byte of the stream.
    virtual bool Restart() = 0;
    // Why a read failed.
    virtual std::string Problem() const { return std::string(); }
};

namespace {

constexpr size_t kPiece = 64 * 1024;
constexpr size_t kMaxCall = 1u << 30; // what one zlib call is given at most

class MemorySource : public BirdFile::Source {
  public:
    MemorySource(const uint8_t* bytes, size_t length) : bytes_(bytes), length_(length) {}
    bool Next(const uint8_t** piece, size_t* n) override {
        size_t left = length_ - pos_;
        *n = left > kMaxCall ? kMaxCall : left;
        *piece = bytes_ + pos_;
        pos_ += *n;
        return true;
    }
    bool Restart() override {
        pos_ = 0;
        return true;
    }

  private:
    const uint8_t* bytes_;
    size_t length_;
    size_t pos_ = 0;
};

class FileSource : public BirdFile::Source {
  public:
    FileSource(RegularFileReader& file, uint64_t start)
        : file_(file), start_(start), buffer_(new (std::nothrow) uint8_t[kPiece]) {}
    bool Next(const uint8_t** piece, size_t* n) override {
        ssize_t got = buffer_ ? file_.Read(buffer_.get(), kPiece) : -1;
        if (got < 0)
            return false;
        *piece = buffer_.get();
        *n = static_cast<size_t>(got);
        return true;
    }
    bool Restart() override { return file_.Seek(start_); }
    std::string Problem() const override {
        return buffer_ ? file_.Problem() : std::string(std::strerror(ENOMEM));
    }

  private:
    RegularFileReader& file_;
    uint64_t start_;
    std::unique_ptr<uint8_t[]> buffer_;
};

struct Pass {
    int rc = Z_OK; // Z_STREAM_END when the stream ended properly
    uint64_t produced = 0;
    bool readError = false;
    bool cut = false;       // the input ended inside the stream
    bool overLimit = false; // more output than the limit, or than out holds
    bool trailing = false;  // bytes follow the stream
};

// Takes the next piece of input when zlib has used up the last one.
bool Refill(BirdFile::Source& source, z_stream& z, bool& ended, Pass& pass) {
    if (z.avail_in != 0 || ended)
        return true;
    const uint8_t* piece = nullptr;
    size_t n = 0;
    if (!source.Next(&piece, &n)) {
        pass.readError = true;
        pass.rc = Z_ERRNO;
        return false;
    }
    ended = n == 0;
    z.next_in = const_cast<Bytef*>(piece);
    z.avail_in = static_cast<uInt>(n);
    return true;
}

// Takes the output of a pass that keeps none.
using Consumer = std::function<void(const uint8_t* bytes, size_t n)>;

// One pass over the stream. Without out the output goes through scratch, to
// consume when given, else only counted; with out it fills out's capacity
// bytes.
Pass InflatePass(BirdFile::Source& source, uint8_t* out, uint64_t capacity, uint64_t limit,
                 const Consumer* consume = nullptr) {
    Pass pass;
    z_stream z{};
    std::unique_ptr<uint8_t[]> scratch(out ? nullptr : new (std::nothrow) uint8_t[kPiece]);
    if ((!out && !scratch) || inflateInit(&z) != Z_OK) {
        pass.rc = Z_MEM_ERROR;
        return pass;
    }
    bool ended = false;
    while (Refill(source, z, ended, pass)) {
        uint64_t room = out ? capacity - pass.produced : kPiece;
        uInt avail = static_cast<uInt>(room > kMaxCall ? kMaxCall : room);
        z.next_out = out ? out + pass.produced : scratch.get();
        z.avail_out = avail;
        int r = inflate(&z, Z_NO_FLUSH);
        pass.produced += avail - z.avail_out;
        if (consume && pass.produced <= limit)
            (*consume)(scratch.get(), avail - z.avail_out);
        if (pass.produced > limit) {
            pass.overLimit = true;
            pass.rc = Z_BUF_ERROR;
            break;
        }
        if (r == Z_STREAM_END || (r != Z_OK && r != Z_BUF_ERROR)) {
            pass.rc = r == Z_NEED_DICT ? Z_DATA_ERROR : r;
            break;
        }
        if (r == Z_BUF_ERROR && z.avail_in == 0 && ended) {
            pass.cut = true;
            pass.rc = Z_DATA_ERROR;
            break;
        }
        if (r == Z_BUF_ERROR && z.avail_in != 0) { // out is full, the stream goes on
            pass.overLimit = true;
            pass.rc = Z_BUF_ERROR;
            break;
        }
    }
    if (pass.rc == Z_STREAM_END) {
        pass.trailing = z.avail_in != 0;
        const uint8_t* piece = nullptr;
        size_t n = 0;
        if (!pass.trailing && !ended && source.Next(&piece, &n))
            pass.trailing = n != 0;
    }
    inflateEnd(&z);
    return pass;
}

std::string Describe(const Pass& pass, const BirdFile::Source& source) {
    if (pass.readError)
        return "it could not be read: " + source.Problem();
    if (pass.overLimit)
        return "its content inflates past the " + std::to_string(BirdFile::MAX_CONTENT_SIZE >> 20) +
               " MiB limit";
    if (pass.cut)
        return "its compressed content is cut short";
    if (pass.rc == Z_MEM_ERROR)
        return "there is not enough memory to inflate it";
    return "its compressed content is damaged";
}

} // namespace

bool BirdFile::Inflate(Source& source, uint64_t limit) {
    data.reset();
    dataSize = 0;
    Pass count = InflatePass(source, nullptr, 0, limit);
    Pass failed = count;
    std::unique_ptr<uint8_t[]> content;
    if (count.rc == Z_STREAM_END) {
        content.reset(new (std::nothrow) uint8_t[count.produced > 0 ? count.produced : 1]);
        Pass fill;
        if (!content) {
            fill.rc = Z_MEM_ERROR;
        } else if (!source.Restart()) {
            fill.readError = true;
            fill.rc = Z_ERRNO;
        } else {
            fill = InflatePass(source, content.get(), count.produced, limit);
            if (fill.rc == Z_STREAM_END && fill.produced != count.produced)
                fill.rc = Z_DATA_ERROR; // the file changed under us
        }
        failed = fill;
    }
    if (failed.rc != Z_STREAM_END) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", failed.rc);
        problem_ = Describe(failed, source);
        return false;
    }
    data = std::move(content);
    dataSize = static_cast<uint32_t>(count.produced);
    if (count.trailing)
        problem_ = "bytes follow its compressed content";
    return true;
}

bool BirdFile::DecompressData(const uint8_t* src, size_t len) {
    MemorySource source(src, src ? len : 0);
    return Inflate(source, MAX_CONTENT_SIZE);
}

namespace {

bool HeaderOk(const uint8_t* header, size_t headerBytes) {
    const size_t sigLength = std::strlen(BirdFile::BIRD_FILE_SIGNATURE);
    return headerBytes == kHeaderSize &&
           std::memcmp(header, BirdFile::BIRD_FILE_SIGNATURE, sigLength) == 0 &&
           header[sigLength] != 0 && header[sigLength + 1] != 0;
}

const char* const kBadHeader = "it does not begin with the BIRD signature and version";
const char* const kMismatch = "its block count or block lengths do not match its content";

} // namespace

void BirdFile::CheckWhole(const uint8_t* header, size_t headerBytes, bool scanned) {
    if (!HeaderOk(header, headerBytes))
        problem_ = kBadHeader;
    else if (problem_.empty() && !scanned)
        problem_ = kMismatch;
}

bool BirdFile::LoadFrom(Source& source, const uint8_t* header, size_t headerBytes, uint64_t total) {
    if (total > kHeaderSize) {
        signature = birdformat::GetInt(header);
        version = birdformat::GetShort(header + 4);
    }
    bool result = false;
    if (total == 0) {
        problem_ = "it is empty";
    } else if (!Inflate(source, MAX_CONTENT_SIZE)) {
        // A file that is not a BIRD file at all fails to inflate too: say that first.
        if (!HeaderOk(header, headerBytes))
            problem_ = kBadHeader;
    } else {
        bool scanned = ScanBlocks(data.get(), dataSize); // a mismatch is logged, not fatal
        FindSerialNumberOffsets();
        CheckWhole(header, headerBytes, scanned);
        result = true;
    }
    if (!FindBlocks(BIRD_BLOCK_SERIAL_OFFSETS).empty())
        hasSerialOffsets = true;
    loaded_ = result;
    return result;
}

bool BirdFile::Load() {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", filename.c_str());
    ResetContent();
    RegularFileReader file(filename);
    if (!file.ok()) {
        if (file.error() == ENOENT)
            Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", filename.c_str());
        else
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                     filename.c_str());
        problem_ = file.Problem();
        return false;
    }
    uint8_t header[kHeaderSize];
    size_t got = 0;
    if (!file.ReadFully(header, sizeof header, &got)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", file.error(),
                 filename.c_str());
        problem_ = "it could not be read: " + file.Problem();
        return false;
    }
    FileSource source(file, got);
    return LoadFrom(source, header, got, file.size());
}

bool BirdFile::LoadFromMemory(const uint8_t* bytes, size_t length) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", filename.c_str());
    ResetContent();
    if (!bytes)
        length = 0;
    size_t headerBytes = length < kHeaderSize ? length : kHeaderSize;
    MemorySource source(bytes ? bytes + headerBytes : nullptr, length - headerBytes);
    return LoadFrom(source, bytes, headerBytes, length);
}

bool BirdFile::VerifyFile(const char* path) {
    RegularFileReader file(path ? path : "");
    if (!file.ok()) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 path ? path : "");
        return false;
    }
    uint8_t header[kHeaderSize];
    size_t got = 0;
    return file.ReadFully(header, sizeof header, &got) && got == sizeof header &&
           std::memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 && header[4] != 0 && header[5] != 0;
}

bool BirdFile::CheckWholeFile(const char* path, std::string* problem) {
    std::string ignored;
    std::string& why = problem ? *problem : ignored;
    why.clear();
    RegularFileReader file(path ? path : "");
    uint8_t header[kHeaderSize];
    size_t got = 0;
    if (!file.ok() || !file.ReadFully(header, sizeof header, &got)) {
        why = file.ok() || file.notRegular() ? "it could not be read: " + file.Problem()
                                             : file.Problem();
        return false;
    }
    if (!HeaderOk(header, got)) {
        why = kBadHeader;
        return false;
    }
    // The inflate and the block scan of a load, in one pass: the content is
    // scanned as it comes out instead of being kept.
    FileSource source(file, got);
    BirdBlockScanner scanner(false);
    Consumer feed = [&scanner](const uint8_t* bytes, size_t n) { scanner.Feed(bytes, n); };
    Pass pass = InflatePass(source, nullptr, 0, MAX_CONTENT_SIZE, &feed);
    if (pass.rc != Z_STREAM_END) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", pass.rc);
        why = Describe(pass, source);
        return false;
    }
    bool scanned = scanner.Finish();
    why = pass.trailing ? "bytes follow its compressed content" : scanned ? "" : kMismatch;
    return why.empty();
}

bool BirdFile::IsCompleteFile(const uint8_t* bytes, size_t length) {
    BirdFile file;
    file.filename = "(payload)";
    return file.LoadFromMemory(bytes, length) && file.IsWhole();
}
