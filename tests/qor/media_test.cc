// The media library against images of one source tree made by each tool and
// compressor: every answer is checked against the tree itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <map>
#include <random>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "media_fixture.h"
#include "qor.h"

using namespace qor_test;

namespace {

class Media : public testing::TestWithParam<Image_recipe> {
protected:
	void SetUp() override
	{
		src_ = tmp_.path() + "/src";
		mkdir(src_.c_str(), 0755);
		build_tree(src_);
		image_ = pack(GetParam(), src_, tmp_.path() + "/media/minor/1.sqfs");
		qor_c_init();
		mid_ = qor_open_media((tmp_.path() + "/media").c_str(), "minor", 1);
		ASSERT_GE(mid_, 0) << strerror(errno);
	}
	void TearDown() override
	{
		if (mid_ >= 0) {
			EXPECT_EQ(qor_close_media(mid_), 0);
		}
		qor_c_fini();
	}

	std::string src(const std::string &rel) const { return rel.empty() ? src_ : src_ + "/" + rel; }
	struct stat lstat_of(const std::string &rel) const
	{
		struct stat s{};
		EXPECT_EQ(lstat(src(rel).c_str(), &s), 0) << rel;
		return s;
	}
	qor_file_handle handle_of(const std::string &rel) const
	{
		qor_file_handle fh{};
		EXPECT_EQ(qor_name_to_handle(mid_, ("/" + rel).c_str(), &fh), 0) << rel << ": " << strerror(errno);
		return fh;
	}
	std::vector<std::string> paths_of_type(mode_t type) const
	{
		std::vector<std::string> out;
		for (const std::string &p : walk(src_))
			if ((lstat_of(p).st_mode & S_IFMT) == type)
				out.push_back(p);
		return out;
	}
	static void expect_same_status(const qor_stat_t &q, const struct stat &s, const std::string &what)
	{
		EXPECT_EQ(q.mode, s.st_mode) << what;
		if (S_ISREG(s.st_mode) || S_ISLNK(s.st_mode)) {
			EXPECT_EQ(q.size, s.st_size) << what;
		}
		EXPECT_EQ(q.mtime, s.st_mtime) << what;
		EXPECT_EQ(q.atime, q.mtime) << what;
		EXPECT_EQ(q.ctime, q.mtime) << what;
	}

	Temp_dir tmp_;
	std::string src_, image_;
	int mid_ = -1;
};

struct Fd {
	int fd;
	bool dir;
	~Fd()
	{
		if (fd >= 0)
			dir ? qor_close_dir(fd) : qor_close(fd);
	}
};

TEST_P(Media, StatOfEveryPathMatchesTheSourceTree)
{
	for (const std::string &p : walk(src_)) {
		qor_stat_t q{};
		ASSERT_EQ(qor_stat(mid_, ("/" + p).c_str(), &q), 0) << p << ": " << strerror(errno);
		expect_same_status(q, lstat_of(p), p);
		qor_stat_t relative{};
		ASSERT_EQ(qor_stat(mid_, p.c_str(), &relative), 0) << p;
		EXPECT_EQ(relative.mode, q.mode);
	}
}

TEST_P(Media, HandlesAreInodeNumbersSharedOnlyByHardLinks)
{
	std::map<std::pair<dev_t, ino_t>, int32_t> ids;
	std::set<int32_t> seen;
	for (const std::string &p : walk(src_)) {
		struct stat s = lstat_of(p);
		qor_file_handle fh = handle_of(p);
		EXPECT_EQ(fh.media_id, mid_);
		EXPECT_GE(fh.id, 1) << p;
		EXPECT_EQ(fh.mode, s.st_mode) << p;
		auto key = std::make_pair(s.st_dev, s.st_ino);
		auto it = ids.find(key);
		if (it != ids.end()) {
			EXPECT_EQ(it->second, fh.id) << p << " is a hard link";
		} else {
			EXPECT_TRUE(seen.insert(fh.id).second) << p << " shares id " << fh.id;
			ids.emplace(key, fh.id);
		}
		Fd fd{S_ISDIR(s.st_mode) ? qor_open_dir_by_handle(&fh) : qor_open_by_handle(&fh), S_ISDIR(s.st_mode)};
		ASSERT_GE(fd.fd, 0) << p << ": " << strerror(errno);
		qor_stat_t q{};
		ASSERT_EQ(qor_fstat(fd.fd, &q), 0);
		expect_same_status(q, s, p);
	}
	uint64_t bytes = 0, files = 0;
	ASSERT_EQ(qor_media_stat(mid_, &bytes, &files), 0);
	EXPECT_EQ(files, ids.size());
	struct stat img{};
	ASSERT_EQ(stat(image_.c_str(), &img), 0);
	EXPECT_LE(bytes, uint64_t(img.st_size));
	EXPECT_GT(bytes, uint64_t(img.st_size) - 4096);
}

TEST_P(Media, AtCallsMatchTheSourceTreeAndDotDotNamesTheParent)
{
	for (const std::string &d : paths_of_type(S_IFDIR)) {
		qor_file_handle dh = handle_of(d);
		Fd dir{qor_open_dir_by_handle(&dh), true};
		ASSERT_GE(dir.fd, 0) << d;
		qor_stat_t self{};
		ASSERT_EQ(qor_fstat_at(dir.fd, "", &self), 0);
		expect_same_status(self, lstat_of(d), d);
		qor_file_handle same{};
		ASSERT_EQ(qor_name_to_handle_at(dir.fd, "", &same), 0);
		EXPECT_EQ(0, memcmp(&same, &dh, sizeof(dh)));

		DIR *sd = opendir(src(d).c_str());
		ASSERT_NE(sd, nullptr);
		while (struct dirent *e = readdir(sd)) {
			std::string name = e->d_name;
			if (name == "." || name == "..")
				continue;
			std::string rel = d.empty() ? name : d + "/" + name;
			qor_stat_t q{};
			ASSERT_EQ(qor_fstat_at(dir.fd, name.c_str(), &q), 0) << rel;
			expect_same_status(q, lstat_of(rel), rel);
			qor_file_handle fh{}, by_path = handle_of(rel);
			ASSERT_EQ(qor_name_to_handle_at(dir.fd, name.c_str(), &fh), 0) << rel;
			EXPECT_EQ(0, memcmp(&fh, &by_path, sizeof(fh))) << rel;
		}
		closedir(sd);

		qor_stat_t q{};
		qor_file_handle fh{};
		EXPECT_EQ(qor_fstat_at(dir.fd, ".", &q), -1);
		EXPECT_EQ(errno, ENOENT);
		EXPECT_EQ(qor_name_to_handle_at(dir.fd, ".", &fh), -1);
		EXPECT_EQ(errno, ENOENT);
		if (d.empty()) {
			EXPECT_EQ(qor_name_to_handle_at(dir.fd, "..", &fh), -1) << "the root has no parent";
			EXPECT_EQ(errno, ENOENT);
			EXPECT_EQ(qor_fstat_at(dir.fd, "..", &q), -1);
			EXPECT_EQ(errno, ENOENT);
		} else {
			std::string up = d.find('/') == std::string::npos ? "" : d.substr(0, d.rfind('/'));
			qor_file_handle want = handle_of(up);
			ASSERT_EQ(qor_name_to_handle_at(dir.fd, "..", &fh), 0) << d << ": " << strerror(errno);
			EXPECT_EQ(0, memcmp(&fh, &want, sizeof(fh))) << d << "/..";
			ASSERT_EQ(qor_fstat_at(dir.fd, "..", &q), 0) << d;
			expect_same_status(q, lstat_of(up), d + "/..");
		}
		EXPECT_EQ(qor_fstat_at(dir.fd, "sub/deep", &q), -1);
		EXPECT_EQ(errno, EINVAL);
		EXPECT_EQ(qor_name_to_handle_at(dir.fd, std::string(256, 'n').c_str(), &fh), -1);
		EXPECT_EQ(errno, ENAMETOOLONG);
		EXPECT_EQ(qor_fstat_at(dir.fd, "no such entry", &q), -1);
		EXPECT_EQ(errno, ENOENT);
	}
	qor_file_handle file = handle_of("text");
	Fd fd{qor_open_by_handle(&file), false};
	qor_stat_t q{};
	EXPECT_EQ(qor_fstat_at(fd.fd, "x", &q), -1);
	EXPECT_EQ(errno, ENOTDIR);
}

TEST_P(Media, PathsResolveOnlyInsideTheMedium)
{
	qor_stat_t q{};
	qor_file_handle root{}, slash{};
	ASSERT_EQ(qor_name_to_handle(mid_, "", &root), 0);
	ASSERT_EQ(qor_name_to_handle(mid_, "/", &slash), 0);
	EXPECT_EQ(0, memcmp(&root, &slash, sizeof(root)));
	EXPECT_TRUE(S_ISDIR(root.mode));
	ASSERT_EQ(qor_stat(mid_, "//dir///sub/", &q), 0);
	EXPECT_EQ(q.mode, lstat_of("dir/sub").st_mode);

	struct {
		std::string path;
		int err;
	} refused[] = {
		{"/dir/../text", ENOENT},
		{"/./text", ENOENT},
		{"..", ENOENT},
		{"/link/x", ENOTDIR},     // links are never followed
		{"/dir/link_up/", ENOTDIR},
		{"/text/", ENOTDIR},
		{"/text/x", ENOTDIR},
		{"/missing", ENOENT},
		{"/" + std::string(256, 'n'), ENAMETOOLONG},
		{std::string(QOR_PATH_MAX, '/'), ENAMETOOLONG},
	};
	for (const auto &r : refused) {
		EXPECT_EQ(qor_stat(mid_, r.path.c_str(), &q), -1) << r.path;
		EXPECT_EQ(errno, r.err) << r.path;
	}
	EXPECT_EQ(qor_stat(mid_, std::string(QOR_PATH_MAX - 1, '/').c_str(), &q), 0);
	EXPECT_EQ(qor_stat(mid_, nullptr, &q), -1);
	EXPECT_EQ(errno, EFAULT);
	EXPECT_EQ(qor_stat(mid_ ^ 1, "/", &q), -1);
	EXPECT_EQ(errno, EBADF);
}

TEST_P(Media, ListingMatchesTheSourceAndResumesAfterEveryCookie)
{
	for (const std::string &d : paths_of_type(S_IFDIR)) {
		qor_file_handle dh = handle_of(d);
		Fd dir{qor_open_dir_by_handle(&dh), true};
		ASSERT_GE(dir.fd, 0);
		std::vector<std::string> names;
		std::vector<uint64_t> cookies;
		qor_dirent ent{};
		ent.reclen = sizeof(ent);
		int rc;
		while ((rc = qor_read_dir(dir.fd, &ent)) > 0) {
			std::string rel = d.empty() ? ent.name : d + "/" + ent.name;
			expect_same_status(ent.stat, lstat_of(rel), rel);
			EXPECT_GE(ent.cookie, 3u);
			names.push_back(ent.name);
			cookies.push_back(ent.cookie);
		}
		ASSERT_EQ(rc, 0) << strerror(errno);
		EXPECT_EQ(qor_read_dir(dir.fd, &ent), 0) << "end stays the end";

		std::vector<std::string> expected;
		DIR *sd = opendir(src(d).c_str());
		while (struct dirent *e = readdir(sd))
			if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
				expected.push_back(e->d_name);
		closedir(sd);
		std::sort(expected.begin(), expected.end());
		EXPECT_EQ(names, expected) << "entries of /" << d << " in byte order";
		EXPECT_EQ(std::set<uint64_t>(cookies.begin(), cookies.end()).size(), cookies.size());

		for (size_t i = 0; i < cookies.size(); ++i) {
			ASSERT_EQ(qor_seek_dir(dir.fd, cookies[i]), 0);
			rc = qor_read_dir(dir.fd, &ent);
			if (i + 1 == names.size()) {
				EXPECT_EQ(rc, 0);
			} else {
				ASSERT_EQ(rc, 1);
				EXPECT_EQ(names[i + 1], ent.name);
				EXPECT_EQ(cookies[i + 1], ent.cookie);
			}
		}
		for (uint64_t restart : {0, 1, 2}) {
			ASSERT_EQ(qor_seek_dir(dir.fd, restart), 0);
			rc = qor_read_dir(dir.fd, &ent);
			EXPECT_EQ(rc, names.empty() ? 0 : 1);
			if (rc > 0) {
				EXPECT_EQ(names[0], ent.name);
			}
		}
		ASSERT_EQ(qor_seek_dir(dir.fd, UINT64_MAX), 0);
		EXPECT_EQ(qor_read_dir(dir.fd, &ent), 0);
		ent.reclen = sizeof(ent) - 1;
		EXPECT_EQ(qor_read_dir(dir.fd, &ent), -1);
		EXPECT_EQ(errno, EINVAL);
	}
}

TEST_P(Media, TwoStreamsOnOneDirectoryKeepTheirOwnPositions)
{
	qor_file_handle dh = handle_of("big");
	Fd a{qor_open_dir_by_handle(&dh), true}, b{qor_open_dir_by_handle(&dh), true};
	ASSERT_GE(a.fd, 0);
	ASSERT_GE(b.fd, 0);
	qor_dirent ea{}, eb{};
	ea.reclen = eb.reclen = sizeof(qor_dirent);
	ASSERT_EQ(qor_read_dir(a.fd, &ea), 1);
	ASSERT_EQ(qor_read_dir(a.fd, &ea), 1);
	ASSERT_EQ(qor_read_dir(b.fd, &eb), 1);
	EXPECT_STREQ(eb.name, "entry-00000");
	EXPECT_STREQ(ea.name, "entry-00001");
	size_t n = 2;
	while (qor_read_dir(a.fd, &ea) > 0)
		++n;
	EXPECT_EQ(n, k_big_dir_entries);
}

TEST_P(Media, ReadlinkGivesTheTargetAndNeverWritesPastTheBuffer)
{
	for (const std::string &l : paths_of_type(S_IFLNK)) {
		char expected[QOR_PATH_MAX];
		ssize_t len = readlink(src(l).c_str(), expected, sizeof(expected));
		ASSERT_GT(len, 0);
		qor_file_handle fh = handle_of(l);
		Fd fd{qor_open_by_handle(&fh), false};
		ASSERT_GE(fd.fd, 0) << l;
		std::vector<char> buf(QOR_PATH_MAX + 1, '#');
		ASSERT_EQ(qor_readlink(fd.fd, buf.data(), QOR_PATH_MAX), len) << l;
		EXPECT_EQ(std::string(buf.data(), len), std::string(expected, len));
		EXPECT_EQ(buf[len], '#');
		std::fill(buf.begin(), buf.end(), '#');
		ASSERT_EQ(qor_readlink(fd.fd, buf.data(), 3), 3) << "truncated to the buffer";
		EXPECT_EQ(std::string(buf.data(), 3), std::string(expected, 3));
		EXPECT_EQ(buf[3], '#');
		char c;
		EXPECT_EQ(qor_pread(fd.fd, &c, 1, 0), -1);
		EXPECT_EQ(errno, EINVAL);
	}
	qor_file_handle fh = handle_of("text");
	Fd fd{qor_open_by_handle(&fh), false};
	char buf[16];
	EXPECT_EQ(qor_readlink(fd.fd, buf, sizeof(buf)), -1);
	EXPECT_EQ(errno, EINVAL);
}

TEST_P(Media, PreadMatchesTheSourceAtEveryBoundary)
{
	const int64_t b = k_block;
	for (const std::string &f : paths_of_type(S_IFREG)) {
		std::vector<uint8_t> data = read_file(src(f));
		const int64_t size = data.size();
		qor_file_handle fh = handle_of(f);
		Fd fd{qor_open_by_handle(&fh), false};
		ASSERT_GE(fd.fd, 0) << f;
		std::set<int64_t> offsets = {0, 1, b - 1, b, b + 1, 2 * b - 1, 2 * b, 3 * b + 5, size - 1, size,
					     size + 1, size + b, size - size % b, size - size % b - 1};
		for (int64_t off : offsets) {
			if (off < 0)
				continue;
			for (int64_t count : {int64_t(1), b - 1, b, b + 1, 3 * b, size + 10}) {
				std::vector<uint8_t> buf(count + 8, 0xa5);
				int64_t expect = std::max<int64_t>(0, std::min(count, size - off));
				ASSERT_EQ(qor_pread(fd.fd, buf.data(), count, off), expect)
					<< f << " at " << off << " count " << count << ": " << strerror(errno);
				EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + expect, data.begin() + off))
					<< f << " at " << off << " count " << count;
				EXPECT_TRUE(std::all_of(buf.begin() + expect, buf.end(), [](uint8_t c) { return c == 0xa5; }));
			}
		}
		for (size_t chunk : {size_t(1000), size_t(65536)}) {
			std::vector<uint8_t> all;
			std::vector<uint8_t> buf(chunk);
			int64_t n;
			while ((n = qor_pread(fd.fd, buf.data(), chunk, all.size())) > 0)
				all.insert(all.end(), buf.begin(), buf.begin() + n);
			ASSERT_EQ(n, 0);
			EXPECT_EQ(all, data) << f << " in chunks of " << chunk;
		}
		char c;
		EXPECT_EQ(qor_pread(fd.fd, &c, 1, INT64_MAX), 0);
		EXPECT_EQ(qor_pread(fd.fd, &c, 1, -1), -1);
		EXPECT_EQ(errno, EINVAL);
	}
}

TEST_P(Media, SeveralThreadsReadOneDescriptor)
{
	for (const char *f : {"noise", "mixed_100k", "sparse"}) {
		std::vector<uint8_t> data = read_file(src(f));
		qor_file_handle fh = handle_of(f);
		Fd fd{qor_open_by_handle(&fh), false};
		ASSERT_GE(fd.fd, 0);
		std::atomic<int> mismatches{0};
		std::vector<std::thread> threads;
		for (unsigned t = 0; t < 4; ++t)
			threads.emplace_back([&, t] {
				std::mt19937 rng(t);
				std::vector<uint8_t> buf(3 * k_block);
				for (int i = 0; i < 1500; ++i) {
					size_t off = rng() % data.size();
					size_t len = 1 + rng() % buf.size();
					int64_t n = qor_pread(fd.fd, buf.data(), len, off);
					size_t expect = std::min(len, data.size() - off);
					if (n != int64_t(expect) || !std::equal(buf.begin(), buf.begin() + expect, data.begin() + off))
						++mismatches;
				}
			});
		for (auto &t : threads)
			t.join();
		EXPECT_EQ(mismatches.load(), 0) << f;
	}
}

TEST_P(Media, ManyThreadsWalkListAndReadAtOnce)
{
	std::vector<std::string> files = paths_of_type(S_IFREG);
	std::vector<std::vector<uint8_t>> contents;
	for (const std::string &f : files)
		contents.push_back(read_file(src(f)));
	std::atomic<int> errors{0};
	std::vector<std::thread> threads;
	for (unsigned t = 0; t < 4; ++t)
		threads.emplace_back([&, t] {
			std::vector<uint8_t> buf(4 * k_block);
			for (size_t i = t; i < files.size(); i += 2) {
				// Another reference to the medium comes and goes meanwhile.
				int again = qor_open_media((tmp_.path() + "/media").c_str(), "minor", 1);
				std::string parent = files[i].substr(0, files[i].rfind('/') + 1);
				qor_file_handle dh, fh;
				qor_dirent ent{};
				ent.reclen = sizeof(ent);
				if (again != mid_ || qor_name_to_handle(mid_, ("/" + parent).c_str(), &dh) != 0)
					++errors;
				int dir = qor_open_dir_by_handle(&dh);
				for (int n = 0; n < 50 && qor_read_dir(dir, &ent) > 0; ++n) {
				}
				std::string name = files[i].substr(parent.size());
				if (qor_name_to_handle_at(dir, name.c_str(), &fh) != 0 || qor_close_dir(dir) != 0)
					++errors;
				int fd = qor_open_by_handle(&fh);
				int64_t n = qor_pread(fd, buf.data(), buf.size(), 0);
				size_t expect = std::min(buf.size(), contents[i].size());
				if (n != int64_t(expect) || !std::equal(buf.begin(), buf.begin() + expect, contents[i].begin()) ||
				    qor_close(fd) != 0 || qor_close_media(again) != 0)
					++errors;
			}
		});
	for (auto &t : threads)
		t.join();
	EXPECT_EQ(errors.load(), 0);
}

TEST_P(Media, DescriptorKindsAndSpecialFiles)
{
	qor_file_handle fifo = handle_of("fifo"), dir = handle_of("dir"), file = handle_of("text");
	Fd f{qor_open_by_handle(&fifo), false};
	ASSERT_GE(f.fd, 0);
	qor_stat_t q{};
	ASSERT_EQ(qor_fstat(f.fd, &q), 0);
	EXPECT_TRUE(S_ISFIFO(q.mode));
	char buf[8];
	EXPECT_EQ(qor_pread(f.fd, buf, sizeof(buf), 0), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(qor_readlink(f.fd, buf, sizeof(buf)), -1);
	EXPECT_EQ(errno, EINVAL);

	EXPECT_EQ(qor_open_by_handle(&dir), -1);
	EXPECT_EQ(errno, EISDIR);
	EXPECT_EQ(qor_open_dir_by_handle(&file), -1);
	EXPECT_EQ(errno, ENOTDIR);

	int d = qor_open_dir_by_handle(&dir);
	ASSERT_GE(d, 0);
	EXPECT_EQ(qor_pread(d, buf, sizeof(buf), 0), -1);
	EXPECT_EQ(errno, EISDIR);
	EXPECT_EQ(qor_fstat(d, &q), 0);
	EXPECT_TRUE(S_ISDIR(q.mode));
	EXPECT_EQ(qor_close(d), 0) << "any descriptor closes with qor_close";
	EXPECT_EQ(qor_close(d), -1);
	EXPECT_EQ(errno, EBADF);
	EXPECT_EQ(qor_close_dir(f.fd), -1);
	EXPECT_EQ(errno, ENOTDIR);
	EXPECT_EQ(qor_fstat(-1, &q), -1);
	EXPECT_EQ(errno, EBADF);
}

TEST_P(Media, ForgedHandlesAreStale)
{
	uint64_t bytes, files;
	ASSERT_EQ(qor_media_stat(mid_, &bytes, &files), 0);
	qor_file_handle good = handle_of("text"), dir = handle_of("dir");
	auto expect_stale = [](qor_file_handle fh, const char *what) {
		EXPECT_EQ(qor_open_by_handle(&fh), -1) << what;
		EXPECT_EQ(errno, ESTALE) << what;
		fh.mode = (fh.mode & ~S_IFMT) | S_IFDIR;
		EXPECT_EQ(qor_open_dir_by_handle(&fh), -1) << what;
		EXPECT_EQ(errno, ESTALE) << what;
	};
	for (int32_t id : {0, -1, int32_t(files + 1), INT32_MAX, INT32_MIN}) {
		qor_file_handle fh = good;
		fh.id = id;
		expect_stale(fh, "id out of range");
	}
	qor_file_handle other_medium = good;
	other_medium.media_id ^= 0x40000000;
	expect_stale(other_medium, "unknown medium");
	qor_file_handle wrong_type = good;
	wrong_type.mode = (good.mode & ~S_IFMT) | S_IFLNK;
	EXPECT_EQ(qor_open_by_handle(&wrong_type), -1);
	EXPECT_EQ(errno, ESTALE);
	wrong_type.mode = (good.mode & ~S_IFMT) | S_IFDIR;
	EXPECT_EQ(qor_open_dir_by_handle(&wrong_type), -1);
	EXPECT_EQ(errno, ESTALE);
	qor_file_handle dir_as_file = dir;
	dir_as_file.mode = (dir.mode & ~S_IFMT) | S_IFREG;
	EXPECT_EQ(qor_open_by_handle(&dir_as_file), -1);
	EXPECT_EQ(errno, ESTALE);
	EXPECT_EQ(qor_open_by_handle(nullptr), -1);
	EXPECT_EQ(errno, EFAULT);

	// All of mode must match: one object has one handle (also for a
	// directory whose listing is cached).
	Fd listed{qor_open_dir_by_handle(&dir), true};
	ASSERT_GE(listed.fd, 0);
	for (mode_t bits : {mode_t(01), mode_t(0100), mode_t(04000), mode_t(0200000)}) {
		qor_file_handle other_bits = good;
		other_bits.mode ^= bits;
		EXPECT_EQ(qor_open_by_handle(&other_bits), -1) << std::oct << bits;
		EXPECT_EQ(errno, ESTALE);
		qor_file_handle dir_bits = dir;
		dir_bits.mode ^= bits;
		EXPECT_EQ(qor_open_dir_by_handle(&dir_bits), -1) << std::oct << bits;
		EXPECT_EQ(errno, ESTALE);
	}

	// Every id with the mode 0100644 opens exactly the regular files of that mode.
	std::set<int32_t> regular;
	for (const std::string &p : paths_of_type(S_IFREG))
		if (handle_of(p).mode == (S_IFREG | 0644))
			regular.insert(handle_of(p).id);
	ASSERT_FALSE(regular.empty());
	std::set<int32_t> opened;
	for (int32_t id = 1; id <= int32_t(files); ++id) {
		qor_file_handle fh{mid_, id, S_IFREG | 0644};
		int fd = qor_open_by_handle(&fh);
		if (fd >= 0) {
			opened.insert(id);
			qor_close(fd);
		} else {
			EXPECT_EQ(errno, ESTALE) << id;
		}
	}
	EXPECT_EQ(opened, regular);
}

TEST_P(Media, SubtreeInodesAreTheObjectsAtOrBelowADirectory)
{
	uint64_t bytes, files;
	ASSERT_EQ(qor_media_stat(mid_, &bytes, &files), 0);
	std::vector<uint64_t> bits(files / 64 + 1);
	auto is_set = [&](uint64_t i) { return i / 64 < bits.size() && (bits[i / 64] >> (i % 64) & 1); };
	std::vector<std::string> all = walk(src_);
	for (const std::string &top : paths_of_type(S_IFDIR)) {
		std::fill(bits.begin(), bits.end(), ~uint64_t(0));
		ASSERT_EQ(qor_subtree_inodes(mid_, ("/" + top).c_str(), bits.data(), bits.size() * 64), 0) << top;
		std::set<uint64_t> want, got;
		for (const std::string &p : all)
			if (top.empty() || p == top || p.compare(0, top.size() + 1, top + "/") == 0)
				want.insert(uint64_t(handle_of(p).id));
		for (uint64_t i = 0; i < bits.size() * 64; ++i)
			if (is_set(i))
				got.insert(i);
		EXPECT_EQ(got, want) << "under /" << top;
	}
	EXPECT_EQ(qor_subtree_inodes(mid_, "/text", bits.data(), bits.size() * 64), -1);
	EXPECT_EQ(errno, ENOTDIR);
	EXPECT_EQ(qor_subtree_inodes(mid_, "/no-such-dir", bits.data(), bits.size() * 64), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(qor_subtree_inodes(mid_, "/", bits.data(), files), -1) << "no bit for the last inode";
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(qor_subtree_inodes(mid_ ^ 0x40000000, "/", bits.data(), bits.size() * 64), -1);
	EXPECT_EQ(errno, EBADF);
}

std::string recipe_name(const testing::TestParamInfo<Image_recipe> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Images, Media, testing::ValuesIn(k_recipes, k_recipes + k_recipe_count), recipe_name);

} // namespace
