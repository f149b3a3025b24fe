// The update server queries: the replies they accept and refuse, and the
// exact URLs they send, checked against the simulated server's request log.
#include "HTTPRequest.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "updateserver_harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

using kstest::TempDir;
using updtest::SimServer;
using Builds = std::map<std::string, std::string>;

HTTPResponse Reply(long status, const std::string& body) {
    HTTPResponse r("http://127.0.0.1:1/cgi/u?op=x&");
    r.set_status(status);
    r.process(body.data(), body.size());
    return r;
}

TEST(ServerReply, AcceptsOnlyStatus200WithAnOkFirstLine) {
    const struct {
        long status;
        const char* body;
        bool accepted;
    } cases[] = {
        {200, "ok\n", true},       {200, "ok", true},           {200, "okay and more\n", true},
        {200, "\n\n\nok\n", true}, {200, "ok\r\n", true},       {200, "", false},
        {200, "\n\n", false},      {200, "OK\n", false},        {200, " ok\n", false},
        {200, "o\nk\n", false},    {200, "error\nok\n", false}, {404, "ok\n", false},
        {500, "ok\n", false},      {201, "ok\n", false},        {0, "ok\n", false},
    };
    for (const auto& c : cases) {
        HTTPResponse r = Reply(c.status, c.body);
        EXPECT_EQ(UpdateServerRequest::ReadPing(r), c.accepted)
            << c.status << " [" << c.body << "]";
    }
}

TEST(ServerReply, QueryBuildTakesLinesTwoAndThree) {
    const struct {
        const char* body;
        bool ok;
        const char* build;
        const char* firmware;
    } cases[] = {
        {"ok\n124\nKSFW-2.9\n", true, "124", "KSFW-2.9"},
        {"ok\r\n124\r\nKSFW-2.9\r\n", true, "124\r",
         "KSFW-2.9"}, // the firmware line ends at the CR
        {"ok\n124\n", true, "124", "unchanged"},
        {"ok\n", true, "unchanged", "unchanged"},
        {"ok\n\n\n124\n\nfw\n", true, "124", "fw"},
        {"okay\n7\nA B\n", true, "7", "A B"},
        {"no\n124\nKSFW\n", false, "unchanged", "unchanged"},
    };
    for (const auto& c : cases) {
        HTTPResponse r = Reply(200, c.body);
        std::string build = "unchanged", firmware = "unchanged";
        EXPECT_EQ(UpdateServerRequest::ReadQueryBuild(r, build, firmware), c.ok) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(firmware, c.firmware) << c.body;
    }
}

TEST(ServerReply, BuildPayloadIsLineTwoAsSent) {
    const struct {
        long status;
        const char* body;
        bool ok;
        const char* payload;
    } cases[] = {
        {200, "ok\nYmlyZA==\n", true, "YmlyZA=="},
        {200, "ok\r\nYmlyZA==\r\n", true, "YmlyZA==\r"}, // kept: it then fails to decode
        {200, "ok\n", true, ""},
        {200, "ok\nAAAA\nBBBB\n", true, "AAAA"},
        {200, "bad\nYmlyZA==\n", false, ""},
        {404, "ok\nYmlyZA==\n", false, ""},
    };
    for (const auto& c : cases) {
        HTTPResponse r = Reply(c.status, c.body);
        std::string payload = "left over";
        EXPECT_EQ(UpdateServerRequest::ReadBuild(r, payload), c.ok) << c.body;
        EXPECT_EQ(payload, c.payload) << c.body;
    }
}

TEST(ServerReply, BuildListKeepsTheFirstEntryAndSkipsShortLines) {
    const struct {
        const char* body;
        Builds expected;
    } cases[] = {
        {"ok\n100;1.0.0\n100;1.0.1\n7\n", {{"100", "1.0.0"}}},
        {"ok\n100;1.0.0\r\n101;1.0.1\r\n", {{"100", "1.0.0"}, {"101", "1.0.1"}}},
        {"ok\n12\n7;\n123\n124;\n", {{"123", ""}, {"124", ""}}},
        {"ok\n;;;\n\r\r\r\n9;x;y\n", {{"9", "x"}}},
        {"ok\n200;2.0.0\n100;1.0.0\n", {{"100", "1.0.0"}, {"200", "2.0.0"}}},
        {"ok\n", {}},
    };
    for (const auto& c : cases) {
        HTTPResponse r = Reply(200, c.body);
        Builds builds{{"stale", "entry"}};
        EXPECT_TRUE(UpdateServerRequest::ReadBuildList(r, builds)) << c.body;
        EXPECT_EQ(builds, c.expected) << c.body;
    }
    HTTPResponse refused = Reply(200, "nope\n100;1.0.0\n");
    Builds builds{{"stale", "entry"}};
    EXPECT_FALSE(UpdateServerRequest::ReadBuildList(refused, builds));
    EXPECT_TRUE(builds.empty());
}

TEST(ServerReply, RecoveryLinesUseHexAndCBaseRules) {
    const struct {
        const char* body;
        bool ok;
        uint32_t serial;
        uint32_t build;
    } cases[] = {
        {"ok\n40F5849A\n0x10\n", true, 0x40F5849A, 16},
        {"ok\n0x40F5849A\n010\n", true, 0x40F5849A, 8},
        {"ok\n40f5849a\n123\n", true, 0x40F5849A, 123},
        {"ok\r\nD272031D\r\n99\r\n", true, 0xD272031D, 99},
        {"ok\n12345678\n", true, 0x12345678, 77},
        {"ok\n", true, 55, 77},
        {"no\n12345678\n5\n", false, 55, 77},
    };
    for (const auto& c : cases) {
        HTTPResponse r = Reply(200, c.body);
        uint32_t serial = 55, build = 77;
        EXPECT_EQ(UpdateServerRequest::ReadRecoveryInfo(r, &serial, &build), c.ok) << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
}

TEST(ServerReply, ToleratesNulBytesInTheBody) {
    HTTPResponse r = Reply(200, std::string("ok\n1\0x\n2;v\n", 11));
    Builds builds;
    EXPECT_TRUE(UpdateServerRequest::ReadBuildList(r, builds));
    EXPECT_TRUE(builds.empty()); // the body ends, as text, at the NUL
}

TEST(RequestUrl, ListsParametersInKeyOrderEachEndedByAmpersand) {
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"op", "hi"}, {"rv", "2"}}),
              "http://h/cgi/u?op=hi&rv=2&");
    EXPECT_EQ(HTTPRequest::BuildURL("b", {{"sn", "1"}, {"bld", "2"}, {"op", "x"}, {"Z", "u v"}}),
              "b?Z=u v&bld=2&op=x&sn=1&");
    EXPECT_EQ(HTTPRequest::BuildURL(nullptr, {{"a", ""}}), "?a=&");
}

// The operations against the simulated server, which logs the raw targets.
class ServerQueries : public ::testing::Test {
  protected:
    void SetUp() override {
        updtest::AddModule(content.path(), "40F5849A", "124", "KSFW-2.9");
        updtest::AddBuild(content.path(), "40F5849A", 123, "1.0.0", "bird\x01\x01 one two three");
        updtest::AddBuild(content.path(), "40F5849A", 124, "1.0.1", "bird\x01\x01 four");
        kstest::WriteFile(content.path() + "/recovery",
                          "00000001 00000002 00000003 00000004 40F5849A 0x10\n");
    }
    TempDir content;
};

TEST_F(ServerQueries, SendExactlyTheseQueryStrings) {
    SimServer server(content.path());
    ASSERT_TRUE(server.running());
    std::string url = server.url();
    std::string build, firmware, payload;
    Builds builds;
    uint32_t fp[4] = {1, 2, 3, 4}, serial = 0, recovery = 0;

    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x40F5849A, build, firmware, url.c_str()));
    EXPECT_EQ(build, "124");
    EXPECT_EQ(firmware, "KSFW-2.9");
    EXPECT_TRUE(
        UpdateServerRequest::GetBuild(0x40F5849A, "KSFW-2.9", "123", payload, url.c_str(), true));
    EXPECT_EQ(payload, "YmlyZAEBIG9uZSB0d28gdGhyZWU=");
    EXPECT_TRUE(
        UpdateServerRequest::GetBuild(0x40F5849A, "KSFW-2.9", "124", payload, url.c_str(), false));
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, url.c_str()));
    EXPECT_EQ(builds, (Builds{{"123", "1.0.0"}, {"124", "1.0.1"}}));
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &recovery, url.c_str()));
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(recovery, 16u);
    // Small serial numbers keep their leading zeros.
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0xA, builds, url.c_str()));

    std::vector<std::string> expected = {
        "/cgi/u?op=hi&rv=2&",
        "/cgi/u?op=qu&sn=40F5849A&",
        "/cgi/u?bld=123&fw=KSFW-2.9&no_cal=true&op=bird&sn=40F5849A&",
        "/cgi/u?bld=124&fw=KSFW-2.9&no_cal=false&op=bird&sn=40F5849A&",
        "/cgi/u?op=builds&sn=40F5849A&",
        "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&",
        "/cgi/u?op=builds&sn=0000000A&",
    };
    EXPECT_EQ(server.Targets(), expected);
}

TEST_F(ServerQueries, EveryOperationFailsOnAnErrorStatus) {
    for (const char* status : {"404", "500"}) {
        SimServer server(content.path(), {"--status", status});
        ASSERT_TRUE(server.running());
        std::string url = server.url();
        std::string build = "b", firmware = "f", payload = "p";
        Builds builds{{"x", "y"}};
        uint32_t fp[4] = {1, 2, 3, 4}, serial = 5, recovery = 6;
        EXPECT_FALSE(UpdateServerRequest::ping(url.c_str())) << status;
        EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x40F5849A, build, firmware, url.c_str()))
            << status;
        EXPECT_FALSE(UpdateServerRequest::GetBuild(0x40F5849A, "KSFW-2.9", "123", payload,
                                                   url.c_str(), false));
        EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, url.c_str())) << status;
        EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &recovery, url.c_str()))
            << status;
        EXPECT_EQ(build, "b");
        EXPECT_EQ(firmware, "f");
        EXPECT_EQ(payload, "");
        EXPECT_TRUE(builds.empty());
        EXPECT_EQ(serial, 5u);
        EXPECT_EQ(recovery, 6u);
        EXPECT_EQ(server.Requests().size(), 5u) << status;
    }
}

TEST_F(ServerQueries, ReadCrLfRepliesAsTheirLinesSay) {
    SimServer server(content.path(), {"--crlf"});
    ASSERT_TRUE(server.running());
    std::string url = server.url();
    std::string build, firmware, payload;
    Builds builds;
    uint32_t fp[4] = {1, 2, 3, 4}, serial = 0, recovery = 0;
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x40F5849A, build, firmware, url.c_str()));
    EXPECT_EQ(build, "124\r");
    EXPECT_EQ(firmware, "KSFW-2.9");
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, url.c_str()));
    EXPECT_EQ(builds, (Builds{{"123", "1.0.0"}, {"124", "1.0.1"}}));
    EXPECT_TRUE(
        UpdateServerRequest::GetBuild(0x40F5849A, "KSFW-2.9", "123", payload, url.c_str(), false));
    EXPECT_EQ(payload, "YmlyZAEBIG9uZSB0d28gdGhyZWU=\r");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &recovery, url.c_str()));
    EXPECT_EQ(recovery, 16u);
}

// Log lines written under DEBUG_ServerComm while f runs.
template <typename F> std::string Logged(F f) {
    FILE* out = std::tmpfile();
    Log::SetOutput(out);
    Log::ActivatePackage(DEBUG_ServerComm);
    f();
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(nullptr);
    std::string text;
    std::rewind(out);
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;)
        text.append(buf, n);
    std::fclose(out);
    return text;
}

TEST_F(ServerQueries, LogWhatTheyAskAndWhyTheyFail) {
    SimServer ok(content.path());
    SimServer notFound(content.path(), {"--status", "404"});
    SimServer notOk(content.path(), {"--first-line", "no"});
    ASSERT_TRUE(ok.running() && notFound.running() && notOk.running());
    std::string a = ok.url(), b = notFound.url(), c = notOk.url();
    std::string build, firmware;

    std::string text = Logged([&] { UpdateServerRequest::ping(a.c_str()); });
    EXPECT_NE(text.find("GET(" + a + "?op=hi&rv=2&)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("rcv_data called (..., 1, 3, "), std::string::npos) << text;
    EXPECT_NE(text.find(std::string(97, ' ') + "ok\n]\n"), std::string::npos) << text; // %100.100s
    EXPECT_NE(text.find("rcv_data returns 3\n"), std::string::npos) << text;

    text = Logged([&] { UpdateServerRequest::ping(b.c_str()); });
    EXPECT_NE(text.find("PING ==> [404] [error forced status 404\n]\n"), std::string::npos) << text;
    text = Logged([&] { UpdateServerRequest::QueryBuild(1, build, firmware, b.c_str()); });
    EXPECT_NE(text.find("QueryBuild ==> [404] [error forced status 404\n]\n"), std::string::npos)
        << text;
    text = Logged([&] { UpdateServerRequest::QueryBuild(0x40F5849A, build, firmware, c.c_str()); });
    EXPECT_NE(text.find("ServerCommClass: QueryBuild failed [" + c + "?op=qu&sn=40F5849A&]\n"),
              std::string::npos)
        << text;
    text = Logged([&] { UpdateServerRequest::ping(updtest::ClosedPortUrl().c_str()); });
    EXPECT_NE(text.find("ping ==> [Couldn't connect to server]\n"), std::string::npos) << text;

    Builds builds;
    text = Logged([&] { UpdateServerRequest::GetBuildList(0x40F5849A, builds, a.c_str()); });
    EXPECT_NE(text.find("GetBuildList processing entry: [123;1.0.0]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("GetBuildList [123][1.0.0]\n"), std::string::npos) << text;
    uint32_t fp[4] = {1, 2, 3, 4}, serial = 0, recovery = 0;
    text = Logged([&] { UpdateServerRequest::GetRecoveryInfo(fp, &serial, &recovery, a.c_str()); });
    EXPECT_NE(text.find("GetRecoveryInfo [ok][40F5849A][0x10]\n"), std::string::npos) << text;
}

} // namespace
