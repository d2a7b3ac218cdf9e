// Configuration files as the launcher reads them, hostile ones included.
#include "trelk/conf.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include "kolt/auto_handle.h"
#include "support/auto_closer.h"
#include "support/snprintf_t.h"

namespace {

std::string addr(in_addr a)
{
    char buf[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

std::string conf(const std::string &members) { return R"({"bind_dirs": {}, "target": "/t", "pidfile": "/p")" + members + "}"; }
std::string net(const std::string &members) { return conf(R"(, "net": {"name": "e", "link": "b", )" + members + "}"); }

// The file lives in memory only: nothing is left behind, however the test ends.
class LoadConfig : public ::testing::Test {
protected:
    bool load(const std::string &json)
    {
        if (ftruncate(file_.get(), 0) != 0 || pwrite(file_.get(), json.data(), json.size(), 0) != ssize_t(json.size()))
            return false;
        trelk::config conf;
        return trelk::load_config(4, argv_, &conf);
    }

    Auto_Closer<int, Auto_Handle_Trait> file_{memfd_create("trelk-conf", MFD_CLOEXEC)};
    std::string path_ = "/proc/self/fd/" + std::to_string(file_.get());
    char *argv_[5] = {const_cast<char *>("trelk"), path_.data(), const_cast<char *>("/bin/true"), nullptr};
};

// A file of at most 1 MiB nesting at most 256 levels; every string free of NUL;
// bind destinations inside the target, below its root.
TEST_F(LoadConfig, AcceptsOrRefusesEachFile)
{
    const size_t limit = 1024 * 1024;
    const std::string pad = R"(, "pad": "")";
    const std::string fill(limit - conf(pad).size(), 'a');
    auto bind = [](const std::string &dest) { return R"({"bind_dirs": {"/src": ")" + dest + R"("}, "target": "/t", "pidfile": "/p"})"; };
    auto nested = [](size_t levels) { return ", \"x\": " + std::string(levels, '[') + std::string(levels, ']'); };
    const std::pair<std::string, bool> cases[] = {
        {conf(R"(, "pad": ")" + fill + "\""), true},
        {conf(R"(, "pad": ")" + fill + "a\""), false},
        {conf(nested(255)), true}, {conf(nested(256)), false}, {std::string(30000, '['), false},
        {"{\n  \"target\": \"/t\",\n  oops\n}", false}, {R"(["not", "an", "object"])", false},
        {R"({"bind_dirs": "/src", "target": "/t", "pidfile": "/p"})", false},
        {R"({"bind_dirs": {"/src": 5}, "target": "/t", "pidfile": "/p"})", false},
        {R"({"bind_dirs": {}, "pidfile": "/p"})", false}, {R"({"bind_dirs": {}, "target": "/t"})", false},
        {R"({"bind_dirs": {}, "target": 2.5, "pidfile": "/p"})", false},
        {R"({"bind_dirs": {}, "target": "/t\u0000/x", "pidfile": "/p"})", false},
        {R"({"bind_dirs": {"/s\u0000rc": "/d"}, "target": "/t", "pidfile": "/p"})", false},
        {R"({"bind_dirs": {"/src": "/d\u0000"}, "target": "/t", "pidfile": "/p"})", false},
        {bind("/../outside"), false}, {bind("a/b/.."), false}, {bind("a/..b/c.."), true},
        {bind("/./"), false}, {bind(""), false}, {bind("./a/."), true},
        {conf(R"(, "net": "br0")"), false}, {conf(R"(, "net": {})"), false},
        {net(R"("ipv4": "10.0.0.2", "gateway": "0.0.0.0")"), true},
        {net(R"("gateway": "10.0.0.1")"), false}, {net(R"("ipv4": "10.0.0.2")"), false},
        {net(R"("ipv4": ["10.0.0.2"], "gateway": "10.0.0.1")"), false},
        {net(R"("ipv4": "10.0.0.2", "gateway": "gw")"), false}, {net(R"("ipv4": "10.0.0.2/33", "gateway": "10.0.0.1")"), false},
        {conf(R"(, "net": {"name": "e", "ipv4": "10.0.0.2", "gateway": "10.0.0.1"})"), false},
        {conf(R"(, "net": {"name": "e\u0000x", "link": "b", "ipv4": "10.0.0.2", "gateway": "10.0.0.1"})"), false},
    };
    for (const auto &[json, ok] : cases)
        EXPECT_EQ(load(json), ok) << json.substr(0, 120);
    EXPECT_FALSE(load("")) << "empty file";
    file_.reset(Auto_Handle_Trait::invalid_handle);
    trelk::config conf;
    EXPECT_FALSE(trelk::load_config(4, argv_, &conf));
}

// "A.B.C.D[/PREFIX][ BROADCAST]"; without a prefix the address's class gives it.
TEST(Ipv4Form, SplitsOrRefuses)
{
    const std::pair<std::string, std::string> cases[] = {
        {"10.1.2.3", "10.1.2.3/8 0.0.0.0"},       {"127.255.0.1", "127.255.0.1/8 0.0.0.0"},
        {"128.0.0.1", "128.0.0.1/16 0.0.0.0"},    {"191.0.0.1", "191.0.0.1/16 0.0.0.0"},
        {"192.0.0.5", "192.0.0.5/24 0.0.0.0"},    {"223.1.1.1", "223.1.1.1/24 0.0.0.0"},
        {"224.0.0.1", "224.0.0.1/0 0.0.0.0"},     {"10.1.2.3/20 10.1.15.255", "10.1.2.3/20 10.1.15.255"},
        {"10.1.2.3/", "10.1.2.3/8 0.0.0.0"},      {"10.1.2.3/0", "10.1.2.3/0 0.0.0.0"},
        {"10.1.2.3/32", "10.1.2.3/32 0.0.0.0"},   {"10.1.2.3/08", "10.1.2.3/8 0.0.0.0"},
        {"10.1.2.3/33", ""}, {"10.1.2.3/257", ""}, {"10.1.2.3/24x", ""}, {"10.1.2.3/x", ""}, {"10.1.2.3/-1", ""},
        {"10.1.2/8", ""}, {"10.1.2.3/8 10.1.2", ""}, {"10.1.2.3 10.1.2.255", ""},
    };
    for (const auto &[text, want] : cases) {
        trelk::inetdev d;
        const bool ok = trelk::config_network_ipv4(text, &d) == 0;
        EXPECT_EQ(ok ? addr(d.addr) + "/" + std::to_string(d.prefix) + " " + addr(d.bcast) : "", want) << text;
    }
}

// A text longer than the inline buffer moves to the heap.
TEST(SnprintfT, KeepsTextOfAnyLength)
{
    for (size_t len : {0, 30, 4095, 4096, 9000}) {
        const std::string text(len, 'x');
        snprintf_t<4096, char> s("%s/%d", text.c_str(), 42);
        EXPECT_EQ(std::string(s.data()) + " " + std::to_string(s.length()), text + "/42 " + std::to_string(len + 3));
    }
}

}  // namespace
