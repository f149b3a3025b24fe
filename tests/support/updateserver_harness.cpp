#include "updateserver_harness.h"

#include "birdsim/birdwriter.h"

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace updtest {

void AddModule(const std::string& root, const std::string& serial, const std::string& latest,
               const std::string& firmware) {
    fs::create_directories(root + "/" + serial);
    if (!latest.empty())
        kstest::WriteFile(root + "/" + serial + "/latest", latest + "\n");
    kstest::WriteFile(root + "/" + serial + "/firmware", firmware + "\n");
}

void AddBuild(const std::string& root, const std::string& serial, unsigned build,
              const std::string& version, const std::string& birdBytes) {
    std::string base = root + "/" + serial + "/" + std::to_string(build);
    if (version != "-") // "-": an unlisted build
        kstest::WriteFile(base + ".version", version + "\n");
    if (!birdBytes.empty())
        kstest::WriteFile(base + ".bird", birdBytes);
}

std::string MakeBird(unsigned build, const std::string& version, unsigned serial,
                     size_t imageBytes) {
    using namespace birdwriter;
    Description d;
    Bytes loader(32, 0x5A);
    Bytes image(imageBytes);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>((i * 7 + build) & 0xFF);
    d.blocks.push_back(ImageBlock(kLoader, 0, 0x10000000, loader));
    d.blocks.push_back(ImageBlock(kFirmware, 0, 0x00000000, image));
    d.blocks.push_back(DescriptorBlock(build, version, serial, "KS-100"));
    Bytes file = BuildFile(d);
    return std::string(file.begin(), file.end());
}

SimServer::SimServer(const std::string& root, const std::vector<std::string>& switches) {
    std::vector<std::string> args = {kstest::UpdateServerPath(), "--root",     root, "--log",
                                     logDir.sub("requests.log"), "--lifetime", "300"};
    args.insert(args.end(), switches.begin(), switches.end());
    // The first line names the port.
    if (process_.start(args))
        port_ = process_.waitForPort("updateserver listening on 127.0.0.1:", 5000);
}

std::string SimServer::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u";
}

std::vector<std::string> SimServer::Requests() const {
    std::vector<std::string> lines;
    std::istringstream in(kstest::ReadFile(logDir.sub("requests.log")));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("REQ ", 0) == 0)
            lines.push_back(line);
    return lines;
}

std::vector<std::string> SimServer::Targets() const {
    std::vector<std::string> targets;
    for (const std::string& line : Requests()) {
        size_t b = line.find(" target=");
        size_t e = line.find(" status=");
        if (b != std::string::npos && e != std::string::npos && e > b)
            targets.push_back(line.substr(b + 8, e - b - 8));
    }
    return targets;
}

std::string ClosedPortUrl() {
    return "http://127.0.0.1:" + std::to_string(kstest::ClosedPort()) + "/cgi/u";
}

size_t CountOf(const std::string& s, const std::string& x) {
    size_t n = 0;
    for (size_t at = s.find(x); !x.empty() && at != std::string::npos;
         at = s.find(x, at + x.size()))
        ++n;
    return n;
}

} // namespace updtest
