// Images no test tree would produce: corrupted and truncated images, a
// doctored inode map, names the library cannot hand out, files over 4 GiB.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <random>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <sqfs/inode.h>

#include "media_fixture.h"
#include "qor.h"

using namespace qor_test;

namespace {

uint64_t le64(const std::vector<uint8_t> &img, size_t at)
{
	uint64_t v = 0;
	for (int i = 7; i >= 0; --i)
		v = v << 8 | img.at(at + i);
	return v;
}

// Superblock offsets of the table positions.
constexpr size_t k_inode_table_at = 64;
constexpr size_t k_export_table_at = 88;
constexpr size_t k_bytes_used_at = 40;
constexpr size_t k_root_ref_at = 32;

class Robustness : public testing::Test {
protected:
	void SetUp() override
	{
		qor_c_init();
		media_ = tmp_.path() + "/media";
	}
	void TearDown() override { qor_c_fini(); }

	std::string image_path(const char *minor) const { return media_ + "/" + minor + "/1.sqfs"; }
	int open(const char *minor) { return qor_open_media(media_.c_str(), minor, 1); }

	Temp_dir tmp_;
	std::string media_;
};

// Walks the whole medium through every call, as a client would, and checks
// that each answer is either sane or a failure with a plausible errno.
class Explorer {
public:
	explicit Explorer(int media_id) : mid_(media_id) {}

	void run()
	{
		qor_file_handle root;
		if (qor_name_to_handle(mid_, "/", &root) == 0)
			visit_dir(root, 0);
		else
			expect_errno("root handle");
	}

private:
	void expect_errno(const char *what)
	{
		static const std::set<int> plausible = {EIO, ENOENT, ENOTDIR, EISDIR, ESTALE, EINVAL, ENOMEM, EOPNOTSUPP};
		EXPECT_TRUE(plausible.count(errno)) << what << ": " << strerror(errno);
	}

	void visit_dir(const qor_file_handle &dh, int depth)
	{
		int dir = qor_open_dir_by_handle(&dh);
		if (dir < 0)
			return expect_errno("open dir");
		qor_dirent ent{};
		ent.reclen = sizeof(ent);
		std::vector<qor_file_handle> children;
		int rc;
		while ((rc = qor_read_dir(dir, &ent)) > 0 && children.size() < 4000) {
			EXPECT_LT(strlen(ent.name), sizeof(ent.name));
			EXPECT_GE(ent.cookie, 3u);
			qor_file_handle fh;
			qor_stat_t st;
			if (qor_name_to_handle_at(dir, ent.name, &fh) == 0 && qor_fstat_at(dir, ent.name, &st) == 0)
				children.push_back(fh);
			else
				expect_errno("entry");
		}
		EXPECT_GE(rc, 0);
		qor_close_dir(dir);
		for (const qor_file_handle &fh : children) {
			if (S_ISDIR(fh.mode)) {
				if (depth < 8)
					visit_dir(fh, depth + 1);
			} else {
				visit_object(fh);
			}
		}
	}

	void visit_object(const qor_file_handle &fh)
	{
		int fd = qor_open_by_handle(&fh);
		if (fd < 0)
			return expect_errno("open");
		qor_stat_t st;
		EXPECT_EQ(qor_fstat(fd, &st), 0);
		if (S_ISREG(st.mode)) {
			for (int64_t off : {int64_t(0), int64_t(k_block - 1), st.size / 2, st.size - 1}) {
				int64_t n = qor_pread(fd, buf_.data(), buf_.size(), off < 0 ? 0 : off);
				if (n < 0)
					expect_errno("pread");
				EXPECT_LE(n, int64_t(buf_.size()));
			}
		} else if (S_ISLNK(st.mode)) {
			int n = qor_readlink(fd, reinterpret_cast<char *>(buf_.data()), QOR_PATH_MAX);
			EXPECT_LE(n, QOR_PATH_MAX);
		}
		qor_close(fd);
	}

	int mid_;
	std::vector<uint8_t> buf_ = std::vector<uint8_t>(QOR_PATH_MAX + 3 * k_block);
};

TEST_F(Robustness, CorruptedAndTruncatedImagesFailCleanly)
{
	std::string src = tmp_.path() + "/src";
	mkdir(src.c_str(), 0755);
	build_tree(src);
	for (const Image_recipe &r : {Image_recipe{"lz4", "mksquashfs", "-comp lz4"},
				      Image_recipe{"stored", "mksquashfs", "-noI -noD -noF -noX"},
				      Image_recipe{"zstd_tar", "tar2sqfs", "-e -c zstd"}}) {
		std::vector<uint8_t> good = read_file(pack(r, src, tmp_.path() + "/good.sqfs"));
		const size_t meta = le64(good, k_inode_table_at), end = le64(good, k_bytes_used_at);
		std::mt19937 rng(12345);
		int opened = 0;
		for (int variant = 0; variant < 150; ++variant) {
			std::vector<uint8_t> bad = good;
			if (variant % 10 == 9) {
				bad.resize(rng() % good.size());
			} else {
				// Mostly the metadata, where every size and position is read.
				int flips = 1 + rng() % 4;
				for (int i = 0; i < flips; ++i) {
					size_t at = variant % 3 == 0 ? rng() % good.size() : meta + rng() % (end - meta);
					bad[at] ^= uint8_t(1u << (rng() % 8));
				}
			}
			std::string dir = r.name + std::to_string(variant);
			run("mkdir -p " + quote(media_ + "/" + dir));
			write_file(image_path(dir.c_str()), bad);
			int id = open(dir.c_str());
			if (id < 0) {
				static const std::set<int> open_errors = {EIO, EMEDIUMTYPE, EOPNOTSUPP, ENOMEM};
				EXPECT_TRUE(open_errors.count(errno)) << r.name << " variant " << variant << ": " << strerror(errno);
				continue;
			}
			++opened;
			Explorer(id).run();
			EXPECT_EQ(qor_close_media(id), 0);
			unlink(image_path(dir.c_str()).c_str());
		}
		EXPECT_GT(opened, 0) << r.name << ": some damage leaves the medium readable";
	}
}

// Lowers the address-space limit for a scope, so that an allocation by a
// damaged size fails instead of being overcommitted unnoticed.
class Address_space_limit {
public:
	explicit Address_space_limit(uint64_t headroom)
	{
		getrlimit(RLIMIT_AS, &saved_);
		long pages = 0;
		if (FILE *f = fopen("/proc/self/statm", "r")) {
			if (fscanf(f, "%ld", &pages) != 1)
				pages = 0;
			fclose(f);
		}
		struct rlimit r = saved_;
		r.rlim_cur = uint64_t(pages) * uint64_t(sysconf(_SC_PAGESIZE)) + headroom;
		setrlimit(RLIMIT_AS, &r);
	}
	~Address_space_limit() { setrlimit(RLIMIT_AS, &saved_); }

private:
	struct rlimit saved_ {};
};

void put_le(std::vector<uint8_t> &img, size_t at, uint64_t v, int bytes)
{
	for (int i = 0; i < bytes; ++i)
		img.at(at + i) = uint8_t(v >> (8 * i));
}

TEST_F(Robustness, DamagedInodeFieldsAndRootReferenceReadAsEio)
{
	// Each object gets an mtime that appears nowhere else in the stored
	// image, so that its inode can be found and changed in place.
	std::string src = tmp_.path() + "/src";
	mkdir(src.c_str(), 0755);
	write_file(src + "/file", pattern(k_block + 1000, 1, false)); // a block and a tail
	ASSERT_TRUE(run("truncate -s 65536 " + quote(src + "/sparse")));
	ASSERT_EQ(symlink("target", (src + "/link").c_str()), 0);
	mkdir((src + "/dir").c_str(), 0755);
	write_file(src + "/attrs", pattern(10, 2, false));
	ASSERT_EQ(setxattr((src + "/attrs").c_str(), "trusted.qor", "1", 1, 0), 0) << strerror(errno);
	const uint32_t stamp = 0x5a5a5a00;
	int n = 0;
	for (const char *name : {"file", "sparse", "link", "dir", "attrs"})
		ASSERT_TRUE(run("touch -h -d @" + std::to_string(stamp + ++n) + " " + quote(src + "/" + name)));
	std::vector<uint8_t> good = read_file(pack({"stored", "mksquashfs", "-noI -noD -noF -noX"}, src,
						   image_path("good")));
	auto inode_at = [&](uint32_t mtime) {
		for (size_t i = 8; i + 4 <= good.size(); ++i)
			if (good[i] == uint8_t(mtime) && good[i + 1] == uint8_t(mtime >> 8) &&
			    good[i + 2] == uint8_t(mtime >> 16) && good[i + 3] == uint8_t(mtime >> 24))
				return i - 8;
		return size_t(0);
	};
	const size_t file = inode_at(stamp + 1), sparse = inode_at(stamp + 2), link = inode_at(stamp + 3),
		     dir = inode_at(stamp + 4);
	ASSERT_TRUE(file && sparse && link && dir);
	ASSERT_EQ(good[file], SQFS_INODE_FILE);
	ASSERT_EQ(good[sparse], SQFS_INODE_EXT_FILE);
	ASSERT_EQ(good[link], SQFS_INODE_SLINK);
	ASSERT_EQ(good[dir], SQFS_INODE_DIR);
	ASSERT_EQ(good[inode_at(stamp + 5)], SQFS_INODE_EXT_FILE) << "extended attributes were stored";
	const size_t table = le64(good, k_inode_table_at) + 2; // the one stored block's data
	ASSERT_LT(dir, table + 8192);

	struct Damage {
		const char *what;
		size_t at;
		uint64_t value;
		int bytes;
		bool at_open; // the medium itself is refused
	} damages[] = {
		{"root reference into the middle of an inode", k_root_ref_at, file + 4 - table, 8, true},
		{"root reference past the block's data", k_root_ref_at, 0x1fff, 8, true},
		{"root reference to a file", k_root_ref_at, file - table, 8, true},
		{"file size of a file (4 GiB of blocks)", file + 28, 0xffffffff, 4, false},
		{"fragment of a file's tail", file + 20, 0x7fffffff, 4, false},
		{"data position of a file", file + 16, 0xfffffff0, 4, false},
		{"file size of an extended file (petabytes of blocks)", sparse + 24, uint64_t(1) << 60, 8, false},
		{"extended attributes of an extended file", sparse + 52, 0x7fffffff, 4, false},
		{"target size of a link", link + 20, 0xfffffff0, 4, false},
		{"inode type", link, 0x77, 2, false},
		{"inode number", link + 12, 0x7fffffff, 4, false},
		{"listing position of a directory", dir + 16, 0x7fffffff, 4, false},
	};
	Address_space_limit limit(uint64_t(1) << 30);
	for (const Damage &d : damages) {
		std::vector<uint8_t> bad = good;
		put_le(bad, d.at, d.value, d.bytes);
		std::string minor = "d" + std::to_string(&d - damages);
		run("mkdir -p " + quote(media_ + "/" + minor));
		write_file(image_path(minor.c_str()), bad);
		int id = open(minor.c_str());
		if (d.at_open) {
			EXPECT_EQ(id, -1) << d.what;
			EXPECT_EQ(errno, EIO) << d.what << ": " << strerror(errno);
			continue;
		}
		ASSERT_GE(id, 0) << d.what << ": " << strerror(errno);
		qor_stat_t st;
		EXPECT_EQ(qor_stat(id, "/file", &st), -1) << d.what << ": the root's listing reads every inode";
		EXPECT_EQ(errno, EIO) << d.what << ": " << strerror(errno);
		qor_close_media(id);
	}
	int id = open("good");
	ASSERT_GE(id, 0);
	qor_file_handle fh;
	ASSERT_EQ(qor_name_to_handle(id, "/attrs", &fh), 0) << "the undamaged image reads: " << strerror(errno);
	int fd = qor_open_by_handle(&fh);
	EXPECT_GE(fd, 0) << strerror(errno);
	qor_close(fd);
	qor_close_media(id);
}

TEST_F(Robustness, AnInodeMapEntryNamingAnotherInodeMakesTheHandleStale)
{
	std::string src = tmp_.path() + "/src";
	mkdir(src.c_str(), 0755);
	for (const char *name : {"a", "b", "c", "d"})
		write_file(src + "/" + name, pattern(100, 1, false));
	std::vector<uint8_t> img = read_file(pack({"stored", "mksquashfs", "-noI -noD -noF -noX"}, src,
						  image_path("m")));
	int id = open("m");
	ASSERT_GE(id, 0);
	std::vector<qor_file_handle> handles(4);
	const char *names[] = {"/a", "/b", "/c", "/d"};
	for (int i = 0; i < 4; ++i)
		ASSERT_EQ(qor_name_to_handle(id, names[i], &handles[i]), 0);
	ASSERT_EQ(qor_close_media(id), 0);

	// The export table's one uncompressed metadata block: swap inodes 1 and 2.
	size_t block = le64(img, le64(img, k_export_table_at));
	ASSERT_TRUE(img.at(block + 1) & 0x80) << "stored metadata block";
	size_t first = block + 2;
	std::swap_ranges(img.begin() + first, img.begin() + first + 8, img.begin() + first + 8);
	std::string doctored = image_path("m") + ".new";
	write_file(doctored, img);
	ASSERT_EQ(rename(doctored.c_str(), image_path("m").c_str()), 0);

	id = open("m");
	ASSERT_GE(id, 0);
	for (qor_file_handle fh : handles) {
		fh.media_id = id;
		int fd = qor_open_by_handle(&fh);
		if (fh.id == 1 || fh.id == 2) {
			EXPECT_EQ(fd, -1) << fh.id;
			EXPECT_EQ(errno, ESTALE);
		} else {
			EXPECT_GE(fd, 0) << fh.id;
			qor_close(fd);
		}
	}
	qor_close_media(id);
}

TEST_F(Robustness, NamesLongerThanADirentHoldAreLeftOut)
{
	std::string tar = tmp_.path() + "/long.tar";
	ASSERT_TRUE(run("python3 - " + quote(tar) + R"( <<'EOF'
import io, sys, tarfile
with tarfile.open(sys.argv[1], 'w', format=tarfile.GNU_FORMAT) as t:
    def add(name, data=None):
        info = tarfile.TarInfo(name)
        info.mtime = 1600000000
        if data is None:
            info.type = tarfile.DIRTYPE
            info.mode = 0o755
            t.addfile(info)
        else:
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
    add('./')
    add('./ok', b'fine')
    add('./' + 'x' * 300, b'too long')
    add('./d')
    add('./d/' + 'y' * 256, b'one byte too long')
    add('./d/' + 'z' * 255, b'longest')
EOF)"));
	run("mkdir -p " + quote(media_ + "/t"));
	ASSERT_TRUE(run("tar2sqfs -q -f -e -c lz4 " + quote(image_path("t")) + " < " + quote(tar) + " >/dev/null"));
	int id = open("t");
	ASSERT_GE(id, 0) << strerror(errno);

	auto list = [&](const char *path) {
		qor_file_handle fh;
		std::vector<std::string> names;
		EXPECT_EQ(qor_name_to_handle(id, path, &fh), 0);
		int dir = qor_open_dir_by_handle(&fh);
		qor_dirent ent;
		memset(&ent, 0x55, sizeof(ent));
		ent.reclen = sizeof(ent);
		while (qor_read_dir(dir, &ent) > 0)
			names.push_back(ent.name);
		qor_close_dir(dir);
		return names;
	};
	EXPECT_EQ(list("/"), (std::vector<std::string>{"d", "ok"}));
	EXPECT_EQ(list("/d"), (std::vector<std::string>{std::string(255, 'z')}));
	qor_stat_t st;
	EXPECT_EQ(qor_stat(id, ("/" + std::string(300, 'x')).c_str(), &st), -1);
	EXPECT_EQ(errno, ENAMETOOLONG);
	EXPECT_EQ(qor_stat(id, ("/d/" + std::string(255, 'z')).c_str(), &st), 0);
	EXPECT_EQ(st.size, 7);
	qor_close_media(id);
}

TEST_F(Robustness, AnEmptyTreeGivesAnEmptyRoot)
{
	std::string src = tmp_.path() + "/empty";
	mkdir(src.c_str(), 0711);
	pack({"lz4", "mksquashfs", "-comp lz4"}, src, image_path("m"));
	pack({"tar", "tar2sqfs", "-c lz4"}, src, image_path("t"));
	for (const char *minor : {"m", "t"}) {
		int id = open(minor);
		ASSERT_GE(id, 0) << minor << ": " << strerror(errno);
		qor_file_handle root;
		ASSERT_EQ(qor_name_to_handle(id, "/", &root), 0);
		EXPECT_TRUE(S_ISDIR(root.mode));
		int dir = qor_open_dir_by_handle(&root);
		ASSERT_GE(dir, 0);
		qor_dirent ent{};
		ent.reclen = sizeof(ent);
		EXPECT_EQ(qor_read_dir(dir, &ent), 0);
		qor_close_dir(dir);
		qor_stat_t st;
		EXPECT_EQ(qor_stat(id, "/anything", &st), -1);
		EXPECT_EQ(errno, ENOENT);
		qor_close_media(id);
	}
}

TEST_F(Robustness, FilesOverFourGiBReadAtTheirOffsets)
{
	std::string src = tmp_.path() + "/src";
	mkdir(src.c_str(), 0755);
	const int64_t size = 5LL << 30, mid = (4LL << 30) + 7, tail = size - 100;
	int fd = ::open((src + "/huge").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(ftruncate(fd, size), 0);
	ASSERT_EQ(pwrite(fd, "mid", 3, mid), 3);
	ASSERT_EQ(pwrite(fd, "tail-data", 9, tail), 9);
	::close(fd);
	run("mkdir -p " + quote(media_ + "/h"));
	ASSERT_TRUE(run("tar -C " + quote(src) + " -S --format=gnu -cf - . | tar2sqfs -q -f -e -c lz4 -j 1 " +
			quote(image_path("h")) + " >/dev/null"));
	int id = open("h");
	ASSERT_GE(id, 0);
	qor_file_handle fh;
	ASSERT_EQ(qor_name_to_handle(id, "/huge", &fh), 0);
	int f = qor_open_by_handle(&fh);
	ASSERT_GE(f, 0);
	qor_stat_t st;
	ASSERT_EQ(qor_fstat(f, &st), 0);
	EXPECT_EQ(st.size, size);
	char buf[16];
	ASSERT_EQ(qor_pread(f, buf, 5, mid - 1), 5);
	EXPECT_EQ(std::string(buf, 5), std::string("\0mid\0", 5));
	ASSERT_EQ(qor_pread(f, buf, sizeof(buf), tail - 2), 16);
	EXPECT_EQ(std::string(buf, 16), std::string("\0\0tail-data\0\0\0\0\0", 16));
	EXPECT_EQ(qor_pread(f, buf, sizeof(buf), size - 3), 3);
	EXPECT_EQ(qor_pread(f, buf, sizeof(buf), size), 0);
	qor_close(f);
	qor_close_media(id);
}

} // namespace
