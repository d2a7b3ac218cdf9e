// The medium's image file as libsquashfs sees it, and the mapping of
// libsquashfs error codes to errno values.
#ifndef QOR_IMAGE_H
#define QOR_IMAGE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <sqfs/io.h>
#include <sys/types.h>

namespace qor {

// A read-only sqfs_file_t over a descriptor that we own (opened with
// O_CLOEXEC, which sqfs_open_file does not do). The sqfs_file_t must stay the
// first member: libsquashfs hands back the pointer we gave it.
class Image_file {
public:
	Image_file() = default;
	~Image_file();
	Image_file(const Image_file &) = delete;
	Image_file &operator=(const Image_file &) = delete;

	// 0 or a negative errno.
	int open(const std::string &path);

	sqfs_file_t *sqfs() { return &file_; }
	uint64_t size() const { return size_; }
	int fd() const { return fd_; }

	// Reads exactly len bytes at offset; 0 or a negative errno (EIO when the
	// range lies outside the image).
	int read_exact(uint64_t offset, void *buf, size_t len) const;
	// Reads len bytes at offset in as few requests to the store as it takes,
	// for a run of blocks: data points at them inside buf afterwards. 0 or a
	// negative errno, as read_exact.
	int read_run(uint64_t offset, size_t len, std::unique_ptr<uint8_t[]> &buf, const uint8_t *&data) const;

	// The bytes [begin, end) of the store that a run of len bytes at offset
	// is read as: widened to multiples of the largest logical block size of
	// common stores, as reads that bypass the page cache need.
	struct Span {
		uint64_t begin, end;
	};
	static Span direct_span(uint64_t offset, uint64_t len);

	// Read requests made of all images since the process started.
	static uint64_t requests() { return requests_.load(std::memory_order_relaxed); }

private:
	void open_direct(const std::string &path, dev_t dev, ino_t ino);
	int read_direct(uint64_t offset, size_t len, std::unique_ptr<uint8_t[]> &buf, const uint8_t *&data) const;

	sqfs_file_t file_{};
	int fd_ = -1;
	int direct_fd_ = -1; // the same file without the page cache, or -1
	uint64_t size_ = 0;
	static std::atomic<uint64_t> requests_;
};

// libsquashfs error code (negative) to a negative errno.
int sqfs_to_errno(int sqfs_err);

// Deterministic 64-bit hash, the same on every host and in every process.
class Hasher {
public:
	void add(const void *data, size_t len);
	void add_u64(uint64_t v);
	uint64_t value() const;

private:
	void mix(uint64_t word);
	uint64_t state_ = 0x6a09e667f3bcc909ULL;
	uint64_t length_ = 0;
	uint64_t pending_ = 0;
	unsigned pending_bytes_ = 0;
};

} // namespace qor

#endif
