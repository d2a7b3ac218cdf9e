/*
 * Media access library: read-only access to backup media through integer
 * media ids, 12-byte file handles and descriptors, in the manner of POSIX files.
 *
 * A medium is the SquashFS image DIR/MINOR_RESOURCE_ID/SEQ.sqfs.
 *
 * Every call returns a value below 0 on failure, with errno set.
 * All calls are thread-safe; several qor_pread calls may run at once on one
 * descriptor.
 */
#ifndef QOR_H
#define QOR_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status of an object on a medium. offset and channel_num are stored, never read. */
typedef struct qor_stat {
	mode_t mode;
	off_t size;
	time_t mtime;
	time_t atime;
	time_t ctime;
	off_t offset;
	size_t channel_num;
} qor_stat_t;

/* An object's persistent name, copied byte for byte into NFS handles.
 * id is the object's inode number on the medium (1 to its total files); mode
 * is the object's whole mode, type and permission bits. Handles from clients
 * are untrusted: a handle that names nothing on its medium, or whose bytes
 * differ in any way from the object's handle, fails with ESTALE. */
typedef struct qor_file_handle {
	int32_t media_id;
	int32_t id;
	mode_t mode;
} qor_file_handle;

#define QOR_NAME_MAX 255
#define QOR_PATH_MAX 4096

typedef struct qor_dirent {
	qor_stat_t stat;
	int reclen;		/* set to sizeof(qor_dirent) by the caller */
	uint64_t cookie;	/* >= 3; qor_seek_dir(cookie) resumes after this entry */
	char name[QOR_NAME_MAX + 1];
} qor_dirent;

int qor_c_init(void);
int qor_c_fini(void);

/* Bound in bytes of the cache of decompressed file data, shared by all media;
 * 0 caches nothing. QOR_DATA_CACHE_DEFAULT (the size until this is called):
 * a quarter of the memory the process may use (the smaller of physical memory
 * and the limit of its cgroups), at most 4 GiB. A bound above that memory is
 * lowered to it. A smaller bound evicts at once. While memory is short the
 * cache holds a quarter of its bound. */
#define QOR_DATA_CACHE_DEFAULT UINT64_MAX
int qor_set_data_cache_size(uint64_t bytes);
uint64_t qor_data_cache_size(void);

/* Opens DIR/MINOR_RESOURCE_ID/SEQ.sqfs; returns its media id (>= 0). Opening an
 * open medium again returns the same id and counts a reference. The id depends
 * only on the image's path and metadata: the same image gets the same id in
 * every process, a replaced image another one.
 * Errors: EFAULT null argument; ENOENT, ENOTDIR bad DIR; EINVAL minor resource
 * id not a single path component; ENOMEDIUM no such image; EISDIR image is a
 * directory; EMEDIUMTYPE not SquashFS; EOPNOTSUPP unsupported compressor;
 * EIO damaged image. An unknown media id below fails with EBADF. */
int qor_open_media(const char *dir, const char *minor_resource_id, uint32_t seq);
int qor_media_stat(int media_id, uint64_t *total_bytes, uint64_t *total_files);
int qor_close_media(int media_id);

/* Paths are relative to the medium's root ("" or "/" is the root). */
int qor_name_to_handle(int media_id, const char *path, qor_file_handle *fh);
int qor_stat(int media_id, const char *path, qor_stat_t *st);

/* Sets bit i (bits[i / 64] >> (i % 64) & 1) for the inode number i of every
 * object at or below the directory at path, the directory included, and clears
 * every other bit. nbits must exceed the medium's last inode number (its total
 * files, qor_media_stat). A file with hard links inside and outside is marked:
 * bits name objects, not names. ENOTDIR when path is not a directory, EINVAL
 * when nbits is too small, EIO for a damaged medium. */
int qor_subtree_inodes(int media_id, const char *path, uint64_t *bits, size_t nbits);

/* Descriptor of a regular file, symbolic link or special file (EISDIR for a
 * directory); qor_open_dir_by_handle gives ENOTDIR for anything else. Open
 * descriptors stay usable after their medium is closed. */
int qor_open_by_handle(const qor_file_handle *fh);
int qor_open_dir_by_handle(const qor_file_handle *fh);
int qor_fstat(int fd, qor_stat_t *st);

/* name is one entry of the directory; "" gives the directory itself and ".."
 * the directory that lists it (ENOENT for the medium's root). "." fails with
 * ENOENT, names containing '/' with EINVAL. */
int qor_fstat_at(int dirfd, const char *name, qor_stat_t *st);
int qor_name_to_handle_at(int dirfd, const char *name, qor_file_handle *fh);

/* > 0: entry filled; 0: end of directory; < 0: error. */
int qor_read_dir(int dirfd, qor_dirent *ent);
/* The next qor_read_dir continues after the entry that carried cookie; 0 rewinds. */
int qor_seek_dir(int dirfd, uint64_t cookie);
int qor_close_dir(int dirfd);

/* Copies at most size bytes of the link's target (no NUL written) and returns
 * their count, as readlink(2) does: a result equal to size means the target may
 * have been cut short. EINVAL for anything but a symbolic link. */
int qor_readlink(int fd, char *buf, size_t size);
/* Bytes read; fewer than count means end of data. EISDIR for a directory,
 * EINVAL for other non-regular files; EIO when the medium is damaged (a read
 * never reports a damaged block as a short read). */
int64_t qor_pread(int fd, void *buf, size_t count, int64_t offset);
/* Closes a descriptor of either kind. */
int qor_close(int fd);

#ifdef __cplusplus
}
#endif

#endif /* QOR_H */
