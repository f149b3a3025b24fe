// The download when the world around it fails: the program interrupted or
// killed mid-download, a disk that fills up, a read-only home, a server whose
// certificate is not trusted, and URLs of other schemes. The real Updater
// binary, its store compared byte for byte with what it held before.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "download_store_fixture.h"
#include "hostile_payloads.h"
#include "store_testutil.h"

namespace fs = std::filesystem;

namespace {

using downloadtest::Files;
using downloadtest::SERIAL;

class DownloadEnvironment : public downloadtest::StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        if (!IsSkipped())
            Serve(updtest::MakeBird(1234, "1.2.3", 0x40F5849A, 400));
    }

    void Serve(const std::string& bird) {
        served = bird;
        updtest::AddBuild(content.path(), SERIAL, 1234, "1.2.3", bird);
    }

    // Downloads build 1234, then serves other bytes under the same number:
    // incompressible, so as large on disk as on the wire.
    Files StoreGoodBuild() {
        Files files = StoreLatest();
        Serve(hostile::NoiseBird(1234, 300000));
        return files;
    }

    // Waits (bounded) until the download's temporary file exists.
    bool WaitForTemporaryFile(int ms) const {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
             std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            for (const auto& f : Snapshot())
                if (f.first.rfind(".1234.bird.tmp-", 0) == 0)
                    return true;
        return false;
    }

    std::string served;
};

TEST_F(DownloadEnvironment, AnInterruptedDownloadLeavesNothingBehind) {
    const Files before = StoreGoodBuild();
    updtest::SimServer slow(content.path(), {"--trickle", "4096:20", "--only", "bird"});
    ASSERT_TRUE(slow.running());
    for (int sig : {SIGINT, SIGTERM, SIGKILL}) {
        SCOPED_TRACE(sig);
        kstest::Process updater;
        ASSERT_TRUE(updater.start(Args(slow.url(), {"-G", "-d", SERIAL})));
        ASSERT_TRUE(WaitForTemporaryFile(20000)) << updater.output();
        updater.stop(sig);
        if (sig != SIGKILL) {
            ExpectStoreUnchanged(before, "after the signal");
            continue;
        }
        // Killed outright: the next download sweeps what it left and stores.
        EXPECT_EQ(Snapshot().size(), before.size() + 1) << "SIGKILL leaves its temporary file";
        updtest::SimServer server(content.path());
        ASSERT_TRUE(server.running());
        kstest::ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        Files after = Snapshot();
        EXPECT_EQ(after.size(), before.size()) << "the stale temporary file stayed";
        EXPECT_BYTES(served, after["1234.bird"]);
    }
}

TEST_F(DownloadEnvironment, AFullDiskKeepsTheStoreAsItWasAndSaysWhy) {
    fs::create_directories(ModuleDir());
    storetest::PrivateTmpfs disk(ModuleDir(), 256 * 1024);
    if (!disk.ok())
        GTEST_SKIP() << disk.reason();
    const Files before = StoreGoodBuild(); // the new build (300 kB) cannot fit
    updtest::SimServer server(content.path());
    ASSERT_TRUE(server.running());
    kstest::ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL});
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_NE(
        r.err.find("Failed to write file " + ModuleDir() + "/1234.bird: No space left on device\n"),
        std::string::npos)
        << r.err;
    ExpectStoreUnchanged(before, "disk full");
}

TEST_F(DownloadEnvironment, SettingsThatCannotBeWrittenFailTheDownloadAndChangeNothing) {
    fs::create_directories(ModuleDir());
    storetest::PrivateTmpfs disk(ModuleDir(), 1024 * 1024);
    if (!disk.ok())
        GTEST_SKIP() << disk.reason();
    StoreGoodBuild();
    // Leave room for the new build's file and not one page more.
    struct statvfs fsInfo;
    ASSERT_EQ(::statvfs(ModuleDir().c_str(), &fsInfo), 0);
    const size_t page = fsInfo.f_bsize;
    const size_t free = fsInfo.f_bavail * page;
    const size_t needed = (served.size() + page - 1) / page * page;
    ASSERT_GT(free, needed);
    ASSERT_TRUE(kstest::WriteFile(ModuleDir() + "/filler", std::string(free - needed, 'f')));
    const Files before = Snapshot();
    updtest::SimServer server(content.path());
    ASSERT_TRUE(server.running());
    kstest::ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL});
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Could not record 1234.bird in the device settings " + ModuleDir() +
                         "/.settings: No space left on device\n"),
              std::string::npos)
        << r.err;
    ExpectStoreUnchanged(before, "settings not writable");
}

TEST_F(DownloadEnvironment, AReadOnlyHomeIsReportedWithItsReason) {
    storetest::PrivateTmpfs disk(home_, 64 * 1024);
    if (!disk.ok())
        GTEST_SKIP() << disk.reason();
    ASSERT_TRUE(disk.MakeReadOnly());
    kstest::ProcessResult r = Run(updtest::ClosedPortUrl(), {"-B", "-d", SERIAL});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "Could not find updater directory at " + home_ +
                         "/.quillmar/updater: Read-only file system\n");
}

// The full path of a program found on PATH ("" when there is none).
std::string OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

TEST_F(DownloadEnvironment, AnUntrustedCertificateIsNamedAsTheReason) {
    const std::string openssl = OnPath("openssl");
    ASSERT_NE(openssl, "") << "openssl is not installed (scripts/install-deps.sh)";
    kstest::TempDir tls{"ks-tls"};
    kstest::ProcessResult made = kstest::RunProcess(
        {openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
         "/CN=127.0.0.1", "-keyout", tls.sub("key.pem"), "-out", tls.sub("cert.pem")},
        60000);
    ASSERT_EQ(made.exitStatus, 0) << "openssl made no certificate: " << made.err;
    const int port = kstest::ClosedPort();
    kstest::Process server;
    ASSERT_TRUE(server.start({openssl, "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                              "-cert", tls.sub("cert.pem"), "-key", tls.sub("key.pem"), "-www"}));
    ASSERT_NE(server.waitForLine("ACCEPT", 20000), "") << server.output();
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    kstest::ProcessResult r = Run(url, {"-G", "-d", SERIAL});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err.find("Server request failed for " + url +
                         ": SSL peer certificate or SSH remote key was not OK\n"),
              0u)
        << r.err;
}

// A loopback listener that only counts the connections made to it.
class Listener {
  public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::listen(fd_, 16) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~Listener() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int port() const { return port_; }
    int Connections() {
        int n = 0;
        for (int c; (c = ::accept(fd_, nullptr, nullptr)) >= 0; ++n)
            ::close(c);
        return n;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

TEST_F(DownloadEnvironment, OnlyHttpAndHttpsAreEverSpoken) {
    Listener listener;
    ASSERT_GT(listener.port(), 0);
    const std::string where = "127.0.0.1:" + std::to_string(listener.port());
    const std::string reply = content.write("reply", "ok\n");
    for (const std::string& url : std::vector<std::string>{
             "file://" + reply, "ftp://" + where + "/cgi/u", "gopher://" + where + "/cgi/u",
             "dict://" + where + "/cgi/u", "rtsp://" + where + "/cgi/u",
             "telnet://" + where + "/cgi/u", "FILE://" + reply}) {
        SCOPED_TRACE(url);
        // The command line refuses such a URL before any request.
        for (const char* command : {"-B", "-G"}) {
            kstest::ProcessResult r = Run(url, {command, "-d", SERIAL});
            EXPECT_EQ(r.exitStatus, 2);
            EXPECT_EQ(r.err.rfind("Invalid update server URL [" + url + "]", 0), 0u) << r.err;
        }
        EXPECT_EQ(listener.Connections(), 0) << "a connection was made";
    }
    EXPECT_FALSE(fs::exists(ModuleDir()));
}

} // namespace
