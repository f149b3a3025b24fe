// -C: reads a BIRD file the way an update reads a file named with -f, and
// tells what it holds and whether an update could use it.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "FileReports.h"
#include "Updater.h"

namespace {

std::string _model_field(const BirdFile& file) {
    for (const BirdBlock& b : file.blocks) {
        if (b.type != BirdFile::BIRD_BLOCK_DESCRIPTOR)
            continue;
        if (b.length < BirdFile::DESCRIPTOR_SIZE)
            return std::string();
        std::string model(reinterpret_cast<const char*>(b.data) + 48, 16);
        model.erase(model.find_last_not_of(" \0", std::string::npos, 2) + 1);
        return model;
    }
    return std::string();
}

void _describe(BirdFile& file, BirdCheckReport& report) {
    report.loaded = true;
    for (const BirdBlock& b : file.blocks) {
        BirdBlockReport r;
        r.type = b.type;
        r.flags = b.flags;
        bool image =
            b.type == BirdFile::BIRD_BLOCK_LOADER || b.type == BirdFile::BIRD_BLOCK_FIRMWARE;
        r.address = image ? b.address : 0;
        r.size = image && b.length >= 4 ? b.length - 4 : b.length;
        report.blocks.push_back(r);
    }
    for (const BirdBlock& b : file.blocks)
        if (b.type == BirdFile::BIRD_BLOCK_DESCRIPTOR)
            report.descriptor = b.length >= BirdFile::DESCRIPTOR_SIZE;
    report.build = file.GetBuild();
    report.version = file.GetVersion();
    report.generic = file.hasSerialOffsets;
    report.serial = report.generic ? 0 : file.GetSerialNumber();
    report.model = _model_field(file);
}

// True when size bytes at target address at lie inside one firmware image.
bool _inside_firmware(const BirdFile& file, uint64_t at, uint64_t size) {
    for (const BirdBlock& b : file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)) {
        uint64_t start = b.address;
        uint64_t end = b.length >= 4 ? start + b.length - 4 : start;
        if (start <= at && at + size <= end)
            return true;
    }
    return false;
}

// A generic file: where the update writes the module's serial number (a
// 32-bit word and a 16-byte text) must lie inside its firmware, or the
// module would keep the serial number of the file.
Outcome _judge_serial_locations(BirdFile& file) {
    if (!file.FindSerialNumberOffsets())
        return Outcome::Fail(qErrParse, "its serial-number block is shorter than 8 bytes");
    uint32_t word = file.serialNumberOffset, text = file.descriptorOffset;
    if (word == 0 && text == 0)
        return Outcome::Fail(qErrParse, "its serial-number block names no location");
    if ((word != 0 && !_inside_firmware(file, word, 4)) ||
        (text != 0 && !_inside_firmware(file, text, 16)))
        return Outcome::Fail(qErrRange,
                             "its serial-number locations lie outside its firmware blocks");
    return Outcome::Ok();
}

// Why an update could not use the loaded file; success when it could.
Outcome _judge(BirdFile& file, const BirdCheckReport& report) {
    if (!file.IsWhole())
        return Outcome::Fail(qErrParse, file.Problem());
    if (!report.descriptor)
        return Outcome::Fail(qErrParse, "it holds no descriptor (build, version, serial, model)");
    if (file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).empty())
        return Outcome::Fail(qErrParse,
                             "it holds no firmware blocks; an update would write nothing");
    if (report.generic)
        return _judge_serial_locations(file);
    if (!report.generic && report.serial == 0)
        return Outcome::Fail(qErrParse,
                             "it names no module (serial 0) and has no serial-number locations");
    return Outcome::Ok();
}

} // namespace

const char* BirdBlockKind(uint8_t type) {
    switch (type) {
    case BirdFile::BIRD_BLOCK_LOADER:
        return "loader";
    case BirdFile::BIRD_BLOCK_FIRMWARE:
        return "firmware";
    case BirdFile::BIRD_BLOCK_SERIAL_OFFSETS:
        return "serial-offsets";
    case BirdFile::BIRD_BLOCK_DESCRIPTOR:
        return "descriptor";
    case BirdFile::BIRD_BLOCK_START_ADDRESS:
        return "start-address";
    default:
        return "unknown";
    }
}

bool Updater::Check_BirdFile(const std::string& path, BirdCheckReport& report) {
    report = BirdCheckReport();
    report.path = path;
    if (path.empty()) {
        report.outcome = Outcome::Fail(qErrParam, "Check needs a BIRD file: name it with -f");
    } else {
        BirdFile file;
        file.filename = path;
        if (file.Load()) {
            _describe(file, report);
            report.outcome = _judge(file, report);
        } else {
            std::string why = file.Problem().empty() ? "it is not a BIRD file" : file.Problem();
            struct stat st;
            bool missing = stat(path.c_str(), &st) != 0 && errno == ENOENT;
            report.outcome = Outcome::Fail(missing ? qErrNotFound : qErrParse, why);
        }
        report.outcome.Within("Birdfile " + path + " fails the check");
    }
    report.outcome.Report(display);
    return report.outcome.ok();
}
