// The media library on images packed by the real tools: one source tree in
// every tool and compressor, each answer checked against the tree itself;
// damaged and doctored images; media ids; the data cache and read-ahead, by
// the library's own count of the blocks it decompressed.
#include <gtest/gtest.h>

#include <sqfs/inode.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <unistd.h>

#include "data_cache.h"
#include "qor.h"
#include "readahead.h"

namespace {

namespace fs = std::filesystem;
constexpr size_t k_block = 4096; // of the test images: boundaries are cheap

bool run(const std::string &command) { return std::system(command.c_str()) == 0; }

std::string quote(const std::string &s)
{
	std::string q = "'";
	for (char c : s)
		q += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return q + "'";
}

// MEDIA/MINOR/SEQ.sqfs and a source tree in a temporary directory (in memory:
// trees of thousands of files build much faster there).
class Media_dir {
public:
	Media_dir()
	{
		const char *env = getenv("TMPDIR");
		top = std::string(env && *env ? env : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/qor-test.XXXXXX";
		if (!mkdtemp(top.data()) || mkdir((src = top + "/src").c_str(), 0755) != 0)
			throw std::runtime_error("no temporary directory");
		path = top + "/media";
	}
	~Media_dir() { fs::remove_all(top); }
	std::string image(const std::string &minor, uint32_t seq = 1) const
	{
		return path + "/" + minor + "/" + std::to_string(seq) + ".sqfs";
	}
	int open(const std::string &minor, uint32_t seq = 1) const { return qor_open_media(path.c_str(), minor.c_str(), seq); }
	int put(const std::string &minor, const std::vector<uint8_t> &bytes) const
	{
		fs::create_directories(path + "/" + minor);
		std::ofstream(image(minor), std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
		return open(minor);
	}
	std::string top, path, src;
};

std::vector<uint8_t> read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Every file type, the block-boundary sizes as noise and as text, holes,
// hard links, the longest name and link target, setuid, 3000 entries in one
// directory, 16 MiB to stream, distinct mtimes up to the last SquashFS holds.
void build_tree(const std::string &root)
{
	if (!run("python3 - " + quote(root) + R"( <<'EOF'
import os, sys
os.chdir(sys.argv[1])
for d, m in [('dir', 0o750), ('dir/sub', 0o700), ('dir/sub/deep', 0o755), ('dir/empty_dir', 0o755), ('big', 0o755)]:
    os.mkdir(d, m)
def put(name, data, mode=0o644):
    with open(name, 'wb') as f: f.write(data)
    os.chmod(name, mode)
for s in [0, 1, 4095, 4096, 4097, 7 * 4096 + 5, 100000]:
    put('noise_%d' % s, os.urandom(s))
    put('text_%d' % s, (b'backup media %d ' % (s % 7) * 8000)[:s])
put('sparse', b''); os.truncate('sparse', 10 * 4096 + 3)
with open('sparse', 'r+b') as f: f.seek(3 * 4096); f.write(os.urandom(4106))
put('dir/sub/deep/leaf', b'leaf ' * 2500, 0o640); put('dir/setuid', b'x', 0o4755); put('dir/hard_a', os.urandom(8201), 0o600)
os.link('dir/hard_a', 'dir/hard_b'); put('n' * 255, b'long name'); os.mkfifo('fifo', 0o620)
for target, name in [('text_1', 'link'), ('sub/deep/leaf', 'dir/link_up'), ('t' * 4095, 'long_link'), ('/nowhere', 'dir/abs')]:
    os.symlink(target, name)
for i in range(3000): put('big/entry-%05d' % (i * 7919 % 3000), bytes([i % 256]))
put('stream', b''.join(b'block %06d ' % i * 315 + b'.' for i in range(4096)))
for i, p in enumerate(sorted(os.path.join(d, n) for d, ds, fs in os.walk('.') for n in ds + fs)):
    os.utime(p, (0, 4000000000 if p == './text_1' else 1234567890 + 3600 * i), follow_symlinks=False)
os.utime('.', (0, 1500000000))
EOF)"))
		throw std::runtime_error("build_tree");
}

// Paths under root relative to it ("" is root), sorted.
std::vector<std::string> walk(const std::string &root)
{
	std::vector<std::string> paths = {""};
	for (const fs::directory_entry &e : fs::recursive_directory_iterator(root))
		paths.push_back(e.path().lexically_relative(root));
	std::sort(paths.begin(), paths.end());
	return paths;
}

struct Image_recipe {
	const char *name;
	const char *tool;    // "mksquashfs" or "tar2sqfs"
	const char *options; // appended to the tool's command line
};

const Image_recipe k_recipes[] = {
	{"gzip", "mksquashfs", "-comp gzip"},
	{"lz4", "mksquashfs", "-comp lz4"},
	{"zstd", "mksquashfs", "-comp zstd"},
	{"xz", "mksquashfs", "-comp xz"},
	{"stored", "mksquashfs", "-noI -noD -noF -noX"},
	{"lz4_tailends", "mksquashfs", "-comp lz4 -always-use-fragments"},
	{"lz4_no_fragments", "mksquashfs", "-comp lz4 -no-fragments"},
	{"lz4_no_exports", "mksquashfs", "-comp lz4 -no-exports"},
	{"tar2sqfs_zstd", "tar2sqfs", "-e -c zstd"},
	{"tar2sqfs_no_exports", "tar2sqfs", "-c lz4"},
};
const Image_recipe &k_lz4 = k_recipes[1], &k_stored = k_recipes[4], &k_tar = k_recipes[8];

std::string recipe_name(const testing::TestParamInfo<Image_recipe> &info) { return info.param.name; }

std::string pack(const Image_recipe &r, const std::string &root, const std::string &image)
{
	std::string cmd = "mkdir -p " + quote(image.substr(0, image.rfind('/'))) + " && ";
	std::string options = " -b " + std::to_string(k_block) + " " + r.options;
	if (std::string(r.tool) == "mksquashfs")
		cmd += "mksquashfs " + quote(root) + " " + quote(image) + " -noappend -quiet -no-progress -processors 1" + options;
	else
		cmd += "tar -C " + quote(root) + " -S --format=gnu -cf - . | tar2sqfs -q -f -j 1" + options + " " + quote(image);
	if (!run(cmd + " >/dev/null"))
		throw std::runtime_error("packing failed: " + cmd);
	return image;
}

void expect_error(int64_t rc, int err, const std::string &what)
{
	EXPECT_EQ(rc, -1) << what;
	EXPECT_EQ(errno, err) << what << ": " << strerror(errno);
}

struct Fd {
	int fd;
	bool dir = false;
	~Fd() { fd < 0 ? 0 : dir ? qor_close_dir(fd) : qor_close(fd); }
};

class Media : public testing::TestWithParam<Image_recipe> {
protected:
	static void SetUpTestSuite()
	{
		media_ = new Media_dir;
		build_tree(media_->src);
		all_ = walk(media_->src);
	}
	static void TearDownTestSuite() { delete media_; }
	void SetUp() override
	{
		qor_c_init();
		if (access(media_->image(GetParam().name).c_str(), F_OK) != 0)
			pack(GetParam(), media_->src, media_->image(GetParam().name));
		ASSERT_GE(mid_ = media_->open(GetParam().name), 0) << strerror(errno);
	}
	void TearDown() override
	{
		EXPECT_EQ(qor_close_media(mid_), 0);
		qor_c_fini();
	}

	static std::string parent(const std::string &p) { return p.substr(0, p.rfind('/') == p.npos ? 0 : p.rfind('/')); }
	static std::string src(const std::string &rel) { return media_->src + "/" + rel; }
	static struct stat lstat_of(const std::string &rel)
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
	static void expect_same(const qor_stat_t &q, const std::string &rel)
	{
		struct stat s = lstat_of(rel);
		EXPECT_EQ(q.mode, s.st_mode) << rel;
		EXPECT_TRUE(q.size == s.st_size || S_ISDIR(s.st_mode) || S_ISFIFO(s.st_mode)) << rel;
		EXPECT_EQ(q.mtime, s.st_mtime) << rel;
		EXPECT_TRUE(q.atime == q.mtime && q.ctime == q.mtime) << rel;
	}
	void check_directory(const std::string &d, int fd);
	void check_data(const std::string &f, int fd);

	static inline Media_dir *media_;
	static inline std::vector<std::string> all_;
	int mid_ = -1;
};

void Media::check_directory(const std::string &d, int fd)
{
	qor_file_handle self = handle_of(d), fh{}, up{};
	Fd other{qor_open_dir_by_handle(&self), true};
	std::vector<std::string> names, expected;
	std::vector<uint64_t> cookies;
	qor_dirent ent{}, ent2{};
	ent.reclen = ent2.reclen = sizeof(ent);
	qor_stat_t q{};
	int rc;
	while ((rc = qor_read_dir(fd, &ent)) > 0) {
		std::string rel = d.empty() ? ent.name : d + "/" + ent.name;
		expect_same(ent.stat, rel);
		ASSERT_EQ(qor_read_dir(other.fd, &ent2), 1) << "a second stream keeps its own position";
		EXPECT_STREQ(ent2.name, ent.name);
		ASSERT_EQ(qor_fstat_at(fd, ent.name, &q), 0) << rel;
		expect_same(q, rel);
		ASSERT_EQ(qor_name_to_handle_at(fd, ent.name, &fh), 0) << rel;
		EXPECT_EQ(fh.id, handle_of(rel).id) << rel;
		names.push_back(ent.name);
		cookies.push_back(ent.cookie);
	}
	ASSERT_EQ(rc, 0) << strerror(errno);
	for (const std::string &p : all_)
		if (!p.empty() && parent(p) == d)
			expected.push_back(p.substr(d.empty() ? 0 : d.size() + 1));
	EXPECT_EQ(names, expected) << "entries of /" << d << " in byte order";
	EXPECT_EQ(std::set<uint64_t>(cookies.begin(), cookies.end()).size(), cookies.size());
	for (size_t i = 0; i <= names.size() + 3; ++i) { // 0, 1 and 2 rewind; then each cookie; then past the end
		uint64_t cookie = i < 3 ? i : i - 3 < cookies.size() ? cookies[i - 3] : UINT64_MAX;
		size_t next = i < 3 ? 0 : i - 2;
		ASSERT_EQ(qor_seek_dir(fd, cookie), 0);
		ASSERT_EQ(qor_read_dir(fd, &ent), next < names.size() ? 1 : 0) << "after cookie " << cookie;
		EXPECT_TRUE(next >= names.size() || names[next] == ent.name) << "after cookie " << cookie;
	}
	ASSERT_EQ(qor_name_to_handle_at(fd, "", &fh), 0);
	EXPECT_EQ(0, memcmp(&fh, &self, sizeof(fh)));
	if (d.empty()) {
		expect_error(qor_name_to_handle_at(fd, "..", &fh), ENOENT, "the root has no parent");
	} else {
		ASSERT_EQ(qor_name_to_handle_at(fd, "..", &fh), 0) << d;
		EXPECT_EQ(0, memcmp(&fh, &(up = handle_of(parent(d))), sizeof(fh))) << d << "/..";
		ASSERT_EQ(qor_fstat_at(fd, "..", &q), 0) << d;
		expect_same(q, parent(d));
	}
	std::vector<uint64_t> bits(all_.size() / 64 + 1, ~uint64_t(0));
	std::set<uint64_t> want, got;
	ASSERT_EQ(qor_subtree_inodes(mid_, ("/" + d).c_str(), bits.data(), bits.size() * 64), 0) << d;
	for (const std::string &p : all_)
		if (d.empty() || p == d || p.compare(0, d.size() + 1, d + "/") == 0)
			want.insert(uint64_t(handle_of(p).id));
	for (uint64_t i = 0; i < bits.size() * 64; ++i)
		if (bits[i / 64] >> (i % 64) & 1)
			got.insert(i);
	EXPECT_EQ(got, want) << "objects at or below /" << d;
}

void Media::check_data(const std::string &f, int fd)
{
	std::vector<uint8_t> data = read_file(src(f)), all, buf(65536);
	const int64_t size = data.size(), b = k_block;
	for (int64_t off : {int64_t(0), int64_t(1), b - 1, b, b + 1, 3 * b + 5, std::max<int64_t>(size - 1, 0), size,
			    size + 1, size - size % b})
		for (int64_t count : {int64_t(1), b - 1, b, b + 1, 3 * b, size + 10}) {
			std::vector<uint8_t> got(count + 8, 0xa5);
			int64_t expect = std::max<int64_t>(0, std::min(count, size - off));
			ASSERT_EQ(qor_pread(fd, got.data(), count, off), expect) << f << " at " << off << " count " << count;
			EXPECT_TRUE(std::equal(got.begin(), got.begin() + expect, data.begin() + off)) << f << " at " << off;
			EXPECT_TRUE(std::all_of(got.begin() + expect, got.end(), [](uint8_t c) { return c == 0xa5; }));
		}
	int64_t n;
	while ((n = qor_pread(fd, buf.data(), buf.size(), all.size())) > 0)
		all.insert(all.end(), buf.begin(), buf.begin() + n);
	ASSERT_EQ(n, 0);
	EXPECT_EQ(all, data) << f;
	EXPECT_EQ(qor_pread(fd, buf.data(), 1, INT64_MAX), 0);
	EXPECT_EQ(qor_pread(fd, nullptr, 0, 0), 0) << "nothing to read needs no buffer";
}

TEST_P(Media, EveryObjectMatchesTheSourceTree)
{
	std::map<ino_t, int32_t> ids; // hard links share the handle; nothing else does
	std::set<int32_t> distinct;
	for (const std::string &p : all_) {
		struct stat s = lstat_of(p);
		qor_stat_t q{};
		ASSERT_EQ(qor_stat(mid_, p.c_str(), &q), 0) << p << ": " << strerror(errno);
		expect_same(q, p);
		qor_file_handle fh = handle_of(p);
		EXPECT_TRUE(fh.media_id == mid_ && fh.id >= 1 && fh.mode == s.st_mode) << p;
		auto known = ids.emplace(s.st_ino, fh.id);
		EXPECT_EQ(known.first->second, fh.id) << p;
		EXPECT_TRUE(!known.second || distinct.insert(fh.id).second) << p << " shares id " << fh.id;
		Fd fd{S_ISDIR(s.st_mode) ? qor_open_dir_by_handle(&fh) : qor_open_by_handle(&fh), S_ISDIR(s.st_mode)};
		ASSERT_GE(fd.fd, 0) << p << ": " << strerror(errno);
		ASSERT_EQ(qor_fstat(fd.fd, &q), 0);
		expect_same(q, p);
		if (S_ISDIR(s.st_mode))
			check_directory(p, fd.fd);
		if (S_ISREG(s.st_mode))
			check_data(p, fd.fd);
		for (size_t size : {size_t(QOR_PATH_MAX), size_t(3)}) {
			std::vector<char> want(QOR_PATH_MAX + 1, '#'), got(want);
			int64_t len = S_ISLNK(s.st_mode) ? readlink(src(p).c_str(), want.data(), size) : -1;
			EXPECT_EQ(qor_readlink(fd.fd, got.data(), size), len) << p;
			EXPECT_EQ(got, want) << p << ": the target, never past the buffer";
		}
	}
	uint64_t bytes = 0, files = 0;
	struct stat img{};
	ASSERT_EQ(qor_media_stat(mid_, &bytes, &files), 0);
	ASSERT_EQ(stat(media_->image(GetParam().name).c_str(), &img), 0);
	EXPECT_EQ(files, ids.size());
	EXPECT_TRUE(bytes <= uint64_t(img.st_size) && bytes + 4096 > uint64_t(img.st_size)) << bytes;
}

TEST_P(Media, RefusedCallsFailWithTheirErrnoAndForgedHandlesAreStale)
{
	qor_stat_t q{};
	uint64_t bits[64], bytes, files;
	qor_file_handle fh{}, dir = handle_of("dir"), text = handle_of("text_1"), fifo = handle_of("fifo");
	Fd f{qor_open_by_handle(&text)}, d{qor_open_dir_by_handle(&dir), true}, p{qor_open_by_handle(&fifo)};
	ASSERT_TRUE(f.fd >= 0 && d.fd >= 0 && p.fd >= 0 && qor_media_stat(mid_, &bytes, &files) == 0) << strerror(errno);
	qor_dirent ent{};
	ent.reclen = sizeof(ent) - 1;
	const std::string long_name(256, 'n'), m = media_->path;
	fs::create_directories(media_->image("bad", 3));
	for (auto [seq, size] : {std::pair{1, 100000}, {2, 10}, {4, 0}})
		std::ofstream(media_->image("bad", seq)) << std::string(size, 'q');
	if (access(media_->image("lzo").c_str(), F_OK) != 0)
		pack({"lzo", "mksquashfs", "-comp lzo"}, src("dir"), media_->image("lzo"));
	const struct {
		int err;
		std::function<int64_t()> call;
	} refused[] = {
		{ENOENT, [&] { return qor_stat(mid_, "/dir/../text_1", &q); }},
		{ENOTDIR, [&] { return qor_stat(mid_, "/dir/link_up/", &q); }}, // links are never followed
		{ENAMETOOLONG, [&] { return qor_stat(mid_, ("/" + long_name).c_str(), &q); }},
		{ENAMETOOLONG, [&] { return qor_stat(mid_, std::string(QOR_PATH_MAX, '/').c_str(), &q); }},
		{EFAULT, [&] { return qor_stat(mid_, nullptr, &q); }},
		{ENOENT, [&] { return qor_name_to_handle_at(d.fd, ".", &fh); }},
		{EINVAL, [&] { return qor_fstat_at(d.fd, "sub/deep", &q); }},
		{ENAMETOOLONG, [&] { return qor_name_to_handle_at(d.fd, long_name.c_str(), &fh); }},
		{ENOENT, [&] { return qor_fstat_at(d.fd, "none", &q); }},
		{ENOTDIR, [&] { return qor_fstat_at(f.fd, "x", &q); }},
		{EFAULT, [&] { return qor_name_to_handle_at(d.fd, "sub", nullptr); }},
		{EINVAL, [&] { return qor_read_dir(d.fd, &ent); }},
		{EINVAL, [&] { return qor_pread(f.fd, bits, 1, -1); }},
		{EINVAL, [&] { return qor_pread(p.fd, bits, 1, 0); }},
		{EISDIR, [&] { return qor_pread(d.fd, bits, 1, 0); }},
		{EISDIR, [&] { return qor_open_by_handle(&dir); }},
		{ENOTDIR, [&] { return qor_open_dir_by_handle(&text); }},
		{ENOTDIR, [&] { return qor_close_dir(f.fd); }},
		{EFAULT, [&] { return qor_open_by_handle(nullptr); }},
		{ENOTDIR, [&] { return qor_subtree_inodes(mid_, "/text_1", bits, 64 * 64); }},
		{EINVAL, [&] { return qor_subtree_inodes(mid_, "/", bits, files); }}, // no bit for the last inode
		{EFAULT, [&] { return qor_open_media(m.c_str(), nullptr, 1); }},
		{ENOENT, [&] { return qor_open_media("", "bad", 1); }},
		{ENOTDIR, [&] { return qor_open_media(src("text_1").c_str(), "bad", 1); }},
		{EINVAL, [&] { return media_->open(".."); }},
		{EINVAL, [&] { return media_->open("a/b"); }},
		{ENAMETOOLONG, [&] { return media_->open(std::string(256, 'm')); }},
		{ENOMEDIUM, [&] { return media_->open("bad", 5); }},
		{ENOMEDIUM, [&] { return media_->open("none"); }},
		{EISDIR, [&] { return media_->open("bad", 3); }},
		{EMEDIUMTYPE, [&] { return media_->open("bad", 1); }},
		{EMEDIUMTYPE, [&] { return media_->open("bad", 2); }},
		{EMEDIUMTYPE, [&] { return media_->open("bad", 4); }},
		{EOPNOTSUPP, [&] { return media_->open("lzo"); }},
	};
	for (const auto &r : refused)
		expect_error(r.call(), r.err, "case " + std::to_string(&r - refused));
	EXPECT_EQ(qor_stat(mid_, ("//dir///sub/" + std::string(QOR_PATH_MAX - 13, '/')).c_str(), &q), 0);
	EXPECT_TRUE(S_ISDIR(q.mode));
	EXPECT_EQ(qor_close(d.fd), 0) << "any descriptor closes with qor_close";
	expect_error(qor_close(d.fd), EBADF, "closed twice");
	d.fd = -1;

	Fd listed{qor_open_dir_by_handle(&dir), true}; // its listing is cached from now on
	std::vector<qor_file_handle> forged = {{text.media_id ^ 0x40000000, text.id, text.mode}};
	for (int32_t id : {0, -1, int32_t(files + 1), INT32_MAX, INT32_MIN})
		forged.push_back({text.media_id, id, text.mode});
	for (const qor_file_handle &h : {text, dir})
		for (mode_t bits : {01, 0100, 04000, 0200000, S_IFLNK ^ S_IFREG, S_IFDIR ^ S_IFREG})
			forged.push_back({h.media_id, h.id, h.mode ^ bits});
	for (qor_file_handle h : forged) {
		expect_error(qor_open_by_handle(&h), ESTALE, std::to_string(h.id) + " " + std::to_string(h.mode));
		expect_error(qor_open_dir_by_handle(&h), ESTALE, std::to_string(h.id) + " " + std::to_string(h.mode));
	}
	std::set<int32_t> regular, opened; // an id opens only with its object's mode
	for (const std::string &path : all_)
		if (lstat_of(path).st_mode == (S_IFREG | 0644))
			regular.insert(handle_of(path).id);
	for (int32_t id = 1; id <= int32_t(files); ++id) {
		qor_file_handle h{mid_, id, S_IFREG | 0644};
		Fd fd{qor_open_by_handle(&h)};
		EXPECT_TRUE(fd.fd >= 0 ? opened.insert(id).second : errno == ESTALE) << id;
	}
	EXPECT_EQ(opened, regular);
}

TEST_P(Media, ManyThreadsWalkListAndReadAtOnce)
{
	std::vector<std::string> files;
	std::copy_if(all_.begin(), all_.end(), std::back_inserter(files), [](auto &p) { return S_ISREG(lstat_of(p).st_mode); });
	std::atomic<int> errors{0};
	std::vector<std::thread> threads;
	for (unsigned t = 0; t < 4; ++t)
		threads.emplace_back([&, t] {
			std::vector<uint8_t> buf(4 * k_block);
			for (size_t i = t; i < files.size(); i += 2) {
				int again = media_->open(GetParam().name); // another reference comes and goes meanwhile
				std::string dir = "/" + parent(files[i]), name = files[i].substr(parent(files[i]).size());
				qor_file_handle dh{}, fh{};
				qor_dirent ent{};
				ent.reclen = sizeof(ent);
				errors += again != mid_ || qor_name_to_handle(mid_, dir.c_str(), &dh) != 0;
				int dfd = qor_open_dir_by_handle(&dh);
				for (int n = 0; n < 50 && qor_read_dir(dfd, &ent) > 0; ++n) {
				}
				errors += qor_name_to_handle_at(dfd, name.c_str() + (name[0] == '/'), &fh) != 0 || qor_close_dir(dfd) != 0;
				std::vector<uint8_t> want = read_file(src(files[i]));
				int fd = qor_open_by_handle(&fh);
				size_t expect = std::min(buf.size(), want.size());
				errors += qor_pread(fd, buf.data(), buf.size(), 0) != int64_t(expect) ||
					  !std::equal(buf.begin(), buf.begin() + expect, want.begin()) || qor_close(fd) != 0 ||
					  qor_close_media(again) != 0;
			}
		});
	for (auto &t : threads)
		t.join();
	EXPECT_EQ(errors.load(), 0);
}


TEST_P(Media, DataCacheHoldsWhatWasReadAndTheBlocksAheadOfAStream)
{
	if (std::string(GetParam().options).find("-noD") != std::string::npos)
		GTEST_SKIP() << "blocks stored as they are bypass the cache";
	const std::vector<uint8_t> data = read_file(src("stream"));
	const uint64_t blocks = data.size() / k_block, chunk = 65536;
	qor_file_handle fh = handle_of("stream");
	auto reset = [](uint64_t bound) { // nothing cached, no read-ahead running, counts from 0
		qor::Readahead_pool::instance().stop();
		qor::Readahead_pool::instance().resume();
		qor::data_cache().clear();
		return qor_set_data_cache_size(bound);
	};
	// Threads on one descriptor, each reading front to back, then at random.
	auto read_with = [&](int fd, unsigned threads, int random_reads) {
		std::atomic<int> wrong{0};
		std::vector<std::thread> ts;
		for (unsigned t = 0; t < threads; ++t)
			ts.emplace_back([&, t] {
				std::mt19937 rng(t);
				std::vector<uint8_t> buf(chunk);
				for (int64_t i = -int64_t(blocks * k_block / chunk); i < random_reads; ++i) {
					size_t off = i < 0 ? data.size() + i * chunk : rng() % (data.size() - chunk);
					wrong += qor_pread(fd, buf.data(), chunk, off) != int64_t(chunk) ||
						 !std::equal(buf.begin(), buf.end(), data.begin() + off);
				}
			});
		for (auto &t : ts)
			t.join();
		return wrong.load();
	};
	std::vector<uint8_t> buf(256 << 10);
	std::set<size_t> touched;
	std::mt19937 rng(1);
	ASSERT_EQ(reset(64u << 20), 0);
	for (Fd random{qor_open_by_handle(&fh)}; touched.size() < 500;) {
		size_t off = rng() % blocks * k_block;
		touched.insert(off);
		ASSERT_EQ(qor_pread(random.fd, buf.data(), k_block, off), int64_t(k_block));
		ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + k_block, data.begin() + off));
	}
	EXPECT_EQ(qor::data_cache().stats().loads, touched.size()) << "read-ahead for random reads";

	ASSERT_EQ(reset(64u << 20), 0);
	Fd stream{qor_open_by_handle(&fh)};
	for (size_t off = 0; off < 3 * chunk; off += chunk)
		ASSERT_EQ(qor_pread(stream.fd, buf.data(), chunk, off), int64_t(chunk));
	// The third read in a row queues the next 256 KiB for the pool.
	const uint64_t read = 3 * chunk / k_block, ahead = buf.size() / k_block;
	for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
	     qor::data_cache().stats().loads < read + ahead && std::chrono::steady_clock::now() < end;)
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	qor::Data_cache_stats before = qor::data_cache().stats();
	ASSERT_EQ(before.loads, read + ahead) << "blocks decompressed ahead of the reader";
	ASSERT_EQ(qor_pread(stream.fd, buf.data(), buf.size(), 3 * chunk), int64_t(buf.size()));
	EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin() + 3 * chunk));
	EXPECT_EQ(qor::data_cache().stats().hits - before.hits, ahead) << "the reader decompressed them again";

	for (uint64_t bound : {uint64_t(256) << 10, uint64_t(0)}) {
		ASSERT_EQ(reset(bound), 0);
		EXPECT_EQ(read_with(Fd{qor_open_by_handle(&fh)}.fd, 3, 300), 0);
		EXPECT_LE(qor::data_cache().stats().peak, qor_data_cache_size());
		EXPECT_GT(qor::data_cache().stats().loads, blocks) << "blocks evicted and read again";
	}
	ASSERT_EQ(reset(64u << 20), 0);
	EXPECT_EQ(read_with(stream.fd, 6, 0), 0);
	EXPECT_EQ(qor::data_cache().stats().loads, blocks) << "concurrent readers decompress each block once";
	qor::Readahead_pool::instance().stop(); // its tasks hold the descriptor
	EXPECT_GT(qor::data_cache().stats().bytes, 0u);
	ASSERT_EQ(qor_close_media(mid_), 0);
	ASSERT_EQ(qor_close(std::exchange(stream.fd, -1)), 0); // the medium's last reference
	EXPECT_EQ(qor::data_cache().stats().bytes, 0u) << "a closed medium's blocks stay cached";
	mid_ = media_->open(GetParam().name);
}

TEST_P(Media, MediaIdsFollowTheImageAndReferencesAreCounted)
{
	const int id = mid_;
	qor_stat_t st;
	qor_file_handle fh = handle_of("text_4096"), other{};
	Fd fd{qor_open_by_handle(&fh)};
	EXPECT_EQ(media_->open(GetParam().name), id) << "one more reference";
	EXPECT_EQ(qor_close_media(id), 0);
	EXPECT_EQ(qor_stat(id, "/", &st), 0) << "one reference is left";
	EXPECT_EQ(qor_close_media(id), 0);
	expect_error(qor_stat(id, "/", &st), EBADF, "closed medium");
	expect_error(qor_close_media(id), EBADF, "closed twice");
	std::vector<uint8_t> want = read_file(src("text_4096")), got(want.size());
	EXPECT_EQ(qor_pread(fd.fd, got.data(), got.size(), 0), int64_t(got.size()));
	EXPECT_EQ(got, want) << "a descriptor outlives its medium";

	fs::create_directories(media_->path + "/copy");
	fs::copy_file(media_->image(GetParam().name), media_->image("copy"), fs::copy_options::overwrite_existing);
	int copy = media_->open("copy");
	ASSERT_EQ(qor_name_to_handle(copy, "/text_4096", &other), 0);
	EXPECT_TRUE(copy != id && other.id == fh.id) << "another image, another medium id";
	EXPECT_EQ(qor_close_media(copy), 0);
	expect_error(qor_open_by_handle(&other), ESTALE, "a handle of a closed medium");
	pack(GetParam(), src("dir"), media_->path + "/copy/new");
	fs::rename(media_->path + "/copy/new", media_->image("copy"));
	EXPECT_NE(copy = media_->open("copy"), other.media_id) << "a replaced image gets another id";
	expect_error(qor_open_by_handle(&other), ESTALE, "a handle of the image replaced");

	qor_c_fini(); // stands for a restarted server
	expect_error(qor_fstat(fd.fd, &st), EBADF, "a descriptor after fini");
	expect_error(qor_stat(copy, "/", &st), EBADF, "a medium after fini");
	fd.fd = -1;
	qor_c_init();
	EXPECT_EQ(mid_ = media_->open(GetParam().name), id) << "the same image gets the same id again";
}

uint64_t le(const std::vector<uint8_t> &img, size_t at, int bytes = 8)
{
	uint64_t v = 0;
	for (int i = bytes - 1; i >= 0; --i)
		v = v << 8 | img.at(at + i);
	return v;
}

// Superblock fields.
constexpr size_t k_root_ref_at = 32, k_bytes_used_at = 40, k_inode_table_at = 64, k_dir_table_at = 72,
		 k_export_table_at = 88;

// Every call a client would make: each answer is sane or a plausible failure.
void explore(const qor_file_handle &dh, int depth)
{
	auto plausible = [](const char *what) {
		EXPECT_TRUE((std::set<int>{EIO, ENOENT, ENOTDIR, EISDIR, ESTALE, EINVAL, ENOMEM, EOPNOTSUPP}.count(errno)))
			<< what << ": " << strerror(errno);
	};
	Fd dir{qor_open_dir_by_handle(&dh), true};
	if (dir.fd < 0)
		return plausible("open dir");
	qor_dirent ent{};
	ent.reclen = sizeof(ent);
	std::vector<uint8_t> buf(QOR_PATH_MAX + 3 * k_block);
	for (int n = 0; n < 4000 && qor_read_dir(dir.fd, &ent) > 0; ++n) {
		qor_file_handle fh;
		qor_stat_t st{};
		if (qor_name_to_handle_at(dir.fd, ent.name, &fh) != 0 || qor_fstat_at(dir.fd, ent.name, &st) != 0) {
			plausible("entry");
		} else if (S_ISDIR(fh.mode)) {
			if (depth < 8)
				explore(fh, depth + 1);
		} else if (Fd fd{qor_open_by_handle(&fh)}; fd.fd < 0 || qor_fstat(fd.fd, &st) != 0) {
			plausible("open");
		} else {
			for (int64_t off : {int64_t(0), int64_t(k_block - 1), st.size / 2, st.size - 1})
				if (S_ISREG(st.mode) && qor_pread(fd.fd, buf.data(), buf.size(), std::max<int64_t>(off, 0)) < 0)
					plausible("pread");
			EXPECT_TRUE(!S_ISLNK(st.mode) || qor_readlink(fd.fd, (char *)buf.data(), QOR_PATH_MAX) <= QOR_PATH_MAX);
		}
	}
}

TEST_P(Media, CorruptedAndTruncatedImagesFailCleanly)
{
	const std::vector<uint8_t> good = read_file(media_->image(GetParam().name));
	const size_t meta = le(good, k_inode_table_at), end = le(good, k_bytes_used_at);
	std::mt19937 rng(12345);
	int opened = 0;
	for (int variant = 0; variant < 40; ++variant) {
		std::vector<uint8_t> bad = good;
		if (variant % 10 == 9)
			bad.resize(rng() % good.size());
		else // mostly the metadata, where every size and position is read
			for (int flips = 1 + rng() % 4; flips > 0; --flips)
				bad[variant % 3 == 0 ? rng() % good.size() : meta + rng() % (end - meta)] ^= 1u << rng() % 8;
		std::string minor = "bad" + std::to_string(variant);
		int id = media_->put(minor, bad);
		fs::remove(media_->image(minor));
		qor_file_handle root;
		if (id < 0)
			EXPECT_TRUE((std::set<int>{EIO, EMEDIUMTYPE, EOPNOTSUPP, ENOMEM}.count(errno))) << minor << ": " << strerror(errno);
		else if (++opened && qor_name_to_handle(id, "/", &root) == 0)
			explore(root, 0);
		EXPECT_TRUE(id < 0 || qor_close_media(id) == 0);
	}
	EXPECT_GT(opened, 0) << "some damage leaves the medium readable";
}

INSTANTIATE_TEST_SUITE_P(Images, Media, testing::ValuesIn(k_recipes), recipe_name);

TEST(Damaged, InodesAndRootReferencesReadAsEio)
{
	// Each object's mtime appears nowhere else in the stored image: its inode
	// is found by it and changed in place.
	Media_dir media;
	const std::string src = media.src + "/";
	ASSERT_TRUE(run("cd " + quote(src) + " && head -c 5096 /dev/urandom >file && truncate -s 65536 sparse && "
			"ln -s target link && mkdir dir && echo x >attrs && "
			"touch -h -d @1515870720 file && touch -h -d @1515870721 sparse && "
			"touch -h -d @1515870722 link && touch -h -d @1515870723 dir && touch -h -d @1515870724 attrs"));
	ASSERT_EQ(setxattr((src + "attrs").c_str(), "trusted.qor", "1", 1, 0), 0) << strerror(errno);
	qor_c_init();
	std::vector<uint8_t> good = read_file(pack(k_stored, src, media.image("good")));
	size_t at[5] = {};
	for (size_t i = 8; i + 4 <= good.size(); ++i)
		if (le(good, i, 4) - 1515870720 < 5)
			at[le(good, i, 4) - 1515870720] = i - 8;
	const size_t file = at[0], sparse = at[1], link = at[2], dir = at[3], table = le(good, k_inode_table_at) + 2;
	ASSERT_TRUE(le(good, file, 2) == SQFS_INODE_FILE && le(good, sparse, 2) == SQFS_INODE_EXT_FILE &&
		    le(good, link, 2) == SQFS_INODE_SLINK && le(good, dir, 2) == SQFS_INODE_DIR &&
		    le(good, at[4], 2) == SQFS_INODE_EXT_FILE);
	// The root's entry of "dir": position, inode number less the listing's base, type, name length - 1, name.
	const uint8_t dir_entry[] = {SQFS_INODE_DIR, 0, 2, 0, 'd', 'i', 'r'};
	const size_t delta = std::search(good.begin() + le(good, k_dir_table_at), good.end(), dir_entry, dir_entry + 7) -
			     good.begin() - 2;
	const uint32_t base = le(good, dir + 12, 4) - int16_t(le(good, delta, 2));
	const struct {
		const char *what;
		std::vector<std::array<uint64_t, 3>> writes; // position, value, bytes
		const char *probe; // nullptr: the medium itself is refused
	} damages[] = {
		{"root reference into an inode", {{k_root_ref_at, file + 4 - table, 8}}, nullptr},
		{"root reference past the block's data", {{k_root_ref_at, 0x1fff, 8}}, nullptr},
		{"root reference to a file", {{k_root_ref_at, file - table, 8}}, nullptr},
		{"size of a file (4 GiB of blocks)", {{file + 28, 0xffffffff, 4}}, "/file"},
		{"fragment of a file's tail", {{file + 20, 0x7fffffff, 4}}, "/file"},
		{"data position of a file", {{file + 16, 0xfffffff0, 4}}, "/file"},
		{"size of an extended file (petabytes of blocks)", {{sparse + 24, uint64_t(1) << 60, 8}}, "/file"},
		{"extended attributes of an extended file", {{sparse + 52, 0x7fffffff, 4}}, "/file"},
		{"target size of a link", {{link + 20, 0xfffffff0, 4}}, "/file"},
		{"inode type", {{link, 0x77, 2}}, "/file"},
		{"inode number", {{link + 12, 0x7fffffff, 4}}, "/file"},
		{"listing position of a directory", {{dir + 16, 0x7fffffff, 4}}, "/file"},
		{"a directory and its entry numbered 0", {{delta, uint16_t(-base), 2}, {dir + 12, 0, 4}}, "/dir/x"},
	};
	// An allocation by a damaged size must fail, not be overcommitted unnoticed.
	struct rlimit saved, low;
	long pages = 0;
	std::ifstream("/proc/self/statm") >> pages;
	getrlimit(RLIMIT_AS, &saved);
	low = saved;
	low.rlim_cur = uint64_t(pages) * sysconf(_SC_PAGESIZE) + (uint64_t(1) << 30);
	ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
	for (const auto &d : damages) {
		std::vector<uint8_t> bad = good;
		for (auto [pos, value, bytes] : d.writes)
			for (uint64_t i = 0; i < bytes; ++i)
				bad.at(pos + i) = uint8_t(value >> (8 * i));
		int id = media.put("d" + std::to_string(&d - damages), bad);
		qor_stat_t st;
		expect_error(d.probe ? qor_stat(id, d.probe, &st) : id, EIO, d.what);
	}
	setrlimit(RLIMIT_AS, &saved);
	qor_file_handle fh;
	qor_stat_t st;
	int id = media.open("good");
	ASSERT_EQ(qor_name_to_handle(id, "/attrs", &fh), 0) << "the undamaged image reads: " << strerror(errno);
	EXPECT_EQ(qor_close(qor_open_by_handle(&fh)), 0);
	expect_error(qor_stat(id, "/dir/x", &st), ENOENT, "the undamaged directory is empty");
	qor_c_fini();
}

TEST(Data_cache, FailedOrThrowingLoadsAreNotKeptAndReleaseTheirKey)
{
	qor::Data_cache cache(16);
	cache.set_capacity(2u << 20); // 16 shards would each be smaller than one block
	int calls = 0;
	auto load = [&](int rc) {
		return [&calls, rc](qor::Block_ptr &out) {
			out = std::make_shared<qor::Block>(128 << 10);
			return ++calls, rc;
		};
	};
	qor::Block_ptr b;
	for (int i = 0; i < 3; ++i)
		ASSERT_EQ(cache.get(qor::Cache_key{1, 5}, load(0), b), 0);
	EXPECT_EQ(cache.get(qor::Cache_key{1, 6}, load(-EIO), b), -EIO);
	EXPECT_EQ(cache.get(qor::Cache_key{1, 6}, load(-EIO), b), -EIO);
	EXPECT_EQ(calls, 3) << "a small cache still caches; a failure is not kept";
	auto throwing = [](qor::Block_ptr &) -> int { throw std::bad_alloc(); };
	EXPECT_THROW(cache.get(qor::Cache_key{1, 7}, throwing, b), std::bad_alloc);
	EXPECT_FALSE(cache.contains(qor::Cache_key{1, 7})) << "nobody loads it any more, yet readers would wait";
	EXPECT_EQ(cache.get(qor::Cache_key{1, 7}, load(0), b), 0);
	EXPECT_TRUE(cache.contains(qor::Cache_key{1, 5}) && !cache.contains(qor::Cache_key{2, 5}));
}

} // namespace
