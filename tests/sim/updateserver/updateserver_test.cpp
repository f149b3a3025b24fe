// The simulated update server, driven by plain libcurl (not the updater's
// client): its answers, its checks of the client's parameters, its fault
// switches and its request log.
#include "updateserver_harness.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using kstest::TempDir;
using updtest::SimServer;

struct Fetched {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    double seconds = 0;
};

size_t Collect(char* data, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
}

Fetched Fetch(const std::string& url, long timeoutMs = 5000) {
    Fetched f;
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &f.body);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    auto start = std::chrono::steady_clock::now();
    f.code = curl_easy_perform(c);
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &f.status);
    curl_easy_cleanup(c);
    return f;
}

class UpdateServer : public ::testing::Test {
  protected:
    void SetUp() override {
        updtest::AddModule(root.path(), "40F5849A", "124", "KSFW-2.9");
        updtest::AddBuild(root.path(), "40F5849A", 123, "1.0.0", "hello bird");
        updtest::AddBuild(root.path(), "40F5849A", 124, "1.0.1", "hello bird!");
        updtest::AddBuild(root.path(), "40F5849A", 200, "2.0.0", "");     // listed, no file
        updtest::AddBuild(root.path(), "40F5849A", 300, "-", "unlisted"); // a file, not listed
        updtest::AddModule(root.path(), "D272031D", "", "OTHER");
        kstest::WriteFile(root.path() + "/recovery",
                          "# fingerprint, serial, build\n"
                          "00000001 00000002 00000003 00000004 40F5849A 0x10\n"
                          "0000000a 0000000B 0000000c 0000000D 0xD272031D 010\n");
    }
    std::string Url(const SimServer& s, const std::string& query) const {
        return s.url() + "?" + query;
    }
    TempDir root;
};

TEST_F(UpdateServer, AnswersEachOperationWithParametersInAnyOrder) {
    SimServer s(root.path());
    ASSERT_TRUE(s.running());
    const struct {
        const char* query;
        const char* body;
    } cases[] = {
        {"op=hi&rv=2&", "ok\n"},
        {"rv=2&op=hi", "ok\n"},
        {"op=qu&sn=40F5849A&", "ok\n124\nKSFW-2.9\n"},
        {"sn=40F5849A&op=qu", "ok\n124\nKSFW-2.9\n"},
        {"op=qu&sn=D272031D&", "ok\n"},
        {"bld=123&fw=KSFW-2.9&no_cal=false&op=bird&sn=40F5849A&", "ok\naGVsbG8gYmlyZA==\n"},
        {"sn=40F5849A&op=bird&no_cal=true&fw=KSFW-2.9&bld=124", "ok\naGVsbG8gYmlyZCE=\n"},
        {"bld=300&fw=KSFW-2.9&no_cal=false&op=bird&sn=40F5849A&", "ok\ndW5saXN0ZWQ=\n"},
        {"op=builds&sn=40F5849A&", "ok\n123;1.0.0\n124;1.0.1\n200;2.0.0\n"},
        {"op=builds&sn=D272031D&", "ok\n"},
        {"brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&", "ok\n40F5849A\n0x10\n"},
        {"op=fix&fp=0000000A%200000000B%200000000C%200000000D&brief=true", "ok\n0xD272031D\n010\n"},
    };
    for (const auto& c : cases) {
        Fetched f = Fetch(Url(s, c.query));
        EXPECT_EQ(f.code, CURLE_OK) << c.query;
        EXPECT_EQ(f.status, 200) << c.query;
        EXPECT_EQ(f.body, c.body) << c.query;
    }
    std::vector<std::string> targets = s.Targets();
    ASSERT_EQ(targets.size(), sizeof cases / sizeof cases[0]);
    for (size_t i = 0; i < targets.size(); ++i)
        EXPECT_EQ(targets[i], std::string("/cgi/u?") + cases[i].query);
}

TEST_F(UpdateServer, RefusesQueriesTheClientShouldNotSend) {
    SimServer s(root.path());
    ASSERT_TRUE(s.running());
    const struct {
        const char* query;
        long status;
        const char* body;
    } cases[] = {
        {"", 400, "error missing parameter op\n"},
        {"op=hello&", 400, "error unknown op\n"},
        {"op=hi&", 400, "error missing parameter rv\n"},
        {"op=hi&rv=1&", 400, "error unsupported rv\n"},
        {"op=qu&sn=40f5849a&", 400, "error sn must be eight upper-case hexadecimal digits\n"},
        {"op=qu&sn=F5849A&", 400, "error sn must be eight upper-case hexadecimal digits\n"},
        {"op=qu&sn=00000001&", 404, "error unknown serial number\n"},
        {"op=builds&sn=00000001&", 404, "error unknown serial number\n"},
        {"fw=KSFW-2.9&no_cal=false&op=bird&sn=40F5849A&", 400, "error missing parameter bld\n"},
        {"bld=123&fw=OTHER&no_cal=false&op=bird&sn=40F5849A&", 400,
         "error fw does not match the module's firmware\n"},
        {"bld=123&fw=KSFW-2.9&no_cal=yes&op=bird&sn=40F5849A&", 400,
         "error no_cal must be true or false\n"},
        {"bld=../x&fw=KSFW-2.9&no_cal=false&op=bird&sn=40F5849A&", 400,
         "error bld must be decimal\n"},
        {"bld=125&fw=KSFW-2.9&no_cal=false&op=bird&sn=40F5849A&", 404, "error unknown build\n"},
        {"bld=200&fw=KSFW-2.9&no_cal=false&op=bird&sn=40F5849A&", 404, "error unknown build\n"},
        {"brief=true&fp=00000001%2000000002%2000000003&op=fix&", 400,
         "error fp must be four groups of eight hexadecimal digits\n"},
        {"brief=true&fp=00000009%2000000002%2000000003%2000000004&op=fix&", 404,
         "error unknown fingerprint\n"},
        {"brief=false&fp=00000001%2000000002%2000000003%2000000004&op=fix&", 400,
         "error brief must be true\n"},
    };
    for (const auto& c : cases) {
        Fetched f = Fetch(Url(s, c.query));
        EXPECT_EQ(f.status, c.status) << c.query;
        EXPECT_EQ(f.body, c.body) << c.query;
    }
    EXPECT_EQ(Fetch(s.url().substr(0, s.url().size() - 1) + "x?op=hi&rv=2&").status, 404)
        << "other paths";
}

TEST_F(UpdateServer, DistortsRepliesOnRequest) {
    const std::string bird = "bld=123&fw=KSFW-2.9&no_cal=false&op=bird&sn=40F5849A&";
    const std::string ping = "op=hi&rv=2&";
    kstest::WriteFile(root.path() + "/odd", "okay\n100;1\n100;2\n");
    const struct {
        std::vector<std::string> switches;
        std::string query;
        long status;
        std::string body;
    } cases[] = {
        {{"--status", "404"}, ping, 404, "error forced status 404\n"},
        {{"--status", "500"}, bird, 500, "error forced status 500\n"},
        {{"--first-line", "okay"}, ping, 200, "okay\n"},
        {{"--first-line", "no"}, bird, 200, "no\naGVsbG8gYmlyZA==\n"},
        {{"--empty-body"}, bird, 200, ""},
        {{"--crlf"}, bird, 200, "ok\r\naGVsbG8gYmlyZA==\r\n"},
        {{"--truncate-payload", "3"}, bird, 200, "ok\naGVsbG8gYmlyZ\n"},
        {{"--bad-payload"}, bird, 200, "ok\n****************\n"},
        {{"--body-file", root.path() + "/odd"}, ping, 200, "okay\n100;1\n100;2\n"},
        {{"--status", "500", "--only", "bird,fix"}, ping, 200, "ok\n"},
        {{"--status", "500", "--only", "bird,fix"}, bird, 500, "error forced status 500\n"},
        {{"--truncate-payload", "3"}, ping, 200, "ok\n"}, // only the payload is cut
        {{"--chunked"}, bird, 200, "ok\naGVsbG8gYmlyZA==\n"},
        {{"--trickle", "5:10"}, bird, 200, "ok\naGVsbG8gYmlyZA==\n"},
    };
    for (const auto& c : cases) {
        SimServer s(root.path(), c.switches);
        ASSERT_TRUE(s.running()) << c.switches[0];
        Fetched f = Fetch(Url(s, c.query));
        EXPECT_EQ(f.code, CURLE_OK) << c.switches[0];
        EXPECT_EQ(f.status, c.status) << c.switches[0];
        EXPECT_EQ(f.body, c.body) << c.switches[0];
        EXPECT_EQ(s.Requests().size(), 1u) << c.switches[0];
    }
}

TEST_F(UpdateServer, DelaysHangsAndBreaksOffConnections) {
    {
        SimServer s(root.path(), {"--delay-ms", "400"});
        ASSERT_TRUE(s.running());
        Fetched f = Fetch(Url(s, "op=hi&rv=2&"));
        EXPECT_EQ(f.body, "ok\n");
        EXPECT_GE(f.seconds, 0.35);
    }
    {
        SimServer s(root.path(), {"--hang", "--only", "hi"});
        ASSERT_TRUE(s.running());
        Fetched f = Fetch(Url(s, "op=hi&rv=2&"), 500);
        EXPECT_EQ(f.code, CURLE_OPERATION_TIMEDOUT);
        ASSERT_EQ(s.Requests().size(), 1u);
        EXPECT_NE(s.Requests()[0].find("status=none (never answered)"), std::string::npos);
        EXPECT_EQ(Fetch(Url(s, "op=qu&sn=40F5849A&"), 2000).status, 200); // the others still answer
    }
    {
        SimServer s(root.path(), {"--close-mid-reply"});
        ASSERT_TRUE(s.running());
        Fetched f = Fetch(Url(s, "bld=124&fw=KSFW-2.9&no_cal=false&op=bird&sn=40F5849A&"));
        EXPECT_EQ(f.code, CURLE_PARTIAL_FILE);
        EXPECT_EQ(f.body, "ok\naGVsbG8"); // half of the 20-byte body
    }
}

TEST_F(UpdateServer, RejectsABadCommandLine) {
    const std::string server = kstest::UpdateServerPath();
    const std::vector<std::vector<std::string>> cases = {
        {server},
        {server, "--root"},
        {server, "--root", root.path(), "--status", "42"},
        {server, "--root", root.path(), "--trickle", "5"},
        {server, "--root", root.path(), "--port", "70000"},
        {server, "--root", root.path(), "--bogus"},
    };
    for (const auto& argv : cases) {
        kstest::ProcessResult r = kstest::RunProcess(argv, 5000);
        EXPECT_EQ(r.exitStatus, 2) << argv.back();
        EXPECT_NE(r.err.find("usage: updateserver"), std::string::npos) << argv.back();
    }
}

TEST_F(UpdateServer, ServesLargeFilesByteForByte) {
    std::string big = updtest::MakeBird(1, "9.9.9", 0x40F5849A, 300000);
    updtest::AddBuild(root.path(), "40F5849A", 9, "9.9.9", big);
    SimServer s(root.path());
    ASSERT_TRUE(s.running());
    Fetched f = Fetch(Url(s, "bld=9&fw=KSFW-2.9&no_cal=false&op=bird&sn=40F5849A&"));
    ASSERT_EQ(f.status, 200);
    EXPECT_EQ(f.body.size(), 3 + (big.size() + 2) / 3 * 4 + 1);
    EXPECT_EQ(f.body.compare(0, 7, "ok\nYmly"), 0) << "payload starts with base64 of \"bir\"";
}

} // namespace
