// The media library on images packed by the real tools from one source tree,
// each answer checked against the tree itself; damaged images.
#include <gtest/gtest.h>

#include <sqfs/inode.h>
#include <sys/resource.h>
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
#include "image.h"
#include "memory_watch.h"
#include "qor.h"
#include "readahead.h"
#include "registry.h"

namespace {

namespace fs = std::filesystem;
constexpr size_t k_block = 4096; // of the test images: boundaries are cheap

bool run(const std::string &command) { return std::system(command.c_str()) == 0; }

std::string quote(std::string s)
{
	for (size_t i = 0; (i = s.find('\'', i)) != s.npos; i += 4)
		s.replace(i, 1, "'\\''");
	return "'" + s + "'";
}

// MEDIA/MINOR/SEQ.sqfs and a source tree in a temporary directory (in memory:
// trees of thousands of files build much faster there).
struct Media_dir {
	Media_dir()
	{
		const char *env = getenv("TMPDIR");
		std::string base = env && *env ? env : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
		std::error_code ignored;
		for (const fs::directory_entry &e : fs::directory_iterator(base)) { // left by a test that crashed
			pid_t pid = 0;
			sscanf(e.path().c_str() + base.size(), "/qor-test.%d.", &pid);
			if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
				fs::remove_all(e.path(), ignored);
		}
		top = base + "/qor-test." + std::to_string(getpid()) + ".XXXXXX";
		if (!mkdtemp(top.data()) || mkdir((src = top + "/src").c_str(), 0755) != 0)
			throw std::runtime_error("no temporary directory");
	}
	~Media_dir() { fs::remove_all(top); }
	std::string image(const std::string &minor) const { return top + "/media/" + minor + "/1.sqfs"; }
	int open(const std::string &minor, int seq = 1) const
	{
		return qor_open_media((top + "/media").c_str(), minor.c_str(), seq);
	}
	int put(const std::string &minor, const std::vector<uint8_t> &bytes) const
	{
		fs::create_directories(top + "/media/" + minor);
		std::ofstream(image(minor), std::ios::binary).write((const char *)bytes.data(), bytes.size());
		return open(minor);
	}
	std::string top, src;
};

std::vector<uint8_t> read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Every file type, the block-boundary sizes as noise and as text, holes,
// hard links, the longest name and link target, setuid, 3000 entries in one
// directory, 16 MiB to stream with an incompressible block among every 16,
// distinct mtimes up to the last SquashFS holds.
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
put('dir/sub/deep/leaf', b'leaf ' * 2500, 0o640); put('dir/setuid', b'x', 0o4755)
put('dir/hard_a', os.urandom(8201), 0o600); os.link('dir/hard_a', 'dir/hard_b')
put('n' * 255, b'long name'); os.mkfifo('fifo', 0o620)
for target, name in [('text_1', 'link'), ('sub/deep/leaf', 'dir/link_up'), ('t' * 4095, 'long'), ('/no', 'dir/abs')]:
    os.symlink(target, name)
for i in range(3000): put('big/entry-%05d' % (i * 7919 % 3000), bytes([i % 256]))
put('stream', b''.join(os.urandom(4096) if i % 16 == 5 else b'block %06d ' % i * 315 + b'.' for i in range(4096)))
for i, p in enumerate(sorted(os.path.join(d, n) for d, ds, fs in os.walk('.') for n in ds + fs)):
    os.utime(p, (0, 4000000000 if p == './text_1' else 1234567890 + 3600 * i), follow_symlinks=False)
os.utime('.', (0, 1500000000))
EOF)"))
		throw std::runtime_error("build_tree");
}

struct Image_recipe {
	const char *name;    // a name starting with "tar" is packed by tar2sqfs, else by mksquashfs
	const char *options; // appended to the tool's command line
};
const Image_recipe k_recipes[] = {
	{"gzip", "-comp gzip"},
	{"zstd_no_fragments", "-comp zstd -no-fragments"},
	{"xz", "-comp xz"},
	{"stored", "-noI -noD -noF -noX"},
	{"lz4_tailends_no_exports", "-comp lz4 -always-use-fragments -no-exports"},
	{"tar_zstd", "-e -c zstd"},
	{"tar_no_exports", "-c lz4"},
};

std::string pack(const Image_recipe &r, const std::string &root, const std::string &image)
{
	std::string options = " -b " + std::to_string(k_block) + " " + r.options + " ", cmd;
	if (strncmp(r.name, "tar", 3) == 0)
		cmd = "tar -C " + quote(root) + " -S --format=gnu -cf - . | tar2sqfs -qf -j1" + options + quote(image);
	else
		cmd = "mksquashfs " + quote(root) + " " + quote(image) + " -noappend -quiet -processors 1" + options;
	fs::create_directories(fs::path(image).parent_path());
	if (!run(cmd + " >/dev/null"))
		throw std::runtime_error("packing failed: " + cmd);
	return image;
}

void expect_error(int64_t rc, int err, const std::string &what)
{
	EXPECT_TRUE(rc == -1 && errno == err) << what << ": " << rc << ", " << strerror(errno);
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
		build_tree((media_ = new Media_dir)->src);
		all_ = {""};
		for (const fs::directory_entry &e : fs::recursive_directory_iterator(media_->src))
			all_.push_back(e.path().lexically_relative(media_->src));
		std::sort(all_.begin(), all_.end());
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

	static std::string parent(const std::string &p) { return fs::path(p).parent_path(); }
	static std::string src(const std::string &rel) { return media_->src + "/" + rel; }
	static struct stat lstat_of(const std::string &rel) { struct stat s{}; return lstat(src(rel).c_str(), &s), s; }
	qor_file_handle handle_of(const std::string &rel) const
	{
		qor_file_handle fh{};
		EXPECT_EQ(qor_name_to_handle(mid_, ("/" + rel).c_str(), &fh), 0) << rel << ": " << strerror(errno);
		return fh;
	}
	static void expect_same(const qor_stat_t &q, const std::string &rel)
	{
		struct stat s = lstat_of(rel);
		EXPECT_TRUE(q.mode == s.st_mode && q.mtime == s.st_mtime && q.atime == q.mtime && q.ctime == q.mtime &&
			    (q.size == s.st_size || S_ISDIR(s.st_mode) || S_ISFIFO(s.st_mode)))
			<< rel << ": mode " << q.mode << " size " << q.size << " mtime " << q.mtime;
	}
	void check_object(const std::string &p, int32_t &id);
	void check_directory(const std::string &d, int fd);
	void check_data(const std::string &f, int fd);

	static inline Media_dir *media_;
	static inline std::vector<std::string> all_; // the tree's paths, "" its root, sorted
	int mid_ = -1;
};

void Media::check_directory(const std::string &d, int fd)
{
	qor_file_handle self = handle_of(d), fh{};
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
		expect_same(qor_fstat_at(fd, ent.name, &q) == 0 ? q : qor_stat_t{}, rel);
		ASSERT_EQ(qor_name_to_handle_at(fd, ent.name, &fh), 0) << rel;
		EXPECT_TRUE(fh.id == handle_of(rel).id && strcmp(ent.name, ent2.name) == 0) << rel;
		names.push_back(ent.name);
		cookies.push_back(ent.cookie);
	}
	ASSERT_EQ(rc, 0) << strerror(errno);
	for (const std::string &p : all_)
		if (!p.empty() && parent(p) == d)
			expected.push_back(p.substr(d.empty() ? 0 : d.size() + 1));
	EXPECT_EQ(names, expected) << "entries of /" << d << " in byte order";
	for (size_t i = 0; i <= names.size() + 3; ++i) { // 0, 1 and 2 rewind; then each cookie; then past the end
		uint64_t cookie = i < 3 ? i : i - 3 < cookies.size() ? cookies[i - 3] : UINT64_MAX;
		size_t next = i < 3 ? 0 : i - 2;
		ASSERT_EQ(qor_seek_dir(fd, cookie), 0);
		ASSERT_EQ(qor_read_dir(fd, &ent), next < names.size() ? 1 : 0) << "after cookie " << cookie;
		EXPECT_TRUE(next >= names.size() || names[next] == ent.name) << "after cookie " << cookie;
	}
	EXPECT_TRUE(qor_name_to_handle_at(fd, "", &fh) == 0 && memcmp(&fh, &self, sizeof(fh)) == 0) << d;
	bool up = qor_name_to_handle_at(fd, "..", &fh) == 0; // the root has no parent
	EXPECT_TRUE(d.empty() ? !up && errno == ENOENT : up && fh.id == handle_of(parent(d)).id) << d << "/..";
	if (!d.empty())
		expect_same(qor_fstat_at(fd, "..", &q) == 0 ? q : qor_stat_t{}, parent(d));
	std::vector<uint64_t> bits(all_.size() / 64 + 1, ~uint64_t(0)), want(bits.size());
	ASSERT_EQ(qor_subtree_inodes(mid_, ("/" + d).c_str(), bits.data(), bits.size() * 64), 0) << d;
	for (const std::string &p : all_)
		if (d.empty() || p == d || p.compare(0, d.size() + 1, d + "/") == 0)
			want[handle_of(p).id / 64] |= uint64_t(1) << handle_of(p).id % 64;
	EXPECT_EQ(bits, want) << "objects at or below /" << d;
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
			ASSERT_EQ(qor_pread(fd, got.data(), count, off), expect) << f << " at " << off << ": " << count;
			EXPECT_TRUE(std::equal(got.begin(), got.begin() + expect, data.begin() + off) &&
				    std::all_of(got.begin() + expect, got.end(), [](uint8_t c) { return c == 0xa5; }))
				<< f << " at " << off << " count " << count;
		}
	int64_t n;
	while ((n = qor_pread(fd, buf.data(), buf.size(), all.size())) > 0)
		all.insert(all.end(), buf.begin(), buf.begin() + n);
	EXPECT_TRUE(n == 0 && all == data) << f;
	EXPECT_EQ(qor_pread(fd, buf.data(), 1, INT64_MAX), 0);
	EXPECT_EQ(qor_pread(fd, nullptr, 0, 0), 0) << "nothing to read needs no buffer";
}

void Media::check_object(const std::string &p, int32_t &id)
{
	struct stat s = lstat_of(p);
	qor_stat_t q{};
	expect_same(qor_stat(mid_, p.c_str(), &q) == 0 ? q : qor_stat_t{}, p);
	qor_file_handle fh = handle_of(p);
	EXPECT_TRUE(fh.media_id == mid_ && (id = fh.id) >= 1 && fh.mode == s.st_mode) << p;
	Fd fd{S_ISDIR(s.st_mode) ? qor_open_dir_by_handle(&fh) : qor_open_by_handle(&fh), S_ISDIR(s.st_mode)};
	ASSERT_GE(fd.fd, 0) << p << ": " << strerror(errno);
	expect_same(qor_fstat(fd.fd, &q) == 0 ? q : qor_stat_t{}, p);
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

TEST_P(Media, EveryObjectMatchesTheSourceTreeWalkedByFourThreadsAtOnce)
{
	std::vector<int32_t> ids(all_.size());
	std::vector<std::thread> threads;
	for (size_t t = 0; t < 4; ++t)
		threads.emplace_back([&, t] {
			for (size_t i = t; i < all_.size(); i += 4) {
				int again = media_->open(GetParam().name); // another reference comes and goes meanwhile
				check_object(all_[i], ids[i]);
				EXPECT_TRUE(again == mid_ && qor_close_media(again) == 0);
			}
		});
	for (auto &t : threads)
		t.join();
	std::map<ino_t, int32_t> by_inode; // hard links share the handle; nothing else does
	for (size_t i = 0; i < all_.size(); ++i)
		EXPECT_EQ(by_inode.emplace(lstat_of(all_[i]).st_ino, ids[i]).first->second, ids[i]) << all_[i];
	uint64_t bytes = 0, files = 0;
	ASSERT_EQ(qor_media_stat(mid_, &bytes, &files), 0);
	EXPECT_TRUE(files == by_inode.size() && files == std::set<int32_t>(ids.begin(), ids.end()).size() &&
		    fs::file_size(media_->image(GetParam().name)) - bytes < 4096);
}

TEST_P(Media, RefusedCallsFailWithTheirErrnoAndForgedHandlesAreStale)
{
	qor_stat_t q{};
	uint64_t bits[64], bytes, files;
	qor_file_handle fh{}, dir = handle_of("dir"), text = handle_of("text_1");
	Fd f{qor_open_by_handle(&text)}, d{qor_open_dir_by_handle(&dir), true};
	ASSERT_TRUE(f.fd >= 0 && d.fd >= 0 && qor_media_stat(mid_, &bytes, &files) == 0) << strerror(errno);
	qor_dirent ent{};
	ent.reclen = sizeof(ent) - 1;
	media_->put("bad", std::vector<uint8_t>(100, 'q'));
	if (access(media_->image("lzo").c_str(), F_OK) != 0)
		pack({"lzo", "-comp lzo"}, src("dir"), media_->image("lzo"));
	const struct {
		int err;
		std::function<int64_t()> call;
	} refused[] = {
		{ENOTDIR, [&] { return qor_stat(mid_, "/dir/link_up/", &q); }}, // links are never followed
		{ENAMETOOLONG, [&] { return qor_stat(mid_, ("/" + std::string(256, 'n')).c_str(), &q); }},
		{ENAMETOOLONG, [&] { return qor_stat(mid_, std::string(QOR_PATH_MAX, '/').c_str(), &q); }},
		{ENOENT, [&] { return qor_name_to_handle_at(d.fd, ".", &fh); }},
		{EINVAL, [&] { return qor_fstat_at(d.fd, "sub/deep", &q); }},
		{ENOTDIR, [&] { return qor_fstat_at(f.fd, "x", &q); }},
		{EFAULT, [&] { return qor_name_to_handle_at(d.fd, "sub", nullptr); }},
		{EINVAL, [&] { return qor_read_dir(d.fd, &ent); }},
		{EINVAL, [&] { return qor_pread(f.fd, bits, 1, -1); }},
		{EISDIR, [&] { return qor_pread(d.fd, bits, 1, 0); }},
		{EISDIR, [&] { return qor_open_by_handle(&dir); }},
		{ENOTDIR, [&] { return qor_subtree_inodes(mid_, "/text_1", bits, 64 * 64); }},
		{EINVAL, [&] { return qor_subtree_inodes(mid_, "/", bits, files); }}, // no bit for the last inode
		{EINVAL, [&] { return media_->open(".."); }},
		{ENOMEDIUM, [&] { return media_->open("bad", 2); }},
		{EMEDIUMTYPE, [&] { return media_->open("bad", 1); }},
		{EOPNOTSUPP, [&] { return media_->open("lzo"); }},
	};
	for (const auto &r : refused)
		expect_error(r.call(), r.err, "case " + std::to_string(&r - refused));
	EXPECT_TRUE(qor_stat(mid_, ("//dir///sub/" + std::string(QOR_PATH_MAX - 13, '/')).c_str(), &q) == 0 &&
		    q.mode == lstat_of("dir/sub").st_mode);
	EXPECT_EQ(qor_close(d.fd), 0) << "any descriptor closes with qor_close";
	expect_error(qor_close(std::exchange(d.fd, -1)), EBADF, "closed twice");

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

TEST_P(Media, DataCacheHoldsTheBlocksAheadOfAStreamAndStaysWithinItsBound)
{
	if (strstr(GetParam().options, "-noD"))
		GTEST_SKIP() << "blocks stored as they are bypass the cache";
	const std::vector<uint8_t> data = read_file(src("stream"));
	const uint64_t blocks = data.size() / k_block, chunk = 65536, read = 3 * chunk / k_block, ahead = 64;
	qor_file_handle fh = handle_of("stream");
	auto reset = [](uint64_t bound) { // nothing cached, no read-ahead running, counts from 0
		qor::Readahead_pool::instance().stop();
		qor::Readahead_pool::instance().resume();
		qor::data_cache().clear();
		return qor_set_data_cache_size(bound);
	};
	ASSERT_EQ(reset(64u << 20), 0);
	Fd stream{qor_open_by_handle(&fh)};
	const uint64_t requests = qor::Image_file::requests();
	std::vector<uint8_t> buf(ahead * k_block);
	for (size_t off = 0; off < 3 * chunk; off += chunk) { // the third read in a row queues the next 256 KiB
		ASSERT_EQ(qor_pread(stream.fd, buf.data(), chunk, off), int64_t(chunk));
		EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + chunk, data.begin() + off));
	}
	for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
	     qor::data_cache().stats().loads < read + ahead && std::chrono::steady_clock::now() < end;)
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	qor::Cache_stats before = qor::data_cache().stats();
	ASSERT_EQ(before.loads, read + ahead) << "blocks decompressed ahead of the reader";
	EXPECT_LE(qor::Image_file::requests() - requests, (read + ahead) / 8) << "runs of blocks, not each block";
	ASSERT_EQ(qor_pread(stream.fd, buf.data(), buf.size(), 3 * chunk), int64_t(buf.size()));
	EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin() + 3 * chunk));
	EXPECT_EQ(qor::data_cache().stats().hits - before.hits, ahead) << "the reader decompressed them again";

	for (uint64_t bound : {uint64_t(64) << 20, uint64_t(256) << 10, uint64_t(0)}) {
		ASSERT_EQ(reset(bound), 0);
		Fd fd{qor_open_by_handle(&fh)};
		std::atomic<int> wrong{0};
		std::vector<std::thread> threads;
		for (unsigned t = 0; t < 4; ++t) // front to back on one descriptor, at random after a bound
			threads.emplace_back([&, t] {
				std::mt19937 rng(t);
				std::vector<uint8_t> got(chunk);
				for (int64_t i = -int64_t(data.size() / chunk); i < (bound > 1u << 20 ? 0 : 300); ++i) {
					size_t off = i < 0 ? data.size() + i * chunk : rng() % (data.size() - chunk);
					wrong += qor_pread(fd.fd, got.data(), chunk, off) != int64_t(chunk) ||
						 !std::equal(got.begin(), got.end(), data.begin() + off);
				}
			});
		for (auto &t : threads)
			t.join();
		uint64_t loads = qor::data_cache().stats().loads, hits = qor::data_cache().stats().hits;
		EXPECT_TRUE(wrong == 0 && qor::data_cache().stats().peak <= bound);
		EXPECT_TRUE(bound > 1u << 20 ? loads == blocks : loads > blocks)
			<< "decompressed once for all readers, else evicted and read again";
		for (size_t off = data.size(); bound < 1u << 20 && off > 0; off -= k_block) // backwards: no read-ahead
			ASSERT_EQ(qor_pread(fd.fd, buf.data(), k_block, off - k_block), int64_t(k_block));
		EXPECT_LE(qor::data_cache().stats().hits - hits, 2 * bound / k_block) // read-ahead may still add some
			<< "more blocks held than the bound holds";
	}
}

TEST_P(Media, CachesGiveMemoryBackUnderPressureAndWhenTheMediumIsIdle)
{
	const std::vector<uint8_t> data = read_file(src("stream"));
	qor_file_handle fh = handle_of("stream");
	qor::Data_cache &cache = qor::data_cache();
	qor::Memory_watch &watch = qor::Memory_watch::instance();
	std::shared_ptr<const qor::Medium> medium = qor::Media_table::instance().find(mid_);
	const uint64_t bound = 16u << 20, now = qor::monotonic_seconds();
	ASSERT_EQ(qor_set_data_cache_size(bound), 0);
	Fd fd{qor_open_by_handle(&fh)};
	std::atomic<int> wrong{0};
	auto read_all = [&](unsigned seed) { // front to back, then at random
		std::mt19937 rng(seed);
		std::vector<uint8_t> got(65536);
		for (size_t i = 0, off = 0; i < data.size() / got.size() + 100; ++i, off = rng() % (data.size() - got.size()))
			wrong += qor_pread(fd.fd, got.data(), got.size(), off) != int64_t(got.size()) ||
				 !std::equal(got.begin(), got.end(), data.begin() + off);
	};
	read_all(0);
	std::thread during(read_all, 1);
	watch.pressure(now);
	EXPECT_TRUE(cache.bound() == bound / 4 && cache.stats().bytes <= bound / 4) << "short of memory";
	watch.tick(now + qor::Memory_watch::k_calm_seconds - 1);
	EXPECT_EQ(cache.bound(), bound / 4) << "grows only when the pressure is gone";
	during.join();
	std::thread after(read_all, 2);
	watch.tick(now + qor::Memory_watch::k_calm_seconds);
	after.join();
	EXPECT_TRUE(cache.bound() == bound && wrong == 0);

	qor::Readahead_pool::instance().stop(); // no block decompressed ahead comes in late
	qor::Readahead_pool::instance().resume();
	watch.tick(qor::monotonic_seconds() + qor::Memory_watch::k_idle_seconds);
	EXPECT_TRUE(medium->pooled_workers() == 0 && cache.stats().bytes == 0) << "the idle medium keeps nothing";
	read_all(3);
	EXPECT_EQ(wrong, 0) << "read again after its idle period";
}

TEST_P(Media, MediaIdsFollowTheImageAndReferencesAreCounted)
{
	const int id = mid_;
	qor_stat_t st;
	qor_file_handle fh = handle_of("text_4096"), other{};
	Fd fd{qor_open_by_handle(&fh)};
	EXPECT_EQ(media_->open(GetParam().name), id) << "one more reference";
	EXPECT_TRUE(qor_close_media(id) == 0 && qor_stat(id, "/", &st) == 0) << "one reference is left";
	EXPECT_EQ(qor_close_media(id), 0);
	expect_error(qor_stat(id, "/", &st), EBADF, "closed medium");
	std::vector<uint8_t> want = read_file(src("text_4096")), got(want.size());
	EXPECT_TRUE(qor_pread(fd.fd, got.data(), got.size(), 0) == int64_t(got.size()) && got == want)
		<< "a descriptor outlives its medium";

	int copy = media_->put("copy", read_file(media_->image(GetParam().name)));
	ASSERT_EQ(qor_name_to_handle(copy, "/text_4096", &other), 0);
	EXPECT_TRUE(copy != id && other.id == fh.id) << "another image, another medium id";
	EXPECT_EQ(qor_close_media(copy), 0);
	expect_error(qor_open_by_handle(&other), ESTALE, "a handle of a closed medium");
	fs::rename(pack(GetParam(), src("dir"), media_->top + "/media/copy/new"), media_->image("copy"));
	EXPECT_TRUE((copy = media_->open("copy")) >= 0 && copy != other.media_id) << "a replaced image, another id";
	expect_error(qor_open_by_handle(&other), ESTALE, "a handle of the image replaced");

	qor_c_fini(); // stands for a restarted server
	expect_error(qor_fstat(std::exchange(fd.fd, -1), &st), EBADF, "a descriptor after fini");
	expect_error(qor_stat(copy, "/", &st), EBADF, "a medium after fini");
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

constexpr size_t k_root_ref_at = 32, k_inode_table_at = 64, k_dir_table_at = 72;

INSTANTIATE_TEST_SUITE_P(Images, Media, testing::ValuesIn(k_recipes), [](auto &info) { return info.param.name; });

TEST(Damaged, InodesAndRootReferencesReadAsEio)
{
	// Each object's mtime is unique in the stored image: it marks the inode to change in place.
	Media_dir media;
	ASSERT_TRUE(run("cd " + quote(media.src) + " && head -c 5096 /dev/urandom >file && truncate -s 65536 sparse && "
			"ln -s target link && mkdir dir && echo x >attrs && touch -h -d @1515870720 file && "
			"touch -h -d @1515870721 sparse && touch -h -d @1515870722 link && touch -d @1515870723 dir && "
			"mkdir zzz && cd zzz && seq -f f%05g 10000 | xargs touch")); // 320 KB of inodes, after the others
	ASSERT_EQ(setxattr((media.src + "/attrs").c_str(), "trusted.qor", "1", 1, 0), 0) << strerror(errno);
	qor_c_init();
	std::vector<uint8_t> good = read_file(pack(k_recipes[3], media.src, media.image("good")));
	size_t at[4] = {};
	for (size_t i = 8; i + 4 <= good.size(); ++i)
		if (le(good, i, 4) - 1515870720 < 4)
			at[le(good, i, 4) - 1515870720] = i - 8;
	const size_t file = at[0], sparse = at[1], link = at[2], dir = at[3], table = le(good, k_inode_table_at) + 2;
	ASSERT_TRUE(le(good, file, 2) == SQFS_INODE_FILE && le(good, sparse, 2) == SQFS_INODE_EXT_FILE &&
		    le(good, link, 2) == SQFS_INODE_SLINK && le(good, dir, 2) == SQFS_INODE_DIR);
	// The root's entry of "dir": position, inode number less the listing's base, type, name length - 1, name.
	const uint8_t entry[] = {SQFS_INODE_DIR, 0, 2, 0, 'd', 'i', 'r'};
	const size_t delta = std::search(good.begin() + le(good, k_dir_table_at), good.end(), entry, entry + 7) -
			     good.begin() - 2;
	const uint32_t base = le(good, dir + 12, 4) - int16_t(le(good, delta, 2));
	const struct {
		const char *what;
		std::vector<std::array<uint64_t, 3>> writes; // position, value, bytes
		const char *probe;                           // nullptr: the medium itself is refused
	} damages[] = {
		{"root reference into an inode", {{k_root_ref_at, file + 4 - table, 8}}, nullptr},
		{"root reference past the block's data", {{k_root_ref_at, 0x1fff, 8}}, nullptr},
		{"root reference to a file", {{k_root_ref_at, file - table, 8}}, nullptr},
		{"inode count the inode table cannot hold", {{4, (le(good, k_dir_table_at) - table) * 100, 4}}, nullptr},
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
	// An allocation by a damaged size (or count) must fail, not be overcommitted unnoticed.
	struct rlimit saved, low;
	long pages = 0;
	std::ifstream("/proc/self/statm") >> pages;
	ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
	low = {rlim_t(pages * sysconf(_SC_PAGESIZE) + (128l << 20)), saved.rlim_max};
	ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
	qor_file_handle fh;
	qor_stat_t st;
	for (const auto &d : damages) {
		std::vector<uint8_t> bad = good;
		for (auto [pos, value, bytes] : d.writes)
			for (uint64_t i = 0; i < bytes; ++i)
				bad.at(pos + i) = uint8_t(value >> (8 * i));
		int id = media.put("d" + std::to_string(&d - damages), bad);
		expect_error(d.probe ? qor_stat(id, d.probe, &st) : id, EIO, d.what);
	}
	setrlimit(RLIMIT_AS, &saved);
	int id = media.open("good");
	EXPECT_TRUE(qor_name_to_handle(id, "/attrs", &fh) == 0 && qor_close(qor_open_by_handle(&fh)) == 0)
		<< "the undamaged image, with extended attributes: " << strerror(errno);
	expect_error(qor_stat(id, "/dir/x", &st), ENOENT, "the undamaged directory is empty");
	// Two names of one length swapped in the root's listing: out of order, each names the other's object.
	std::vector<uint8_t> swapped = good;
	for (auto [from, to] : {std::pair{"file", "link"}, {"link", "file"}})
		memcpy(&swapped[std::search(good.begin() + table, good.end(), from, from + 4) - good.begin()], to, 4);
	id = media.put("swapped", swapped);
	EXPECT_TRUE(qor_stat(id, "/file", &st) == 0 && S_ISLNK(st.mode) && qor_stat(id, "/link", &st) == 0 &&
		    S_ISREG(st.mode));
	qor_c_fini();
}

// A tar stream can carry names no directory entry holds: they are left out, the others listed.
TEST(Damaged, NamesLongerThanADirentHoldAreLeftOut)
{
	Media_dir media;
	ASSERT_TRUE(run("python3 - " + quote(media.src + "/t.tar") + R"( <<'EOF'
import io, sys, tarfile
with tarfile.open(sys.argv[1], 'w', format=tarfile.GNU_FORMAT) as t:
    for name in ('ok', 'x' * 300, 'd/', 'd/' + 'y' * 256, 'd/' + 'z' * 255):
        i = tarfile.TarInfo('./' + name.rstrip('/'))
        i.type, i.mode = (tarfile.DIRTYPE, 0o755) if name.endswith('/') else (tarfile.REGTYPE, 0o644)
        t.addfile(i, io.BytesIO(b''))
EOF)"));
	ASSERT_TRUE(run("mkdir -p " + quote(media.top + "/media/t") + " && tar2sqfs -qf -c lz4 " +
			quote(media.image("t")) + " <" + quote(media.src + "/t.tar") + " >/dev/null"));
	qor_c_init();
	int id = media.open("t");
	ASSERT_GE(id, 0) << strerror(errno);
	std::string listed;
	for (const char *dir : {"/", "/d"}) {
		qor_file_handle fh{};
		ASSERT_EQ(qor_name_to_handle(id, dir, &fh), 0) << strerror(errno);
		Fd fd{qor_open_dir_by_handle(&fh), true};
		qor_dirent ent{};
		ent.reclen = sizeof(ent);
		while (qor_read_dir(fd.fd, &ent) > 0)
			listed += std::string(ent.name) + " ";
	}
	EXPECT_EQ(listed, "d ok " + std::string(255, 'z') + " ");
	qor_c_fini();
}

// Cgroup lists and file systems made up in a directory, then a real cgroup.
TEST(Memory, TheSmallestLimitOfTheCgroupsAndTheirAncestorsSizesTheDataCache)
{
	Media_dir d;
	auto put = [&](const std::string &rel, const std::string &text) {
		fs::create_directories(fs::path(d.top + "/" + rel).parent_path());
		std::ofstream(d.top + "/" + rel) << text;
	};
	put("fs/memory/memory.limit_in_bytes", "9223372036854771712\n");
	put("fs/memory/a/memory.limit_in_bytes", "805306368\n");
	put("fs/memory/a/b/memory.limit_in_bytes", "900000000\n");
	put("fs/unified/cgroup.controllers", "memory\n");
	put("fs/unified/a/memory.max", "max\n");
	put("fs/unified/a/memory.high", "600000000\n");
	put("fs/unified/a/b/memory.max", "700000000\n");
	const std::pair<const char *, uint64_t> lists[] = {
		{"4:memory:/a/b\n1:cpu:/\n", 805306368}, {"0::/a/b\n", 600000000},
		{"3:cpu,memory:/a/b\n0::/a/b/\n", 600000000}, {"4:memory:/a/../a\n0::/b/../a\n4:blkio:/a\n", UINT64_MAX}};
	for (auto [list, limit] : lists) {
		put("cgroup", list);
		EXPECT_EQ(qor::cgroup_memory_limit(d.top + "/cgroup", d.top + "/fs"), limit) << list;
	}
	qor::Pressure_trigger trigger;
	EXPECT_TRUE(access("/proc/pressure/memory", F_OK) != 0 || trigger.arm("/proc/pressure/memory") == 0)
		<< "a trigger this kernel takes, also without CAP_SYS_RESOURCE";
	std::ifstream self("/proc/self/cgroup");
	std::string line, dir;
	while (std::getline(self, line))
		if (line.find(":memory:/") != line.npos)
			dir = "/sys/fs/cgroup/memory" + line.substr(line.find(":/") + 1) + "/qor-test." + std::to_string(getpid());
	if (dir.empty() || mkdir(dir.c_str(), 0755) != 0)
		GTEST_SKIP() << "no cgroup v1 memory controller to make a cgroup in";
	std::shared_ptr<void> rmdir_at_end(nullptr, [&](void *) { rmdir(dir.c_str()); });
	std::ofstream(dir + "/memory.limit_in_bytes") << (768u << 20);
	int out[2];
	ASSERT_EQ(pipe(out), 0);
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) { // in the cgroup, sizes with the default and with a bound too large
		std::ofstream(dir + "/cgroup.procs") << getpid();
		uint64_t sizes[2];
		qor_set_data_cache_size(QOR_DATA_CACHE_DEFAULT);
		sizes[0] = qor_data_cache_size();
		qor_set_data_cache_size(UINT64_MAX - 1);
		sizes[1] = qor_data_cache_size();
		_exit(write(out[1], sizes, sizeof(sizes)) == sizeof(sizes) ? 0 : 1);
	}
	close(out[1]);
	uint64_t sizes[2] = {};
	EXPECT_EQ(read(out[0], sizes, sizeof(sizes)), ssize_t(sizeof(sizes)));
	close(out[0]);
	waitpid(child, nullptr, 0);
	EXPECT_TRUE(sizes[0] == (192u << 20) && sizes[1] == (768u << 20)) << sizes[0] << " " << sizes[1];
}

TEST(Data_cache, ALoadThatThrowsReleasesItsBlock)
{
	qor::Data_cache cache(1u << 20, 1);
	qor::Block_ptr b;
	auto throwing = [](qor::Block_ptr &) -> int { throw std::bad_alloc(); };
	EXPECT_THROW(cache.get(qor::Cache_key{1, 7}, throwing, b), std::bad_alloc);
	ASSERT_FALSE(cache.contains(qor::Cache_key{1, 7})) << "nobody loads it any more, yet readers would wait";
}

} // namespace
