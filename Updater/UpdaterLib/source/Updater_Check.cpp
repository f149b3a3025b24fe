// -C: reads a BIRD file the way an update reads a file named with -f, and
// tells what it holds and whether an update could use it.
#include <cstring>

#include "FileReports.h"
#include "Updater.h"

namespace {

// A serial number the check writes into its own copy of a generic file, to
// find out whether the file's serial-number locations lie in its firmware.
const uint32_t PROBE_SERIAL = 0x12345678;

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

// Why an update could not use the loaded file; success when it could.
Outcome _judge(BirdFile& file, const BirdCheckReport& report) {
    if (!file.IsWhole())
        return Outcome::Fail(qErrParse, file.Problem());
    if (!report.descriptor)
        return Outcome::Fail(qErrParse, "it holds no descriptor (build, version, serial, model)");
    if (file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).empty())
        return Outcome::Fail(qErrParse,
                             "it holds no firmware blocks; an update would write nothing");
    if (report.generic && !file.ReplaceSerialNumber(PROBE_SERIAL))
        return Outcome::Fail(qErrRange,
                             "its serial-number locations lie outside its firmware blocks");
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
            report.outcome = Outcome::Fail(qErrParse, why);
        }
        report.outcome.Within("Birdfile " + path + " fails the check");
    }
    report.outcome.Report(display);
    return report.outcome.ok();
}
