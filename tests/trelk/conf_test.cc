#include "trelk/conf.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <vector>

#include "log_capture.h"
#include "temp_dir.h"

namespace {

using trelk::config;

std::string addr(in_addr a)
{
    char buf[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

class LoadConfig : public ::testing::Test {
protected:
    bool load(const std::string &json)
    {
        path_ = dir_.write("conf.json", json);
        return load_path(path_);
    }

    bool load_path(const std::string &path)
    {
        path_ = path;
        argv_ = {const_cast<char *>("trelk"), path_.data(), const_cast<char *>("/bin/sh"),
                 const_cast<char *>("-c"), const_cast<char *>("exit 3"), nullptr};
        return trelk::load_config(5, argv_.data(), &conf_);
    }

    Temp_Dir dir_;
    std::string path_;
    std::vector<char *> argv_;
    config conf_;
    Log_Capture log_;
};

const char *minimal = R"({"bind_dirs": {}, "target": "/srv/root", "pidfile": "/run/c.pid"})";

TEST_F(LoadConfig, MinimalFileFillsRecordWithoutNetwork)
{
    ASSERT_TRUE(load(minimal)) << log_.text();
    EXPECT_EQ(conf_.target, "/srv/root");
    EXPECT_EQ(conf_.pidfile, "/run/c.pid");
    EXPECT_TRUE(conf_.bind_dirs.empty());
    EXPECT_EQ(conf_.network, nullptr);
    EXPECT_EQ(log_.text(), "");
}

TEST_F(LoadConfig, CommandIsTheArgumentVectorFromTheThirdEntry)
{
    ASSERT_TRUE(load(minimal));
    ASSERT_EQ(conf_.command, const_cast<const char **>(argv_.data() + 2));
    EXPECT_STREQ(conf_.command[0], "/bin/sh");
    EXPECT_STREQ(conf_.command[2], "exit 3");
    EXPECT_EQ(conf_.command[3], nullptr);
}

TEST_F(LoadConfig, BindDirsAreOrderedBytewiseBySource)
{
    ASSERT_TRUE(load(R"({"target": "/t", "pidfile": "/p", "extra": [1, 2.5, true, null],
        "bind_dirs": {"/src/b": "/x", "/src/a": "/y", "/src/B": "/z", "/src/\u00e9": "/w"}})"));
    std::vector<std::string> sources;
    for (const auto &d : conf_.bind_dirs)
        sources.push_back(d.first);
    EXPECT_EQ(sources, (std::vector<std::string>{"/src/B", "/src/a", "/src/b", "/src/\xc3\xa9"}));
    EXPECT_EQ(conf_.bind_dirs["/src/a"], "/y");
}

TEST_F(LoadConfig, NetObjectFillsTheDeviceRecord)
{
    ASSERT_TRUE(load(R"({"bind_dirs": {}, "target": "/t", "pidfile": "/p",
        "net": {"name": "eth0", "link": "br0", "ipv4": "10.1.2.3/20 10.1.15.255", "gateway": "10.1.0.1"}})"))
        << log_.text();
    ASSERT_NE(conf_.network, nullptr);
    const trelk::mini_netdev &n = *conf_.network;
    EXPECT_EQ(n.name, "eth0");
    EXPECT_EQ(n.link, "br0");
    EXPECT_EQ(n.mtu, 1500);
    EXPECT_EQ(n.flags, IFF_UP);
    EXPECT_EQ(n.ifindex, 0u);
    EXPECT_EQ(addr(n.ipv4.addr), "10.1.2.3");
    EXPECT_EQ(n.ipv4.prefix, 20);
    EXPECT_EQ(addr(n.ipv4.bcast), "10.1.15.255");
    EXPECT_EQ(addr(n.gateway), "10.1.0.1");
    EXPECT_TRUE(n.host_name.empty());
}

TEST_F(LoadConfig, ZeroGatewayIsAccepted)
{
    ASSERT_TRUE(load(R"({"bind_dirs": {}, "target": "/t", "pidfile": "/p",
        "net": {"name": "e", "link": "", "ipv4": "192.168.1.5", "gateway": "0.0.0.0"}})"));
    EXPECT_EQ(conf_.network->gateway.s_addr, 0u);
    EXPECT_EQ(conf_.network->ipv4.prefix, 24);
}

TEST_F(LoadConfig, TooFewArgumentsOrNoRecord)
{
    char *argv[] = {const_cast<char *>("trelk"), const_cast<char *>("/nonexistent"), nullptr};
    EXPECT_FALSE(trelk::load_config(2, argv, &conf_));
    char *argv3[] = {argv[0], argv[1], argv[0], nullptr};
    EXPECT_FALSE(trelk::load_config(3, argv3, nullptr));
    EXPECT_EQ(log_.text(), "Invalid argument on load_config\nInvalid argument on load_config\n");
}

TEST_F(LoadConfig, UnreadableFileIsReportedWithItsPath)
{
    EXPECT_FALSE(load_path(dir_.file("missing.json")));
    EXPECT_NE(log_.text().find("missing.json"), std::string::npos) << log_.text();
    EXPECT_NE(log_.text().find("No such file or directory"), std::string::npos) << log_.text();
}

TEST_F(LoadConfig, SyntaxErrorIsReportedWithLineAndColumn)
{
    EXPECT_FALSE(load("{\n  \"target\": \"/t\",\n  oops\n}"));
    EXPECT_NE(log_.text().find("line 3, column 3"), std::string::npos) << log_.text();
}

struct Bad_Case {
    const char *json;
    const char *message;
};

void PrintTo(const Bad_Case &c, std::ostream *os) { *os << c.json; }

class LoadConfigFails : public LoadConfig, public ::testing::WithParamInterface<Bad_Case> {};

TEST_P(LoadConfigFails, WithMessage)
{
    EXPECT_FALSE(load(GetParam().json));
    EXPECT_NE(log_.text().find(GetParam().message), std::string::npos) << log_.text();
    EXPECT_EQ(log_.text().back(), '\n');
}

constexpr const char *exception_msg = "Exception catch on load_config, error='";

#define NET(body) R"({"bind_dirs": {}, "target": "/t", "pidfile": "/p", "net": )" body "}"

INSTANTIATE_TEST_SUITE_P(
    Table, LoadConfigFails,
    ::testing::Values(
        Bad_Case{R"(["not", "an", "object"])", exception_msg},
        Bad_Case{R"({"target": "/t", "pidfile": "/p"})", exception_msg},
        Bad_Case{R"({"bind_dirs": "/src", "target": "/t", "pidfile": "/p"})", exception_msg},
        Bad_Case{R"({"bind_dirs": {"/src": 5}, "target": "/t", "pidfile": "/p"})", exception_msg},
        Bad_Case{R"({"bind_dirs": {}, "pidfile": "/p"})", exception_msg},
        Bad_Case{R"({"bind_dirs": {}, "target": 7, "pidfile": "/p"})", exception_msg},
        Bad_Case{R"({"bind_dirs": {}, "target": "/t"})", exception_msg},
        Bad_Case{R"({"bind_dirs": {}, "target": "/t", "pidfile": null})", exception_msg},
        Bad_Case{NET("{}"), "error='member 'name' is missing'"},
        Bad_Case{NET(R"({"name": "e", "ipv4": "10.0.0.2", "gateway": "10.0.0.1"})"), "member 'link' is missing"},
        Bad_Case{NET(R"({"name": "e", "link": "b", "gateway": "10.0.0.1"})"), "member 'ipv4' is missing"},
        Bad_Case{NET(R"({"name": "e", "link": "b", "ipv4": "10.0.0.2"})"), "member 'gateway' is missing"},
        Bad_Case{NET(R"({"name": 1, "link": "b", "ipv4": "10.0.0.2", "gateway": "10.0.0.1"})"), exception_msg},
        Bad_Case{NET(R"({"name": "e", "link": "b", "ipv4": ["10.0.0.2"], "gateway": "1.1.1.1"})"), exception_msg},
        Bad_Case{NET(R"("br0")"), "member 'net' is string, expected object"},
        Bad_Case{NET(R"({"name": "e", "link": "b", "ipv4": "10.0.2/8", "gateway": "10.0.0.1"})"),
                 "Failed to inet_pton with '10.0.2'\n"},
        Bad_Case{NET(R"({"name": "e", "link": "b", "ipv4": "10.0.0.2/8 10.0.0", "gateway": "10.0.0.1"})"),
                 "Failed to inet_pton with '10.0.0'\n"},
        Bad_Case{NET(R"({"name": "e", "link": "b", "ipv4": "10.0.0.2", "gateway": "gw"})"),
                 "Failed to inet_pton with 'gw'\n"},
        Bad_Case{NET(R"({"name": "e", "link": "b", "ipv4": "10.0.0.2/257", "gateway": "10.0.0.1"})"),
                 "Invalid prefix length in '10.0.0.2/257'\n"},
        Bad_Case{NET(R"({"name": "e", "link": "b", "ipv4": "10.0.0.2/33", "gateway": "10.0.0.1"})"),
                 "Invalid prefix length in '10.0.0.2/33'\n"},
        Bad_Case{NET(R"({"name": "e", "link": "b", "ipv4": "10.0.0.2/24x", "gateway": "10.0.0.1"})"),
                 "Invalid prefix length in '10.0.0.2/24x'\n"},
        Bad_Case{NET(R"({"name": "e", "link": "b", "ipv4": "10.0.0.2/x", "gateway": "10.0.0.1"})"),
                 "Invalid prefix length in"},
        Bad_Case{NET(R"({"name": "e", "link": "b", "ipv4": "10.0.0.2/-1", "gateway": "10.0.0.1"})"),
                 "Invalid prefix length in"},
        Bad_Case{NET(R"({"name": "e\u0000x", "link": "b", "ipv4": "10.0.0.2", "gateway": "10.0.0.1"})"),
                 "member 'name' contains a NUL character"},
        Bad_Case{R"({"bind_dirs": {}, "target": "/t\u0000/x", "pidfile": "/p"})",
                 "member 'target' contains a NUL character"},
        Bad_Case{R"({"bind_dirs": {}, "target": "/t", "pidfile": "/p\u0000"})",
                 "member 'pidfile' contains a NUL character"},
        Bad_Case{R"({"bind_dirs": {"/s\u0000rc": "/d"}, "target": "/t", "pidfile": "/p"})",
                 "bind source contains a NUL character"},
        Bad_Case{R"({"bind_dirs": {"/src": "/d\u0000"}, "target": "/t", "pidfile": "/p"})",
                 "bind destination contains a NUL character"},
        Bad_Case{R"({"bind_dirs": {"/src": "/../outside"}, "target": "/t", "pidfile": "/p"})",
                 "bind destination '/../outside' leaves the target"},
        Bad_Case{R"({"bind_dirs": {"/src": "a/b/.."}, "target": "/t", "pidfile": "/p"})",
                 "leaves the target"}));

struct Ipv4_Case {
    const char *text;
    const char *addr;
    int prefix;
    const char *bcast;
};

void PrintTo(const Ipv4_Case &c, std::ostream *os) { *os << c.text; }

class Ipv4Forms : public ::testing::TestWithParam<Ipv4_Case> {};

TEST_P(Ipv4Forms, SplitIntoAddressPrefixAndBroadcast)
{
    trelk::inetdev d;
    ASSERT_EQ(trelk::config_network_ipv4(GetParam().text, &d), 0);
    EXPECT_EQ(addr(d.addr), GetParam().addr);
    EXPECT_EQ(d.prefix, GetParam().prefix);
    EXPECT_EQ(addr(d.bcast), GetParam().bcast);
}

INSTANTIATE_TEST_SUITE_P(Table, Ipv4Forms,
                         ::testing::Values(Ipv4_Case{"10.1.2.3", "10.1.2.3", 8, "0.0.0.0"},
                                           Ipv4_Case{"127.255.0.1", "127.255.0.1", 8, "0.0.0.0"},
                                           Ipv4_Case{"172.16.0.5", "172.16.0.5", 16, "0.0.0.0"},
                                           Ipv4_Case{"191.0.0.1", "191.0.0.1", 16, "0.0.0.0"},
                                           Ipv4_Case{"192.168.1.5", "192.168.1.5", 24, "0.0.0.0"},
                                           Ipv4_Case{"223.1.1.1", "223.1.1.1", 24, "0.0.0.0"},
                                           Ipv4_Case{"224.0.0.1", "224.0.0.1", 0, "0.0.0.0"},
                                           Ipv4_Case{"10.1.2.3/20 10.1.15.255", "10.1.2.3", 20, "10.1.15.255"},
                                           Ipv4_Case{"10.1.2.3/", "10.1.2.3", 8, "0.0.0.0"},
                                           Ipv4_Case{"10.1.2.3/0", "10.1.2.3", 0, "0.0.0.0"},
                                           Ipv4_Case{"10.1.2.3/32", "10.1.2.3", 32, "0.0.0.0"},
                                           Ipv4_Case{"10.1.2.3/08", "10.1.2.3", 8, "0.0.0.0"}));

TEST(Ipv4Form, BroadcastWithoutPrefixFailsOnTheWholeString)
{
    Log_Capture log;
    trelk::inetdev d;
    EXPECT_EQ(trelk::config_network_ipv4("10.1.2.3 10.1.2.255", &d), -1);
    EXPECT_EQ(log.text(), "Failed to inet_pton with '10.1.2.3 10.1.2.255'\n");
}

}  // namespace
