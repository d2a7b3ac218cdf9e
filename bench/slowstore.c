// A slow store for the benchmarks: the files of one directory, read-only
// through FUSE, where every read request waits before it is served, as it
// would for a disk's seek or a network store's round trip. Requests may be
// served one at a time (one disk) or side by side (a network store). The
// kernel passes reads of up to 1 MiB in one request, as to a disk; the
// read-ahead of the mount is set by the caller through
// /sys/class/bdi/MAJ:MIN/read_ahead_kb.
//
// usage: slowstore SOURCE MOUNTPOINT [--delay-us=N] [--serial] [FUSE options]
//
// The file "/.slowstore" (not listed) reads as "requests N bytes B": the read
// requests served so far and their bytes; reading it is not counted.
#define FUSE_USE_VERSION 35

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <dirent.h>

#define STATS_PATH "/.slowstore"
#define MAX_REQUEST (1u << 20)

static struct {
	const char *source;
	unsigned delay_us;
	int serial;
	int source_fd;
	pthread_mutex_t lock; // held by the request being served when serial
	unsigned long long requests, bytes;
} store = {.lock = PTHREAD_MUTEX_INITIALIZER};

static const struct fuse_opt options[] = {
	{"--delay-us=%u", offsetof(__typeof__(store), delay_us), 0},
	{"--serial", offsetof(__typeof__(store), serial), 1},
	FUSE_OPT_END,
};

// Paths of the mount are relative to the source directory ("/" is ".").
static const char *relative(const char *path) { return path[1] ? path + 1 : "."; }

static void *ss_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
	conn->max_read = MAX_REQUEST;
	conn->max_write = MAX_REQUEST; // the kernel's max_pages follows it
	conn->max_readahead = MAX_REQUEST;
	cfg->kernel_cache = 1;   // pages stay cached across opens, as on a disk
	cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = 3600;
	return NULL;
}

static int ss_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
	(void)fi;
	if (strcmp(path, STATS_PATH) == 0) {
		memset(st, 0, sizeof(*st));
		st->st_mode = S_IFREG | 0444;
		st->st_nlink = 1;
		st->st_size = 4096;
		return 0;
	}
	return fstatat(store.source_fd, relative(path), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

static int ss_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t off, struct fuse_file_info *fi,
		      enum fuse_readdir_flags flags)
{
	(void)off, (void)fi, (void)flags;
	int fd = openat(store.source_fd, relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	DIR *dir = fd < 0 ? NULL : fdopendir(fd);
	if (!dir) {
		int err = errno;
		if (fd >= 0)
			close(fd);
		return -err;
	}
	for (struct dirent *e; (e = readdir(dir));)
		if (fill(buf, e->d_name, NULL, 0, 0))
			break;
	closedir(dir);
	return 0;
}

static int ss_open(const char *path, struct fuse_file_info *fi)
{
	if ((fi->flags & O_ACCMODE) != O_RDONLY)
		return -EROFS;
	if (strcmp(path, STATS_PATH) == 0) {
		fi->fh = (uint64_t)-1;
		fi->direct_io = 1;
		return 0;
	}
	int fd = openat(store.source_fd, relative(path), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0)
		return -errno;
	fi->fh = (uint64_t)fd;
	fi->keep_cache = 1;
	return 0;
}

static int read_stats(char *buf, size_t size, off_t off)
{
	char text[128];
	pthread_mutex_lock(&store.lock);
	int n = snprintf(text, sizeof(text), "requests %llu bytes %llu\n", store.requests, store.bytes);
	pthread_mutex_unlock(&store.lock);
	if (off >= n)
		return 0;
	size_t len = (size_t)(n - off) < size ? (size_t)(n - off) : size;
	memcpy(buf, text + off, len);
	return (int)len;
}

static void wait_as_the_store_would(void)
{
	struct timespec t = {.tv_sec = store.delay_us / 1000000, .tv_nsec = (store.delay_us % 1000000) * 1000L};
	while (nanosleep(&t, &t) != 0 && errno == EINTR) {
	}
}

static int ss_read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
	(void)path;
	if (fi->fh == (uint64_t)-1)
		return read_stats(buf, size, off);
	if (store.serial)
		pthread_mutex_lock(&store.lock);
	wait_as_the_store_would();
	ssize_t n = pread((int)fi->fh, buf, size, off);
	int err = errno;
	if (!store.serial)
		pthread_mutex_lock(&store.lock);
	if (n >= 0) {
		store.requests++;
		store.bytes += (unsigned long long)n;
	}
	pthread_mutex_unlock(&store.lock);
	return n < 0 ? -err : (int)n;
}

static int ss_release(const char *path, struct fuse_file_info *fi)
{
	(void)path;
	if (fi->fh != (uint64_t)-1)
		close((int)fi->fh);
	return 0;
}

static const struct fuse_operations operations = {
	.init = ss_init,
	.getattr = ss_getattr,
	.readdir = ss_readdir,
	.open = ss_open,
	.read = ss_read,
	.release = ss_release,
};

int main(int argc, char *argv[])
{
	struct fuse_args args = FUSE_ARGS_INIT(0, NULL);
	if (argc < 3) {
		fprintf(stderr, "usage: %s SOURCE MOUNTPOINT [--delay-us=N] [--serial] [FUSE options]\n", argv[0]);
		return 2;
	}
	store.source = argv[1];
	store.source_fd = open(store.source, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (store.source_fd < 0) {
		perror(store.source);
		return 1;
	}
	fuse_opt_add_arg(&args, argv[0]);
	for (int i = 2; i < argc; ++i)
		fuse_opt_add_arg(&args, argv[i]);
	fuse_opt_add_arg(&args, "-oro,max_read=1048576,default_permissions,allow_other,fsname=slowstore");
	if (fuse_opt_parse(&args, &store, options, NULL) != 0)
		return 2;
	int rc = fuse_main(args.argc, args.argv, &operations, NULL);
	fuse_opt_free_args(&args);
	return rc;
}
