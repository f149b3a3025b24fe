#include "updateserver_harness.h"

#include "birdsim/birdwriter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace updtest {

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::vector<char*> Argv(const std::vector<std::string>& args) {
    std::vector<char*> v;
    for (const std::string& a : args)
        v.push_back(const_cast<char*>(a.c_str()));
    v.push_back(nullptr);
    return v;
}

// Waits up to ms for the child; kills it when it is still there.
int Reap(pid_t pid, int ms, bool& killed) {
    killed = false;
    auto start = Clock::now();
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0)
            return -1;
        if (MsSince(start) > ms && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

std::string BinaryDir() {
    const char* d = std::getenv("KS_BINARY_DIR");
    return d ? d : "";
}

std::string UpdaterPath() {
    return BinaryDir() + "/Updater/Updater";
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/updtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()))
        dir = buf.data();
}

TempDir::~TempDir() {
    if (!dir.empty()) {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool ReadFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
    return true;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

void AddModule(const std::string& root, const std::string& serial, const std::string& latest,
               const std::string& firmware) {
    fs::create_directories(root + "/" + serial);
    if (!latest.empty())
        WriteFile(root + "/" + serial + "/latest", latest + "\n");
    WriteFile(root + "/" + serial + "/firmware", firmware + "\n");
}

void AddBuild(const std::string& root, const std::string& serial, unsigned build,
              const std::string& version, const std::string& birdBytes) {
    std::string base = root + "/" + serial + "/" + std::to_string(build);
    if (version != "-") // "-": an unlisted build
        WriteFile(base + ".version", version + "\n");
    if (!birdBytes.empty())
        WriteFile(base + ".bird", birdBytes);
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
    std::vector<std::string> args = {BinaryDir() + "/sim/updateserver/updateserver",
                                     "--root",
                                     root,
                                     "--log",
                                     logDir.path() + "/requests.log",
                                     "--lifetime",
                                     "300"};
    args.insert(args.end(), switches.begin(), switches.end());
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        std::vector<char*> argv = Argv(args);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    // The first line names the port; wait for it at most 5 s.
    std::string first;
    auto start = Clock::now();
    while (pid_ > 0 && first.find('\n') == std::string::npos && MsSince(start) < 5000) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[256];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0)
                break;
            first.append(buf, static_cast<size_t>(n));
        }
    }
    close(out[0]);
    size_t colon = first.rfind(':');
    if (first.rfind("updateserver listening on 127.0.0.1:", 0) == 0 && colon != std::string::npos)
        port_ = std::atoi(first.c_str() + colon + 1);
}

SimServer::~SimServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        bool killed = false;
        Reap(pid_, 5000, killed);
    }
}

std::string SimServer::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u";
}

std::vector<std::string> SimServer::Requests() const {
    std::vector<std::string> lines;
    std::string all;
    ReadFile(logDir.path() + "/requests.log", all);
    std::istringstream in(all);
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

ProcessResult RunProcess(const std::vector<std::string>& args, int timeoutMs, bool onPty) {
    ProcessResult result;
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    int master = -1, slave = -1;
    if (pipe2(err, O_CLOEXEC) != 0)
        return result;
    if (onPty) {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return result;
        out[0] = master;
        out[1] = slave;
    } else if (pipe2(out, O_CLOEXEC) != 0) {
        return result;
    }
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (onPty)
            close(master);
        std::vector<char*> argv = Argv(args);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    bool outOpen = true, errOpen = true, killed = false;
    while ((outOpen || errOpen) && pid > 0) {
        long left = timeoutMs - MsSince(start);
        if (left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(left < 100 ? left : 100)) <= 0)
            continue;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                (i == 0 ? outOpen : errOpen) = false; // a pty reports EIO once the child is gone
                continue;
            }
            std::string chunk(buf, static_cast<size_t>(n));
            (i == 0 ? result.out : result.err) += chunk;
            if (i == 0 && onPty)
                result.chunks.emplace_back(MsSince(start), chunk);
        }
    }
    close(out[0]);
    close(err[0]);
    bool reapKilled = false;
    result.exitStatus = pid > 0 ? Reap(pid, killed ? 1000 : 5000, reapKilled) : -1;
    result.timedOut = killed || reapKilled;
    if (result.timedOut)
        result.exitStatus = -1;
    result.seconds = MsSince(start) / 1000.0;
    return result;
}

std::string ClosedPortUrl() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 9; // discard: not served on a test machine
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        close(s);
    return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
}

size_t CountOf(const std::string& s, const std::string& x) {
    size_t n = 0;
    for (size_t at = s.find(x); !x.empty() && at != std::string::npos;
         at = s.find(x, at + x.size()))
        ++n;
    return n;
}

} // namespace updtest
