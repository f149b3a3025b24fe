// HTTPRequest::GET against servers that misbehave: refused connections,
// replies that stall, trickle, break off or never end. The limits are
// shortened through the test-only setter so that each case takes seconds.
#include "HTTPRequest.h"
#include "UpdateServerRequest.h"
#include "updateserver_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include <chrono>
#include <stdexcept>
#include <string>

namespace {

using kstest::TempDir;
using updtest::SimServer;
using Clock = std::chrono::steady_clock;

struct Outcome {
    bool threw = false;
    std::string error;
    long status = 0;
    std::string body;
    double seconds = 0;
};

Outcome Get(const std::string& url, std::map<std::string, std::string> params) {
    Outcome o;
    auto start = Clock::now();
    try {
        HTTPResponse r = HTTPRequest::GET(url.c_str(), params);
        o.status = r.get_status();
        o.body = r.get_response();
    } catch (const std::runtime_error& e) {
        o.threw = true;
        o.error = e.what();
    }
    o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return o;
}

class Transfers : public ::testing::Test {
  protected:
    void SetUp() override {
        saved = HTTPRequest::limits();
        HTTPRequest::Limits quick = saved;
        quick.connectTimeoutMs = 2000;
        quick.lowSpeedBytes = 1;
        quick.lowSpeedSeconds = 1;
        HTTPRequest::set_limits_for_testing(quick);
        updtest::AddModule(content.path(), "40F5849A", "124", "KSFW");
        std::string bird = "bird\x01\x01";
        for (int i = 0; i < 3000; ++i)
            bird += static_cast<char>(i * 13);
        updtest::AddBuild(content.path(), "40F5849A", 124, "1.0.1", bird);
    }
    void TearDown() override { HTTPRequest::set_limits_for_testing(saved); }

    std::map<std::string, std::string> BuildQuery() const {
        return {{"bld", "124"},
                {"fw", "KSFW"},
                {"no_cal", "false"},
                {"op", "bird"},
                {"sn", "40F5849A"}};
    }

    HTTPRequest::Limits saved;
    TempDir content;
};

TEST(TransferLimits, DefaultsGiveUpOnStalledServersOnly) {
    HTTPRequest::Limits l = HTTPRequest::limits();
    EXPECT_EQ(l.connectTimeoutMs, 15000);
    EXPECT_EQ(l.lowSpeedBytes, 1);
    EXPECT_EQ(l.lowSpeedSeconds, 60);
    EXPECT_EQ(l.maxBodyBytes, size_t(256) << 20);
}

TEST_F(Transfers, ReturnsRepliesOfAnyStatus) {
    SimServer server(content.path(), {"--status", "500"});
    ASSERT_TRUE(server.running());
    Outcome o = Get(server.url(), {{"op", "hi"}, {"rv", "2"}});
    EXPECT_FALSE(o.threw) << o.error;
    EXPECT_EQ(o.status, 500);
    EXPECT_EQ(o.body, "error forced status 500\n");
}

TEST_F(Transfers, ThrowsOnARefusedConnection) {
    Outcome o = Get(updtest::ClosedPortUrl(), {{"op", "hi"}});
    EXPECT_TRUE(o.threw);
    EXPECT_EQ(o.error, "Couldn't connect to server");
}

TEST_F(Transfers, GivesUpOnAServerThatNeverAnswers) {
    SimServer server(content.path(), {"--hang"});
    ASSERT_TRUE(server.running());
    Outcome o = Get(server.url(), {{"op", "hi"}, {"rv", "2"}});
    EXPECT_TRUE(o.threw);
    EXPECT_EQ(o.error, "Timeout was reached");
    EXPECT_LT(o.seconds, 10.0);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(Transfers, GivesUpOnAConnectionThatIsNeverAccepted) {
    // A listening socket whose accept queue is full: the kernel drops further
    // connection attempts, so the connection never comes up.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(f);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // Only the connect limit can end this quickly: the stall limit is long.
    HTTPRequest::Limits l = HTTPRequest::limits();
    l.connectTimeoutMs = 500;
    l.lowSpeedSeconds = 30;
    HTTPRequest::set_limits_for_testing(l);
    Outcome o =
        Get("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/cgi/u", {{"op", "hi"}});
    EXPECT_TRUE(o.threw);
    EXPECT_EQ(o.error, "Timeout was reached");
    EXPECT_GE(o.seconds, 0.4);
    EXPECT_LT(o.seconds, 5.0);
    for (int f : fillers)
        close(f);
    close(listener);
}

TEST_F(Transfers, CompletesASlowButLiveTransfer) {
    // About 4 KB in 300-byte pieces every 150 ms: roughly two seconds, longer
    // than the one-second stall limit, yet never below one byte per second.
    SimServer server(content.path(), {"--trickle", "300:150"});
    ASSERT_TRUE(server.running());
    Outcome o = Get(server.url(), BuildQuery());
    ASSERT_FALSE(o.threw) << o.error;
    EXPECT_EQ(o.status, 200);
    EXPECT_EQ(o.body.size(), 3u + (3006 + 2) / 3 * 4 + 1);
    EXPECT_GT(o.seconds, 1.0);
}

TEST_F(Transfers, ReportsAReplyCutOffMidway) {
    SimServer server(content.path(), {"--close-mid-reply"});
    ASSERT_TRUE(server.running());
    Outcome o = Get(server.url(), BuildQuery());
    EXPECT_TRUE(o.threw);
    EXPECT_EQ(o.error, "Transferred a partial file");
}

TEST_F(Transfers, RefusesBodiesOverTheLimit) {
    HTTPRequest::Limits l = HTTPRequest::limits();
    l.maxBodyBytes = 1000;
    HTTPRequest::set_limits_for_testing(l);
    // With and without the length announced in advance; a body at the limit
    // still passes.
    for (const char* mode : {"--crlf", "--chunked"}) {
        SimServer server(content.path(), {mode});
        ASSERT_TRUE(server.running());
        Outcome o = Get(server.url(), BuildQuery());
        EXPECT_TRUE(o.threw) << mode;
        EXPECT_EQ(o.error, "Reply larger than 1000 bytes refused") << mode;
        std::string build, firmware, payload;
        EXPECT_FALSE(UpdateServerRequest::GetBuild(0x40F5849A, "KSFW", "124", payload,
                                                   server.url().c_str(), false));
        EXPECT_TRUE(payload.empty());
        EXPECT_TRUE(
            UpdateServerRequest::QueryBuild(0x40F5849A, build, firmware, server.url().c_str()))
            << mode;
    }
    l.maxBodyBytes = 4012; // "ok\n" + 4008 payload characters + "\n"
    HTTPRequest::set_limits_for_testing(l);
    SimServer server(content.path(), {"--chunked"});
    ASSERT_TRUE(server.running());
    Outcome o = Get(server.url(), BuildQuery());
    EXPECT_FALSE(o.threw) << o.error;
    l.maxBodyBytes = 4011;
    HTTPRequest::set_limits_for_testing(l);
    o = Get(server.url(), BuildQuery());
    EXPECT_TRUE(o.threw);
}

} // namespace
