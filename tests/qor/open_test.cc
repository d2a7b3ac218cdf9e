// Opening media: argument checks, the errno of each failure, and media ids
// that follow the image's content.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "media_fixture.h"
#include "qor.h"

using namespace qor_test;

namespace {

const Image_recipe k_lz4{"lz4", "mksquashfs", "-comp lz4"};

class Open : public testing::Test {
protected:
	void SetUp() override
	{
		qor_c_init();
		src_ = tmp_.path() + "/src";
		mkdir(src_.c_str(), 0755);
		build_tree(src_);
		media_ = tmp_.path() + "/media";
		pack(k_lz4, src_, media_ + "/minor/1.sqfs");
	}
	void TearDown() override { qor_c_fini(); }

	int open(const char *minor, uint32_t seq = 1) { return qor_open_media(media_.c_str(), minor, seq); }
	static void expect_error(int rc, int err, const char *what)
	{
		EXPECT_EQ(rc, -1) << what;
		EXPECT_EQ(errno, err) << what << ": " << strerror(errno);
	}

	Temp_dir tmp_;
	std::string src_, media_;
};

TEST_F(Open, EachBadArgumentOrImageFailsWithItsOwnErrno)
{
	expect_error(qor_open_media(nullptr, "minor", 1), EFAULT, "null directory");
	expect_error(qor_open_media(media_.c_str(), nullptr, 1), EFAULT, "null minor id");
	expect_error(qor_open_media("", "minor", 1), ENOENT, "empty directory");
	expect_error(qor_open_media((tmp_.path() + "/absent").c_str(), "minor", 1), ENOENT, "missing directory");
	expect_error(qor_open_media((src_ + "/text").c_str(), "minor", 1), ENOTDIR, "directory is a file");
	for (const char *minor : {"", ".", "..", "a/b", "/minor", "minor/"})
		expect_error(open(minor), EINVAL, minor);
	expect_error(open(std::string(256, 'm').c_str()), ENAMETOOLONG, "long minor id");
	expect_error(open("minor", 2), ENOMEDIUM, "missing image");
	expect_error(open("other"), ENOMEDIUM, "missing minor directory");

	run("mkdir -p " + quote(media_ + "/bad/3.sqfs"));
	expect_error(open("bad", 3), EISDIR, "image is a directory");
	write_file(media_ + "/bad/1.sqfs", pattern(100000, 1, true));
	expect_error(open("bad", 1), EMEDIUMTYPE, "not SquashFS");
	write_file(media_ + "/bad/2.sqfs", pattern(10, 1, true));
	expect_error(open("bad", 2), EMEDIUMTYPE, "shorter than a superblock");
	write_file(media_ + "/bad/4.sqfs", {});
	expect_error(open("bad", 4), EMEDIUMTYPE, "empty file");

	pack({"lzo", "mksquashfs", "-comp lzo"}, src_, media_ + "/lzo/1.sqfs");
	expect_error(open("lzo"), EOPNOTSUPP, "lzo compressor");

	int id = open("minor");
	ASSERT_GE(id, 0) << "the good medium beside them opens";
	EXPECT_EQ(qor_close_media(id), 0);
}

TEST_F(Open, SeqIsDecimalInTheImageName)
{
	run("mkdir -p " + quote(media_ + "/m") + " && cp " + quote(media_ + "/minor/1.sqfs") + " " +
	    quote(media_ + "/m/4294967295.sqfs"));
	int id = qor_open_media(media_.c_str(), "m", 4294967295u);
	ASSERT_GE(id, 0) << strerror(errno);
	qor_close_media(id);
}

TEST_F(Open, ReopeningCountsReferences)
{
	int a = open("minor"), b = open("minor");
	ASSERT_GE(a, 0);
	EXPECT_EQ(a, b);
	qor_stat_t st;
	EXPECT_EQ(qor_close_media(a), 0);
	EXPECT_EQ(qor_stat(a, "/text", &st), 0) << "one reference is left";
	EXPECT_EQ(qor_close_media(a), 0);
	expect_error(qor_stat(a, "/text", &st), EBADF, "closed medium");
	expect_error(qor_close_media(a), EBADF, "closing twice");
	uint64_t bytes = 1, files = 1;
	expect_error(qor_media_stat(a, &bytes, &files), EBADF, "totals of a closed medium");
}

TEST_F(Open, TheSameImageGetsTheSameIdInEveryProcess)
{
	int here = open("minor");
	ASSERT_GE(here, 0);
	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		// A fresh library state stands for a restarted server.
		qor_c_fini();
		qor_c_init();
		int id = open("minor");
		_exit(write(fds[1], &id, sizeof(id)) == sizeof(id) ? 0 : 1);
	}
	close(fds[1]);
	int there = -2;
	ASSERT_EQ(read(fds[0], &there, sizeof(there)), ssize_t(sizeof(there)));
	close(fds[0]);
	int status;
	ASSERT_EQ(waitpid(child, &status, 0), child);
	EXPECT_EQ(here, there);

	EXPECT_EQ(qor_close_media(here), 0);
	EXPECT_EQ(open("minor"), here) << "and again after closing";
}

TEST_F(Open, AnotherImageGetsAnotherIdAndHandlesDoNotCross)
{
	run("mkdir -p " + quote(media_ + "/copy") + " && cp " + quote(media_ + "/minor/1.sqfs") + " " +
	    quote(media_ + "/copy/1.sqfs"));
	int a = open("minor"), b = open("copy");
	ASSERT_GE(a, 0);
	ASSERT_GE(b, 0);
	EXPECT_NE(a, b);
	qor_file_handle fa, fb;
	ASSERT_EQ(qor_name_to_handle(a, "/text", &fa), 0);
	ASSERT_EQ(qor_name_to_handle(b, "/text", &fb), 0);
	EXPECT_EQ(fa.media_id, a);
	EXPECT_EQ(fb.media_id, b);
	EXPECT_EQ(fa.id, fb.id);
	EXPECT_EQ(qor_close_media(b), 0);
	int fd = qor_open_by_handle(&fb);
	expect_error(fd, ESTALE, "handle of a closed medium");
	fd = qor_open_by_handle(&fa);
	EXPECT_GE(fd, 0);
	qor_close(fd);
}

TEST_F(Open, AReplacedImageMakesOldHandlesStale)
{
	int old_id = open("minor");
	ASSERT_GE(old_id, 0);
	qor_file_handle file, dir;
	ASSERT_EQ(qor_name_to_handle(old_id, "/text", &file), 0);
	ASSERT_EQ(qor_name_to_handle(old_id, "/dir", &dir), 0);
	int still_open = qor_open_by_handle(&file);
	ASSERT_GE(still_open, 0);
	ASSERT_EQ(qor_close_media(old_id), 0);

	// The same tree with one more file renumbers the inodes.
	write_file(src_ + "/aaa_new", pattern(10, 5, true));
	pack(k_lz4, src_, media_ + "/minor/new.tmp");
	ASSERT_EQ(rename((media_ + "/minor/new.tmp").c_str(), (media_ + "/minor/1.sqfs").c_str()), 0);
	int new_id = open("minor");
	ASSERT_GE(new_id, 0);
	EXPECT_NE(new_id, old_id);
	expect_error(qor_open_by_handle(&file), ESTALE, "old file handle");
	expect_error(qor_open_dir_by_handle(&dir), ESTALE, "old directory handle");

	// A descriptor opened before keeps reading the image it was opened on.
	std::vector<uint8_t> expected = read_file(src_ + "/text");
	std::vector<uint8_t> buf(expected.size());
	EXPECT_EQ(qor_pread(still_open, buf.data(), buf.size(), 0), int64_t(buf.size()));
	EXPECT_EQ(buf, expected);
	qor_close(still_open);
	qor_close_media(new_id);
}

TEST_F(Open, FiniClosesEverything)
{
	int id = open("minor");
	qor_file_handle fh;
	ASSERT_EQ(qor_name_to_handle(id, "/text", &fh), 0);
	int fd = qor_open_by_handle(&fh);
	ASSERT_GE(fd, 0);
	qor_c_fini();
	qor_stat_t st;
	expect_error(qor_fstat(fd, &st), EBADF, "descriptor after fini");
	expect_error(qor_stat(id, "/", &st), EBADF, "medium after fini");
	qor_c_init();
	EXPECT_EQ(open("minor"), id);
}

} // namespace
