// libFuzzer: the input is an image; open it, list every directory, stat, read
// and follow every object, find every subtree. Any crash, leak, undefined
// behaviour, allocation above -malloc_limit_mb or timeout is a finding.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "qor.h"

namespace {

std::string media; // the input goes to MEDIA/f/1.sqfs

void walk(int mid, const std::string &path, const qor_file_handle &fh, int depth, unsigned &budget)
{
	int dir = qor_open_dir_by_handle(&fh);
	uint64_t bytes, files;
	if (dir < 0 || qor_media_stat(mid, &bytes, &files) < 0)
		return void(qor_close_dir(dir));
	std::vector<uint64_t> bits(files / 64 + 1);
	qor_subtree_inodes(mid, path.c_str(), bits.data(), bits.size() * 64);
	qor_dirent ent{};
	ent.reclen = sizeof(ent);
	qor_file_handle child{};
	qor_stat_t st{};
	static char buf[65536];
	while (budget > 0 && qor_read_dir(dir, &ent) > 0) {
		--budget;
		std::string sub = path + "/" + ent.name;
		if (qor_name_to_handle_at(dir, ent.name, &child) < 0 || qor_fstat_at(dir, ent.name, &st) < 0 ||
		    qor_stat(mid, sub.c_str(), &st) < 0)
			continue;
		if (S_ISDIR(child.mode) && depth < 16)
			walk(mid, sub, child, depth + 1, budget);
		int fd = S_ISDIR(child.mode) ? -1 : qor_open_by_handle(&child);
		if (fd < 0)
			continue;
		qor_fstat(fd, &st);
		qor_readlink(fd, buf, QOR_PATH_MAX);
		for (int64_t off = 0, n; off < (1 << 20) && (n = qor_pread(fd, buf, sizeof(buf), off)) > 0; off += n)
			;
		qor_close(fd);
	}
	qor_name_to_handle_at(dir, "..", &child);
	qor_fstat_at(dir, "..", &st);
	qor_seek_dir(dir, 3);
	qor_close_dir(dir);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	const char *dir = getenv("QOR_FUZZ_MEDIA"); // a directory with an empty f/ in it
	if (!dir)
		abort();
	media = dir;
	qor_set_data_cache_size(16 << 20); // stays within -rss_limit_mb
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string image = media + "/f/1.sqfs";
	int out = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	if (out < 0 || write(out, data, size) != static_cast<ssize_t>(size) || close(out) != 0)
		abort();
	qor_c_init();
	int mid = qor_open_media(media.c_str(), "f", 1);
	qor_file_handle root;
	unsigned budget = 10000;
	if (mid >= 0 && qor_name_to_handle(mid, "/", &root) == 0)
		walk(mid, "", root, 0, budget);
	qor_close_media(mid);
	qor_c_fini(); // nothing cached stays for the next input
	return 0;
}
