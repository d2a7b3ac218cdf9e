#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <vector>

#include "kolt/fs.h"
#include "kolt/json.h"
#include "kolt/path.h"
#include "kolt/rand.h"
#include "log_capture.h"
#include "support/extract.h"
#include "temp_dir.h"

namespace {

std::string join(const std::string &base, const std::string &component, bool expand = false)
{
    kolt::Path_T<char> p('/', expand);
    p = base;
    p << Basic_String_Arg<char>(component);
    return p.c_str();
}

TEST(PathT, JoinsWithExactlyOneSeparator)
{
    EXPECT_EQ(join("/srv/root", "data"), "/srv/root/data");
    EXPECT_EQ(join("/srv/root", "/data"), "/srv/root/data");
    EXPECT_EQ(join("/srv/root/", "/data/x"), "/srv/root/data/x");
    EXPECT_EQ(join("/srv/root//", "//data/"), "/srv/root/data/");
    EXPECT_EQ(join("/", "data"), "/data");
    EXPECT_EQ(join("", "data"), "data");
    EXPECT_EQ(join("rel", "x/y"), "rel/x/y");
}

TEST(PathT, EmptyOrSeparatorOnlyComponentLeavesPath)
{
    EXPECT_EQ(join("/srv/root", ""), "/srv/root");
    EXPECT_EQ(join("/srv/root/", "/"), "/srv/root/");
}

TEST(PathT, ChainsSeveralComponents)
{
    kolt::Path_T<char> p('/', false);
    std::string a = "a", b = "/b/";
    p = std::string("/top");
    p << Basic_String_Arg<char>(a) << Basic_String_Arg<char>(b);
    EXPECT_STREQ(p.c_str(), "/top/a/b/");
}

TEST(PathT, ExpandsEnvironmentOnlyWhenAsked)
{
    setenv("KOLT_TEST_DIR", "/var/x", 1);
    unsetenv("KOLT_TEST_UNSET");
    EXPECT_EQ(join("$KOLT_TEST_DIR", "${KOLT_TEST_DIR}/y", true), "/var/x/var/x/y");
    EXPECT_EQ(join("/a$KOLT_TEST_UNSET", "b$", true), "/a/b$");
    EXPECT_EQ(join("$KOLT_TEST_DIR", "x", false), "$KOLT_TEST_DIR/x");
}

class MkdirP : public ::testing::Test {
protected:
    void SetUp() override { old_ = umask(0); }
    void TearDown() override { umask(old_); }

    static mode_t mode_of(const std::string &path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
    }

    Temp_Dir dir_;
    mode_t old_ = 0;
};

TEST_F(MkdirP, CreatesMissingParentsWithMode)
{
    std::vector<std::string> made;
    auto record = [&made](const char *p) {
        made.push_back(p);
        return true;
    };
    ASSERT_EQ(mkdir_p(dir_.file("a/b//c/").c_str(), 0750, record), 0);
    EXPECT_TRUE(S_ISDIR(mode_of(dir_.file("a/b/c"))));
    EXPECT_EQ(mode_of(dir_.file("a")) & 07777, 0750u);
    EXPECT_EQ(mode_of(dir_.file("a/b/c")) & 07777, 0750u);
    EXPECT_EQ(made, (std::vector<std::string>{dir_.file("a"), dir_.file("a/b"), dir_.file("a/b//c")}));
}

TEST_F(MkdirP, ExistingDirectoryIsSuccess)
{
    EXPECT_EQ(mkdir_p(dir_.path().c_str(), 0700, {}), 0);
    EXPECT_EQ(mkdir_p("/", 0700, {}), 0);
}

TEST_F(MkdirP, FileInThePathFails)
{
    dir_.write("f", "");
    errno = 0;
    EXPECT_NE(mkdir_p(dir_.file("f").c_str(), 0700, {}), 0);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_NE(mkdir_p(dir_.file("f/sub").c_str(), 0700, {}), 0);
    EXPECT_NE(mkdir_p("", 0700, {}), 0);
}

TEST_F(MkdirP, CallbackCanVeto)
{
    EXPECT_NE(mkdir_p(dir_.file("v/w").c_str(), 0700, [](const char *) { return false; }), 0);
    EXPECT_FALSE(S_ISDIR(mode_of(dir_.file("v/w"))));
}

TEST(RandChar, StaysInsideTheRequestedSets)
{
    std::set<char> seen;
    for (int i = 0; i < 4000; ++i) {
        char c = kolt::rand_char(kolt::RCS_NUM_UPPER);
        ASSERT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) << int(c);
        seen.insert(c);
    }
    // 4000 draws over 36 characters miss one with probability below 1e-40.
    EXPECT_EQ(seen.size(), 36u);
    for (int i = 0; i < 200; ++i) {
        char c = kolt::rand_char(kolt::RCS_LOWER);
        ASSERT_TRUE(c >= 'a' && c <= 'z');
    }
    EXPECT_EQ(kolt::rand_char(0), '\0');
}

TEST(JsonValue, TypeMismatchThrowsStdException)
{
    json_spirit::Value v(std::string("x"));
    EXPECT_EQ(v.get_str(), "x");
    EXPECT_THROW(v.get_obj(), std::exception);
    json_spirit::Value null;
    EXPECT_THROW(null.get_str(), std::runtime_error);
}

TEST(JsonValue, MemberAccessors)
{
    json_spirit::Object o;
    o["s"] = json_spirit::Value(std::string("str"));
    o["n"] = json_spirit::Value(std::int64_t{3});
    o["o"] = json_spirit::Value(json_spirit::Object{});
    EXPECT_EQ(json_spirit::object_get_str_or_throw(o, "s"), "str");
    EXPECT_THROW(json_spirit::object_get_str_or_throw(o, "n"), std::exception);
    EXPECT_THROW(json_spirit::object_get_str_or_throw(o, "missing"), std::exception);
    EXPECT_NE(json_spirit::object_get_object(o, "o"), nullptr);
    EXPECT_EQ(json_spirit::object_get_object(o, "missing"), nullptr);
    EXPECT_THROW(json_spirit::object_get_object(o, "s"), std::exception);

    std::string out = "kept";
    json_spirit::object_get(o, "missing", out);
    EXPECT_EQ(out, "kept");
    extract_or_throw(o)("s", out, false)("missing", out, false);
    EXPECT_EQ(out, "str");
    EXPECT_THROW(extract_or_throw(o)("missing", out, true), std::exception);
}

TEST(LoadJson, ParsesAllValueKindsWithSortedObjects)
{
    Temp_Dir dir;
    json_spirit::Value v;
    ASSERT_TRUE(load_json(dir.write("a.json", R"({"z": [1, -2, 2.5, true, null, 18446744073709551615],
                                                  "Z": {"k": "v"}, "a": "x"})").c_str(), v, 1));
    const json_spirit::Object &o = v.get_obj();
    std::vector<std::string> keys;
    for (const auto &m : o)
        keys.push_back(m.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"Z", "a", "z"}));
    const json_spirit::Array &a = o.at("z").get_array();
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(a[0].get_int64(), 1);
    EXPECT_EQ(a[1].get_int64(), -2);
    EXPECT_EQ(a[2].get_real(), 2.5);
    EXPECT_TRUE(a[3].get_bool());
    EXPECT_TRUE(a[4].is_null());
    EXPECT_EQ(a[5].type(), json_spirit::real_type);
    EXPECT_EQ(o.at("Z").get_obj().at("k").get_str(), "v");
}

TEST(LoadJson, FailuresAreLoggedOnlyWhenAsked)
{
    Temp_Dir dir;
    Log_Capture log;
    json_spirit::Value v;
    const std::string bad = dir.write("bad.json", "{\"a\": 1,\n\"b\" 2}");
    EXPECT_FALSE(load_json(bad.c_str(), v, 0));
    EXPECT_EQ(log.text(), "");
    EXPECT_FALSE(load_json(bad.c_str(), v, 1));
    EXPECT_NE(log.text().find("line 2, column 5"), std::string::npos) << log.text();
    EXPECT_FALSE(load_json(dir.file("none.json").c_str(), v, 1));
    const std::string expected = "none.json, errno=" + std::to_string(ENOENT) + ", " + strerror(ENOENT) + "\n";
    EXPECT_NE(log.text().find(expected), std::string::npos) << log.text();
}

// Limits of a configuration file: size 1 MiB, nesting 256 levels. Each case
// is loaded with logging on; a refusal must say why.
TEST(LoadJson, SizeAndNestingLimits)
{
    const size_t limit = 1024 * 1024;
    auto arrays = [](size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    auto objects = [](size_t levels) {
        std::string text;
        for (size_t i = 0; i < levels; ++i)
            text += "{\"k\":";
        return text + "0" + std::string(levels, '}');
    };
    struct Case {
        std::string text;
        bool ok;
        const char *why;
    };
    const Case cases[] = {
        {"\"" + std::string(limit - 2, 'a') + "\"", true, ""},
        {"\"" + std::string(limit - 1, 'a') + "\"", false, "larger than 1048576 bytes"},
        {arrays(256), true, ""},
        {arrays(257), false, "nesting deeper than 256 levels"},
        {objects(256), true, ""},
        {objects(257), false, "nesting deeper than 256 levels"},
        {std::string(30000, '['), false, "nesting deeper than 256 levels"},
    };
    Temp_Dir dir;
    for (const Case &c : cases) {
        Log_Capture log;
        json_spirit::Value v;
        const std::string path = dir.write("limit.json", c.text);
        EXPECT_EQ(load_json(path.c_str(), v, 1), c.ok) << c.text.substr(0, 40) << " " << log.text();
        EXPECT_NE(log.text().find(c.why), std::string::npos) << log.text();
    }
}

}  // namespace
