// The bench file parser: what it accepts and the errors it gives.
#include <gtest/gtest.h>

#include <climits>

#include "modsim/BenchConfig.h"

using modsim::BenchConfig;

TEST(BenchConfig, ParsesModulesTransportsAndFaults) {
    const char* text =
        "# a router with two children\n"
        "bind 10.1.2.3\n"
        "discovery veth1\n"
        "module r serial=40F5849A model=21 address=2 version=2.9.29 build=77 tcp=0 pty usb=yes\n"
        "module c1 serial=1 address=4 router=r uid=1,2,3,ABCDEF01 label=left   # trailing comment\n"
        "module c2 serial=2 address=6 router=r data-wrong=3 sum-off slow-ms=20 "
        "loader-serial=default\n"
        "\n"
        "module n serial=3 node=/tmp/x/keystrand.00000003 version=0x12000003 load-reply=after "
        "no-return\n"
        "module d serial=4 usb busy forward-ms=15 silent=8,20 option-error=20:12 build-reply=5\n";
    BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(modsim::parseBench(text, cfg, err)) << err;
    EXPECT_EQ(cfg.bind, "10.1.2.3");
    EXPECT_EQ(cfg.discovery, "veth1");
    ASSERT_EQ(cfg.modules.size(), 5u);
    const auto& r = cfg.modules[0];
    EXPECT_EQ(r.serial, 0x40F5849Au);
    EXPECT_EQ(r.model, 21);
    EXPECT_EQ(r.version, (2u << 28) | (9u << 24) | 29u);
    EXPECT_EQ(r.build, 77u);
    EXPECT_EQ(r.tcp, "0");
    EXPECT_TRUE(r.pty);
    EXPECT_TRUE(r.usb);
    const auto& c1 = cfg.modules[1];
    EXPECT_EQ(c1.router, "r");
    EXPECT_EQ(c1.uid[3], 0xABCDEF01u);
    EXPECT_EQ(c1.label, "left");
    const auto& c2 = cfg.modules[2];
    EXPECT_EQ(c2.faults.dataWrongCount, 3u);
    EXPECT_TRUE(c2.faults.sumOffByOne);
    EXPECT_EQ(c2.faults.slowMs, 20u);
    EXPECT_TRUE(c2.loaderDefaultSerial);
    const auto& n = cfg.modules[3];
    EXPECT_EQ(n.node, "/tmp/x/keystrand.00000003");
    EXPECT_EQ(n.version, 0x12000003u);
    EXPECT_TRUE(n.loadReplyAfter);
    EXPECT_TRUE(n.faults.noReturnAfterLoad);
    const auto& d = cfg.modules[4];
    EXPECT_TRUE(d.faults.busy);
    EXPECT_EQ(d.forwardMs, 15u);
    EXPECT_EQ(d.faults.silentOptions, (std::vector<uint8_t>{8, 20}));
    EXPECT_EQ(d.faults.optionErrorOption, 20);
    EXPECT_EQ(d.faults.optionErrorCode, 12);
    EXPECT_EQ(d.faults.buildReplyLength, 5);
}

TEST(BenchConfig, DataWrongAlwaysAndClosedPort) {
    BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(modsim::parseBench("module a data-wrong=always closed-port tcp=0\n"
                                   "module b data-wrong=4 closed-port=no\n",
                                   cfg, err))
        << err;
    EXPECT_EQ(cfg.modules[0].faults.dataWrongCount, UINT_MAX);
    EXPECT_TRUE(cfg.modules[0].faults.closedPort);
    EXPECT_EQ(cfg.modules[1].faults.dataWrongCount, 4u);
    EXPECT_FALSE(cfg.modules[1].faults.closedPort);
    EXPECT_FALSE(modsim::parseBench("module c data-wrong=often\n", cfg, err));
}

TEST(BenchConfig, BadInputIsRefusedWithItsLineAndLeavesTheBenchAsItWas) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"module a colour=red\n", "bench line 1: unknown key 'colour'"},
        {"module a\nmodule b serial=XYZ\n", "bench line 2: serial: bad number 'XYZ'"},
        {"module a serial=123456789\n", "bench line 1: serial: bad number"},
        {"module a address=3\n", "module a: address must be even and non-zero"},
        {"module a address=0\n", "module a: address must be even and non-zero"},
        {"module a\nmodule a\n", "module a: name used twice"},
        {"module a router=nobody\n", "router 'nobody' is not on the bench"},
        {"module r\nmodule c router=r tcp=0\n", "a module behind a router has no transport"},
        {"module r\nmodule c router=r address=2\n", "same address as its router"},
        {"module r\nmodule c router=r address=4\nmodule d router=r address=4\n",
         "address used twice behind r"},
        {"module r\nmodule c router=r address=4\nmodule d router=c address=6\n",
         "sits behind a router itself"},
        {"module a version=16.0.0\n", "version: bad number '16'"},
        {"module a version=1.2\n", "version must be MAJOR.MINOR.PATCH"},
        {"module a uid=1,2,3\n", "uid: expected four"},
        {"module a model=300\n", "model: bad number '300' (at most 255)"},
        {"module a model=-1\n", "model: bad number"},
        {"module a sum-off=maybe\n", "sum-off: expected yes or no"},
        {"module a node=relative/path\n", "node: expected an absolute path"},
        {"module a tcp=host:port\n", "tcp: bad number 'port'"},
        {"module\n", "module: expected a name"},
        {"module serial=1\n", "the name comes first"},
        {"bind\n", "bind: expected one argument"},
        {"listen 1.2.3.4\n", "unknown statement 'listen'"},
        {"module a silent=64\n", "silent: bad number '64'"},
        {"module a silent=\n", "silent: expected option numbers"},
        {"module a option-error=20\n", "option-error: expected OPTION:CODE"},
        {"module a option-error=20:0\n", "the code must be non-zero"},
        {"module a build-reply=1\n", "build-reply: at least 2"},
        {"module a build-reply=29\n", "build-reply: bad number '29'"},
        {"module a forward-ms=x\n", "forward-ms: bad number 'x'"},
        {"module a imx=pty rom-link=rom\n", "rom-link: expected an absolute path"},
        {"module a imx=usb rom-link=/tmp/rom\n", "module a: rom-link needs imx=pty"},
        {"modules 0 m usb\n", "modules: the count must be at least 1"},
        {"modules 101 m usb\n", "modules: bad number '101' (at most 100)"},
        {"modules 3\n", "modules: expected a count and a name prefix"},
        {"modules 2 m colour=red\n", "unknown key 'colour'"},
        {"modules 2 m pty\n", "only for modules on TCP/IP or USB of their own"},
        {"module r tcp=0\nmodules 2 m router=r\n", "only for modules on TCP/IP or USB"},
        {"modules 2 m serial=FFFFFFFF usb\n", "the serials would pass FFFFFFFF"},
        {"modules 3 m tcp=65534\n", "the ports would pass 65535"},
        {"module m2\nmodules 2 m usb\n", "module m2: name used twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        BenchConfig cfg;
        cfg.modules.push_back({});
        std::string err;
        EXPECT_FALSE(modsim::parseBench(c.text, cfg, err));
        EXPECT_NE(err.find(c.error), std::string::npos) << err;
        EXPECT_EQ(cfg.modules.size(), 1u);
    }
}

TEST(BenchConfig, ModuleSpecsFromTheCommandLineAddUp) {
    BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(modsim::parseModuleSpec("r serial=A address=2 tcp=127.0.0.1:0", cfg, err)) << err;
    ASSERT_TRUE(modsim::parseModuleSpec("c serial=B address=4 router=r", cfg, err)) << err;
    EXPECT_FALSE(modsim::parseModuleSpec("d serial=C address=4 router=r", cfg, err));
    EXPECT_NE(err.find("address used twice"), std::string::npos) << err;
    EXPECT_FALSE(modsim::parseModuleSpec("e heartbeat-ms=99999", cfg, err));
    EXPECT_EQ(cfg.modules.size(), 2u);
    EXPECT_FALSE(modsim::loadBenchFile("/nonexistent/bench.txt", cfg, err));
    EXPECT_NE(err.find("cannot read bench file /nonexistent/bench.txt"), std::string::npos);
}

TEST(BenchConfig, ModulesStatementMakesAFleetWithSerialsAndPortsCountingUp) {
    BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(modsim::parseBench("modules 3 u serial=4B5300FF usb model=21\n", cfg, err)) << err;
    ASSERT_TRUE(modsim::parseModulesSpec("2 t tcp=10.0.0.1:7000 address=4", cfg, err)) << err;
    ASSERT_TRUE(modsim::parseModulesSpec("2 e tcp=0", cfg, err)) << err;
    ASSERT_EQ(cfg.modules.size(), 7u);
    const char* names[] = {"u1", "u2", "u3", "t1", "t2", "e1", "e2"};
    const uint32_t serials[] = {0x4B5300FF, 0x4B530100, 0x4B530101};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(cfg.modules[i].name, names[i]);
        EXPECT_EQ(cfg.modules[i].usb, i < 3) << names[i];
    }
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(cfg.modules[i].serial, serials[i]);
        EXPECT_EQ(cfg.modules[i].model, 21);
    }
    EXPECT_EQ(cfg.modules[3].tcp, "10.0.0.1:7000");
    EXPECT_EQ(cfg.modules[4].tcp, "10.0.0.1:7001");
    EXPECT_EQ(cfg.modules[4].address, 4);
    EXPECT_EQ(cfg.modules[4].serial, modsim::ModuleConfig{}.serial + 1);
    EXPECT_EQ(cfg.modules[6].tcp, "0");                          // each gets a port of its own
    EXPECT_FALSE(modsim::parseModulesSpec("2 e usb", cfg, err)); // e1 again
    EXPECT_NE(err.find("name used twice"), std::string::npos) << err;
    EXPECT_EQ(cfg.modules.size(), 7u);
}
