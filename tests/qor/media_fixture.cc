#include "media_fixture.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <signal.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

namespace qor_test {

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
const size_t k_recipe_count = sizeof(k_recipes) / sizeof(k_recipes[0]);

static void remove_tree(const std::string &path)
{
	nftw(
		path.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 64,
		FTW_DEPTH | FTW_PHYS);
}

// A test that crashed or was killed by a timeout cannot clean up after
// itself; the next one removes what such a process left behind.
static void sweep_leftovers(const std::string &base)
{
	DIR *d = opendir(base.c_str());
	if (!d)
		return;
	const std::string prefix = "qor-test.";
	while (struct dirent *e = readdir(d)) {
		std::string name = e->d_name;
		if (name.compare(0, prefix.size(), prefix) != 0)
			continue;
		pid_t owner = static_cast<pid_t>(atol(name.c_str() + prefix.size()));
		if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH)
			remove_tree(base + "/" + name);
	}
	closedir(d);
}

Temp_dir::Temp_dir()
{
	// Trees of thousands of small files build much faster in memory.
	const char *base = getenv("TMPDIR");
	struct stat shm;
	if (!base || !*base)
		base = stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) ? "/dev/shm" : "/tmp";
	sweep_leftovers(base);
	std::string tmpl = std::string(base) + "/qor-test." + std::to_string(getpid()) + ".XXXXXX";
	std::vector<char> buf(tmpl.begin(), tmpl.end());
	buf.push_back('\0');
	if (!mkdtemp(buf.data()))
		throw std::runtime_error("mkdtemp failed");
	path_ = buf.data();
}

Temp_dir::~Temp_dir() { remove_tree(path_); }

bool run(const std::string &command) { return std::system(command.c_str()) == 0; }

std::string quote(const std::string &s)
{
	std::string q = "'";
	for (char c : s)
		q += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return q + "'";
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed, bool compressible)
{
	std::vector<uint8_t> v(size);
	uint32_t x = seed * 2654435761u + 1;
	for (size_t i = 0; i < size; ++i) {
		x ^= x << 13;
		x ^= x >> 17;
		x ^= x << 5;
		v[i] = compressible ? static_cast<uint8_t>("backup media "[i % 13] + (i / 997) % 3) : static_cast<uint8_t>(x);
	}
	return v;
}

void write_file(const std::string &path, const std::vector<uint8_t> &data, mode_t mode)
{
	int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
	if (fd < 0 || (data.size() && ::write(fd, data.data(), data.size()) != ssize_t(data.size())))
		throw std::runtime_error("cannot write " + path);
	fchmod(fd, mode);
	::close(fd);
}

std::vector<uint8_t> read_file(const std::string &path)
{
	std::vector<uint8_t> data;
	FILE *f = fopen(path.c_str(), "rb");
	if (!f)
		throw std::runtime_error("cannot read " + path);
	uint8_t buf[65536];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		data.insert(data.end(), buf, buf + n);
	fclose(f);
	return data;
}

static void set_mtime(const std::string &path, time_t t)
{
	struct timeval tv[2] = {{t, 0}, {t, 0}};
	lutimes(path.c_str(), tv);
}

void build_tree(const std::string &root)
{
	const std::string r = root + "/";
	const size_t b = k_block;
	struct Sized {
		const char *name;
		size_t size;
		bool compressible;
	} files[] = {
		{"empty", 0, true},
		{"one", 1, false},
		{"block_minus_1", b - 1, false},
		{"block", b, true},
		{"block_plus_1", b + 1, false},
		{"text", 7 * b + 5, true},
		{"noise", 9 * b + 777, false},
		{"mixed_100k", 100000, true},
	};
	uint32_t seed = 1;
	for (const Sized &f : files)
		write_file(r + f.name, pattern(f.size, seed++, f.compressible));

	// Holes at the start, between data and at the end: stored as sparse blocks.
	{
		int fd = ::open((r + "sparse").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
		auto data = pattern(b + 10, 99, false);
		if (fd < 0 || pwrite(fd, data.data(), data.size(), 3 * b) != ssize_t(data.size()) ||
		    ftruncate(fd, 10 * b + 3) != 0)
			throw std::runtime_error("sparse");
		::close(fd);
	}

	mkdir((r + "dir").c_str(), 0750);
	mkdir((r + "dir/sub").c_str(), 0700);
	mkdir((r + "dir/sub/deep").c_str(), 0755);
	mkdir((r + "dir/empty_dir").c_str(), 0755);
	write_file(r + "dir/sub/deep/leaf", pattern(3 * b + 17, 7, true), 0640);
	write_file(r + "dir/setuid", pattern(10, 8, false), 04755);
	write_file(r + "dir/hard_a", pattern(2 * b + 9, 9, false), 0600);
	if (link((r + "dir/hard_a").c_str(), (r + "dir/hard_b").c_str()) != 0)
		throw std::runtime_error("link");
	write_file(r + std::string(255, 'n'), pattern(33, 10, false));
	if (symlink("text", (r + "link").c_str()) != 0 || symlink("dir/sub/deep/leaf", (r + "dir/link_up").c_str()) ||
	    symlink(std::string(4095, 't').c_str(), (r + "long_link").c_str()) != 0 ||
	    symlink("/nowhere/absolute", (r + "dir/abs_link").c_str()) != 0)
		throw std::runtime_error("symlink");
	if (mkfifo((r + "fifo").c_str(), 0620) != 0)
		throw std::runtime_error("mkfifo");

	mkdir((r + "big").c_str(), 0755);
	for (size_t i = 0; i < k_big_dir_entries; ++i) {
		char name[32];
		snprintf(name, sizeof(name), "entry-%05zu", (i * 7919) % k_big_dir_entries);
		write_file(r + "big/" + name, {static_cast<uint8_t>(i)});
	}

	time_t t = 1234567890;
	for (const std::string &p : walk(root))
		if (!p.empty())
			set_mtime(r + p, t += 3600);
	// 2106 is the last year a SquashFS mtime can hold.
	set_mtime(r + "one", 4000000000);
	set_mtime(root, 1500000000);
}

std::vector<std::string> walk(const std::string &root)
{
	static thread_local std::vector<std::string> *out;
	static thread_local size_t prefix;
	std::vector<std::string> paths;
	out = &paths;
	prefix = root.size();
	nftw(
		root.c_str(),
		[](const char *p, const struct stat *, int, struct FTW *) {
			std::string rel(p + prefix);
			if (!rel.empty())
				rel.erase(0, 1);
			out->push_back(rel);
			return 0;
		},
		64, FTW_PHYS);
	std::sort(paths.begin(), paths.end());
	return paths;
}

std::string pack(const Image_recipe &r, const std::string &root, const std::string &image)
{
	std::string dir = image.substr(0, image.rfind('/'));
	run("mkdir -p " + quote(dir));
	std::string cmd;
	if (std::string(r.tool) == "mksquashfs")
		cmd = "mksquashfs " + quote(root) + " " + quote(image) + " -noappend -quiet -no-progress -processors 1 -b " +
		      std::to_string(k_block) + " " + r.options + " >/dev/null";
	else
		cmd = "tar -C " + quote(root) + " --format=gnu -cf - . | tar2sqfs -q -f -j 1 -b " + std::to_string(k_block) +
		      " " + r.options + " " + quote(image) + " >/dev/null";
	if (!run(cmd))
		throw std::runtime_error("packing failed: " + cmd);
	return image;
}

} // namespace qor_test
