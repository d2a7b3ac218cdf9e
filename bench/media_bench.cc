// Media library benchmark. Each figure is printed beside the plain system
// call that does the same job on the source tree, measured in the same run.
//
//   qor_media_bench tree DIR                 make the source tree
//   qor_media_bench run SRC MEDIA MINOR      measure DIR MEDIA/MINOR/1.sqfs
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <functional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "qor.h"

namespace {

constexpr int k_flat_entries = 100000;
constexpr int k_nested_dirs = 100, k_nested_entries = 1000;
constexpr size_t k_seq_bytes = 256u << 20;
constexpr size_t k_chunk = 128;

[[noreturn]] void die(const std::string &what)
{
	fprintf(stderr, "qor_media_bench: %s: %s\n", what.c_str(), strerror(errno));
	exit(1);
}

double seconds(const std::function<void()> &f)
{
	auto t0 = std::chrono::steady_clock::now();
	f();
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best of n runs: the figure least disturbed by other work on the machine.
double best_of(int n, const std::function<void()> &f)
{
	double best = 1e30;
	for (int i = 0; i < n; ++i)
		best = std::min(best, seconds(f));
	return best;
}

void report(const char *label, const char *what, double qor, const char *base_name, double base)
{
	printf("%-6s %-44s qor %9.2f ms   %-22s %9.2f ms   ratio %6.2f\n", label, what, qor * 1e3, base_name, base * 1e3,
	       qor / base);
	fflush(stdout);
}

void write_small(const std::string &path, int i)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0)
		die(path);
	std::string body = "entry " + std::to_string(i) + "\n";
	if (write(fd, body.data(), body.size()) < 0)
		die(path);
	close(fd);
}

int make_tree(const std::string &root)
{
	mkdir(root.c_str(), 0755);
	mkdir((root + "/flat").c_str(), 0755);
	char name[64];
	for (int i = 0; i < k_flat_entries; ++i) {
		snprintf(name, sizeof(name), "/flat/file-%06d", i);
		write_small(root + name, i);
	}
	mkdir((root + "/nested").c_str(), 0755);
	for (int d = 0; d < k_nested_dirs; ++d) {
		snprintf(name, sizeof(name), "/nested/d%03d", d);
		std::string dir = root + name;
		mkdir(dir.c_str(), 0755);
		for (int i = 0; i < k_nested_entries; ++i) {
			snprintf(name, sizeof(name), "/f%04d", i);
			write_small(dir + name, i);
		}
	}
	// Text-like data that compresses about 2:1.
	std::vector<char> block(1 << 20);
	std::mt19937 rng(7);
	int fd = open((root + "/sequential.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0)
		die("sequential.bin");
	for (size_t done = 0; done < k_seq_bytes; done += block.size()) {
		for (size_t i = 0; i < block.size(); ++i)
			block[i] = (rng() & 1) ? "backup"[i % 6] : char('a' + rng() % 26);
		if (write(fd, block.data(), block.size()) != ssize_t(block.size()))
			die("sequential.bin");
	}
	close(fd);
	return 0;
}

std::vector<std::string> *g_paths;
size_t g_prefix;

std::vector<std::string> all_paths(const std::string &root)
{
	std::vector<std::string> paths;
	g_paths = &paths;
	g_prefix = root.size();
	nftw(
		root.c_str(),
		[](const char *p, const struct stat *, int, struct FTW *) {
			g_paths->push_back(p + g_prefix);
			return 0;
		},
		32, FTW_PHYS);
	return paths;
}

struct Bench {
	std::string src, media, minor;
	int mid = -1;

	void open_medium()
	{
		mid = qor_open_media(media.c_str(), minor.c_str(), 1);
		if (mid < 0)
			die("open " + minor);
	}

	void stat_every_file(const std::vector<std::string> &paths)
	{
		struct stat s;
		qor_stat_t q;
		auto by_qor = [&] {
			for (const std::string &p : paths)
				if (qor_stat(mid, p.c_str(), &q) != 0)
					die("qor_stat " + p);
		};
		auto by_stat = [&] {
			for (const std::string &p : paths)
				if (lstat((src + p).c_str(), &s) != 0)
					die("lstat " + p);
		};
		double cold = seconds(by_qor);
		double base = best_of(3, by_stat);
		report(minor.c_str(), "stat every path, first pass", cold, "lstat(2)", base);
		report(minor.c_str(), "stat every path, cached listings", best_of(3, by_qor), "lstat(2)", base);
	}

	void open_time(const std::vector<std::string> &paths)
	{
		qor_close_media(mid);
		double open = best_of(5, [&] {
			int id = qor_open_media(media.c_str(), minor.c_str(), 1);
			if (id < 0)
				die("reopen");
			qor_close_media(id);
		});
		struct stat s;
		double walk = best_of(3, [&] {
			for (const std::string &p : paths)
				lstat((src + p).c_str(), &s);
		});
		char what[80];
		snprintf(what, sizeof(what), "open a %zu-object medium", paths.size());
		report(minor.c_str(), what, open, "lstat of every path", walk);
		open_medium();
	}

	// A listing as the NFS plug-in reads it: one stream per request of 128
	// entries, positioned by the cookie of the last entry handed out.
	void listing_resume()
	{
		qor_file_handle fh;
		if (qor_name_to_handle(mid, "/flat", &fh) != 0)
			die("flat");
		qor_dirent ent;
		ent.reclen = sizeof(ent);
		size_t count = 0;
		auto one_pass = [&] {
			int dir = qor_open_dir_by_handle(&fh);
			count = 0;
			while (qor_read_dir(dir, &ent) > 0)
				++count;
			qor_close_dir(dir);
		};
		auto chunked = [&] {
			uint64_t cookie = 0;
			size_t total = 0;
			for (;;) {
				int dir = qor_open_dir_by_handle(&fh);
				if (cookie)
					qor_seek_dir(dir, cookie);
				size_t n = 0;
				while (n < k_chunk && qor_read_dir(dir, &ent) > 0) {
					cookie = ent.cookie;
					++n;
				}
				qor_close_dir(dir);
				total += n;
				if (n < k_chunk)
					break;
			}
			if (total != count)
				die("chunked listing lost entries");
		};
		one_pass();
		char what[80];
		snprintf(what, sizeof(what), "list %zu entries in chunks of %zu", count, k_chunk);
		report(minor.c_str(), what, best_of(3, chunked), "qor in one pass", best_of(3, one_pass));
	}

	void reads()
	{
		qor_file_handle fh;
		if (qor_name_to_handle(mid, "/sequential.bin", &fh) != 0)
			die("sequential.bin");
		int fd = qor_open_by_handle(&fh);
		int plain = open((src + "/sequential.bin").c_str(), O_RDONLY | O_CLOEXEC);
		if (fd < 0 || plain < 0)
			die("open sequential.bin");
		std::vector<char> buf(1 << 20);
		auto seq_qor = [&] {
			for (size_t off = 0; off < k_seq_bytes; off += buf.size())
				if (qor_pread(fd, buf.data(), buf.size(), off) != int64_t(buf.size()))
					die("qor_pread");
		};
		auto seq_plain = [&] {
			for (size_t off = 0; off < k_seq_bytes; off += buf.size())
				if (pread(plain, buf.data(), buf.size(), off) != ssize_t(buf.size()))
					die("pread");
		};
		seq_plain();
		report(minor.c_str(), "read 256 MiB sequentially, 1 MiB reads", best_of(3, seq_qor), "pread(2)",
		       best_of(3, seq_plain));

		std::vector<size_t> offsets(20000);
		std::mt19937_64 rng(3);
		for (size_t &o : offsets)
			o = rng() % (k_seq_bytes - 4096);
		auto rnd_qor = [&] {
			for (size_t o : offsets)
				if (qor_pread(fd, buf.data(), 4096, o) != 4096)
					die("qor_pread");
		};
		auto rnd_plain = [&] {
			for (size_t o : offsets)
				if (pread(plain, buf.data(), 4096, o) != 4096)
					die("pread");
		};
		report(minor.c_str(), "20000 random 4 KiB reads", best_of(3, rnd_qor), "pread(2)", best_of(3, rnd_plain));
		qor_close(fd);
		close(plain);
	}
};

} // namespace

int main(int argc, char **argv)
{
	if (argc == 3 && std::string(argv[1]) == "tree")
		return make_tree(argv[2]);
	if (argc != 5 || std::string(argv[1]) != "run") {
		fprintf(stderr, "usage: qor_media_bench tree DIR | run SRC MEDIA MINOR\n");
		return 2;
	}
	qor_c_init();
	Bench b{argv[2], argv[3], argv[4]};
	std::vector<std::string> paths = all_paths(b.src);
	b.open_medium();
	b.stat_every_file(paths);
	b.open_time(paths);
	b.listing_resume();
	b.reads();
	qor_close_media(b.mid);
	qor_c_fini();
	return 0;
}
