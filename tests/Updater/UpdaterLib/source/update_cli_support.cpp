#include "update_cli_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "birdsim/birdwriter.h"
#include "tempdir.h"

namespace fs = std::filesystem;

namespace updcli {

std::string Firmware::File() const {
    using namespace birdwriter;
    Description d;
    if (!noBlocks) {
        d.blocks.push_back(ImageBlock(kLoader, loaderFlags, loaderAddress, loader));
        d.blocks.push_back(ImageBlock(kFirmware, imageFlags, imageAddress, image));
        d.blocks.push_back(DescriptorBlock(build, version, serial, model));
        if (serialAt != 0)
            d.blocks.push_back(SerialOffsetsBlock(serialAt, textAt));
    }
    birdwriter::Bytes file = BuildFile(d);
    return std::string(file.begin(), file.end());
}

Firmware MakeFirmware(uint32_t serial, size_t imageBytes, unsigned build) {
    Firmware f;
    f.serial = serial;
    f.build = build;
    for (size_t i = 0; i < 90; ++i)
        f.loader.push_back(static_cast<uint8_t>((i * 29 + build) & 0xFF));
    for (size_t i = 0; i < imageBytes; ++i)
        f.image.push_back(static_cast<uint8_t>((i * 7 + i / 251 + build * 3) & 0xFF));
    // The image ends with its descriptor, as real firmware carries one: the
    // module reports that build and version once it runs the image.
    if (imageBytes >= 64) {
        char text[65];
        std::snprintf(text, sizeof text, "%-16u%-16s%08X        %-16s", build, f.version.c_str(),
                      serial, f.model.c_str());
        std::copy(text, text + 64, f.image.end() - 64);
    }
    return f;
}

unsigned SimState::Value(const std::string& key) const {
    auto it = values.find(key);
    return it == values.end() ? 0u : static_cast<unsigned>(std::stoul(it->second));
}

namespace {

// The index the simulator's --dump writes: "NAME.KIND.I.bin flags=F
// address=HEX bytes=N" per image, the images in order; an image written
// through a ROM ("NAME.rom.I.bin address=HEX ...") has no flags.
void ReadImages(const std::string& dir, const std::string& module, SimState& st) {
    std::istringstream index(kstest::ReadFile(dir + "/images.txt"));
    std::string line;
    while (std::getline(index, line)) {
        std::istringstream words(line);
        std::string file, flags, address;
        words >> file;
        if (file.compare(0, module.size() + 5, module + ".rom.") == 0)
            flags = "flags=0";
        else
            words >> flags;
        words >> address;
        if (file.compare(0, module.size() + 1, module + ".") != 0 || flags.size() < 6 ||
            address.size() < 8)
            continue;
        std::string kind =
            file.substr(module.size() + 1, file.find('.', module.size() + 1) - module.size() - 1);
        SimImage image;
        image.flags = static_cast<unsigned>(std::stoul(flags.substr(6)));
        image.address = static_cast<uint32_t>(std::stoul(address.substr(8), nullptr, 16));
        std::string data = kstest::ReadFile(dir + "/" + file);
        image.data.assign(data.begin(), data.end());
        (kind == "loader"     ? st.loader
         : kind == "firmware" ? st.firmware
         : kind == "rom"      ? st.rom
                              : st.running)
            .push_back(image);
    }
}

} // namespace

SimState ReadSimState(const std::string& dumpDir, const std::string& module) {
    SimState st;
    std::ifstream in(dumpDir + "/" + module + ".state.txt");
    std::string line;
    while (std::getline(in, line)) {
        st.read = true;
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "fault") {
            std::string item;
            words >> item;
            size_t eq = item.find('=');
            st.faults[item.substr(0, eq)] = static_cast<unsigned>(std::stoul(item.substr(eq + 1)));
        } else if (first == "option") {
            std::string number, sets, value;
            words >> number >> sets >> value;
            st.options[static_cast<unsigned>(std::stoul(number))] = {
                static_cast<unsigned>(std::stoul(sets.substr(5))),
                static_cast<uint32_t>(std::stoul(value.substr(6)))};
        } else if (first.find('=') != std::string::npos) {
            size_t eq = first.find('=');
            st.values[first.substr(0, eq)] = first.substr(eq + 1);
        }
    }
    if (st.read)
        ReadImages(dumpDir, module, st);
    return st;
}

kstest::ProcessResult RunOnBench(const BenchRun& run, const std::string& dumpDir) {
    std::vector<std::string> argv = {kstest::ModuleSimPath(), "--dump", dumpDir};
    if (run.netns)
        argv.push_back("--netns");
    if (run.settleMs > 0)
        argv.insert(argv.end(), {"--settle", std::to_string(run.settleMs)});
    for (const std::string& m : run.modules) {
        argv.push_back("--module");
        argv.push_back(m);
    }
    for (const std::string& f : run.fleets) {
        argv.push_back("--modules");
        argv.push_back(f);
    }
    argv.push_back("--");
    argv.insert(argv.end(), run.launcher.begin(), run.launcher.end());
    argv.push_back(run.testHooks ? kstest::UpdaterTestHooksPath() : kstest::UpdaterPath());
    argv.insert(argv.end(), run.args.begin(), run.args.end());
    kstest::RunOptions options;
    options.timeoutMs = run.timeoutMs;
    options.onPty = run.onPty;
    options.env = run.env;
    return kstest::RunProcess(argv, options);
}

std::string StoreRoot() {
    return kstest::PrivateStoreRoot();
}

void ClearStore() {
    std::string root = StoreRoot();
    if (root.empty())
        return;
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::create_directories(root, ec);
}

std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        std::string rel = fs::relative(it->path(), dir, ec).string();
        files[rel] = it->is_directory() ? std::string("<dir>") : kstest::ReadFile(it->path());
    }
    return files;
}

std::map<std::string, std::string> Attributes(uint32_t serial) {
    char name[16];
    std::snprintf(name, sizeof name, "%08X", serial);
    std::map<std::string, std::string> values;
    std::istringstream in(kstest::ReadFile(StoreRoot() + "/" + name + "/.settings"));
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

void StoreModule(uint32_t serial, const std::string& settings,
                 const std::map<unsigned, std::string>& builds) {
    char name[16];
    std::snprintf(name, sizeof name, "%08X", serial);
    const std::string dir = StoreRoot() + "/" + name;
    std::error_code ec;
    fs::create_directories(dir, ec);
    kstest::WriteFile(dir + "/.settings", settings);
    for (const auto& b : builds)
        kstest::WriteFile(dir + "/" + std::to_string(b.first) + ".bird", b.second);
}

bool IsTimeStamp(const std::string& text) {
    static const std::regex ctime("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
                                  "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");
    return std::regex_match(text, ctime);
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); !part.empty() && at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++n;
    return n;
}

void UpdateCliTest::SetUp() {
    if (StoreRoot().empty())
        GTEST_SKIP() << "needs the private home directory of scripts/isolated-home.sh";
    ClearStore();
}

kstest::ProcessResult UpdateCliTest::Run(const std::vector<std::string>& modules,
                                         const std::vector<std::string>& args,
                                         const std::string& watched, bool onPty) {
    kstest::TempDir stateDir("ks-simstate");
    BenchRun run;
    run.modules = modules;
    run.args = args;
    run.netns = netns_;
    run.onPty = onPty;
    run.launcher = launcher;
    run.settleMs = settleMs;
    run.testHooks = testHooks;
    run.env = env;
    kstest::ProcessResult r = RunOnBench(run, stateDir.path());
    // Under the sanitizer presets a report would hide behind an expected exit 1.
    EXPECT_FALSE(Has(r.err, "Sanitizer") || Has(r.err, "runtime error:")) << r.err;
    EXPECT_FALSE(r.timedOut) << r.out << r.err;
    state = ReadSimState(stateDir.path(), watched);
    router = ReadSimState(stateDir.path(), "r");
    return r;
}

void UpdateCliTest::ExpectWritten(const Firmware& fw, const Bytes& image) {
    ASSERT_TRUE(state.read) << "no simulator state";
    ASSERT_EQ(state.loader.size(), 1u);
    EXPECT_EQ(state.loader[0].flags, fw.loaderFlags);
    EXPECT_EQ(state.loader[0].address, fw.loaderAddress);
    EXPECT_BYTES(fw.loader, state.loader[0].data);
    ASSERT_EQ(state.running.size(), 1u);
    EXPECT_EQ(state.running[0].flags, fw.imageFlags);
    EXPECT_EQ(state.running[0].address, fw.imageAddress);
    EXPECT_BYTES(image, state.running[0].data);
}

void UpdateCliTest::ExpectRecorded(uint32_t serial, const std::string& transfer) {
    std::map<std::string, std::string> attributes = Attributes(serial);
    EXPECT_EQ(attributes["LATEST_TRANSFER"], transfer);
    EXPECT_TRUE(IsTimeStamp(attributes["LAST_TRANSFER_DATE"])) << attributes["LAST_TRANSFER_DATE"];
}

void UpdateCliTest::ExpectStoreAsBefore(const std::map<std::string, std::string>& before) {
    std::map<std::string, std::string> after = Snapshot(StoreRoot());
    EXPECT_EQ(after.size(), before.size()) << "files were added or removed";
    for (const auto& file : before) {
        SCOPED_TRACE(file.first);
        EXPECT_BYTES(file.second, after[file.first]);
    }
}

} // namespace updcli
