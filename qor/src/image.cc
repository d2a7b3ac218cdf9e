#include "image.h"

#include <cerrno>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqfs/error.h>

namespace qor {

namespace {

// The largest logical block size of common stores.
constexpr uint64_t k_direct_align = 4096;

Image_file *self(sqfs_file_t *f) { return reinterpret_cast<Image_file *>(f); }
const Image_file *self(const sqfs_file_t *f) { return reinterpret_cast<const Image_file *>(f); }

int sqfs_read_at(sqfs_file_t *f, sqfs_u64 offset, void *buf, size_t len)
{
	int rc = self(f)->read_exact(offset, buf, len);
	if (rc == -EIO)
		return SQFS_ERROR_OUT_OF_BOUNDS;
	return rc < 0 ? SQFS_ERROR_IO : 0;
}

int sqfs_write_at(sqfs_file_t *, sqfs_u64, const void *, size_t) { return SQFS_ERROR_UNSUPPORTED; }
sqfs_u64 sqfs_get_size(const sqfs_file_t *f) { return self(f)->size(); }
int sqfs_truncate(sqfs_file_t *, sqfs_u64) { return SQFS_ERROR_UNSUPPORTED; }
// The object is owned by C++; libsquashfs never destroys a file it is handed.
void sqfs_destroy_nothing(sqfs_object_t *) {}

} // namespace

std::atomic<uint64_t> Image_file::requests_{0};

Image_file::~Image_file()
{
	if (fd_ >= 0)
		::close(fd_);
	if (direct_fd_ >= 0)
		::close(direct_fd_);
}

// Runs of blocks are read through a second descriptor that bypasses the page
// cache: the page cache's read-ahead cuts every read into pieces of the
// store's read_ahead_kb (128 KiB on a disk by default), one request each, and
// the decompressed blocks are cached by the data cache anyway. Where the file
// system refuses O_DIRECT, runs are read like everything else.
void Image_file::open_direct(const std::string &path, dev_t dev, ino_t ino)
{
	direct_fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
	struct stat st;
	if (direct_fd_ >= 0 && (fstat(direct_fd_, &st) != 0 || st.st_dev != dev || st.st_ino != ino)) {
		::close(direct_fd_); // replaced in between: not our image
		direct_fd_ = -1;
	}
}

int Image_file::open(const std::string &path)
{
	fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd_ < 0)
		return -errno;
	struct stat st;
	if (fstat(fd_, &st) != 0)
		return -errno;
	if (S_ISDIR(st.st_mode))
		return -EISDIR;
	if (!S_ISREG(st.st_mode))
		return -EMEDIUMTYPE;
	size_ = static_cast<uint64_t>(st.st_size);
	open_direct(path, st.st_dev, st.st_ino);
	file_.base.destroy = sqfs_destroy_nothing;
	file_.base.copy = nullptr;
	file_.read_at = sqfs_read_at;
	file_.write_at = sqfs_write_at;
	file_.get_size = sqfs_get_size;
	file_.truncate = sqfs_truncate;
	return 0;
}

int Image_file::read_exact(uint64_t offset, void *buf, size_t len) const
{
	if (offset > size_ || len > size_ - offset)
		return -EIO;
	auto *p = static_cast<char *>(buf);
	while (len > 0) {
		requests_.fetch_add(1, std::memory_order_relaxed);
		ssize_t n = ::pread(fd_, p, len, static_cast<off_t>(offset));
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return -errno;
		}
		if (n == 0)
			return -EIO; // the image shrank under us
		p += n;
		len -= static_cast<size_t>(n);
		offset += static_cast<uint64_t>(n);
	}
	return 0;
}

int Image_file::read_run(uint64_t offset, size_t len, std::unique_ptr<uint8_t[]> &buf, const uint8_t *&data) const
{
	if (offset > size_ || len > size_ - offset)
		return -EIO;
	if (direct_fd_ >= 0 && read_direct(offset, len, buf, data) == 0)
		return 0;
	buf.reset(new uint8_t[len]);
	data = buf.get();
	return read_exact(offset, buf.get(), len);
}

Image_file::Span Image_file::direct_span(uint64_t offset, uint64_t len)
{
	constexpr uint64_t align = k_direct_align;
	return {offset & ~(align - 1), (offset + len + align - 1) & ~(align - 1)};
}

// Offsets, lengths and the buffer aligned for O_DIRECT; 0, or a negative errno
// after which the caller reads through the page cache instead.
int Image_file::read_direct(uint64_t offset, size_t len, std::unique_ptr<uint8_t[]> &buf, const uint8_t *&data) const
{
	constexpr uint64_t align = k_direct_align;
	uint64_t end = offset + len;
	Span whole = direct_span(offset, len);
	uint64_t begin = whole.begin, span = whole.end - whole.begin;
	buf.reset(new uint8_t[span + align]); // not zeroed: every byte used is read
	auto *base = reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(buf.get()) + align - 1) & ~(align - 1));
	uint64_t got = 0;
	while (begin + got < end) {
		requests_.fetch_add(1, std::memory_order_relaxed);
		ssize_t n = ::pread(direct_fd_, base + got, span - got, static_cast<off_t>(begin + got));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0 || (begin + got + n < end && n % align != 0))
			return n < 0 ? -errno : -EIO;
		got += static_cast<uint64_t>(n);
	}
	data = base + (offset - begin);
	return 0;
}

int sqfs_to_errno(int sqfs_err)
{
	switch (sqfs_err) {
	case SQFS_ERROR_ALLOC:
		return -ENOMEM;
	case SQFS_ERROR_UNSUPPORTED:
	case SFQS_ERROR_SUPER_VERSION:
		return -EOPNOTSUPP;
	case SFQS_ERROR_SUPER_MAGIC:
		return -EMEDIUMTYPE;
	case SQFS_ERROR_NOT_DIR:
		return -ENOTDIR;
	case SQFS_ERROR_NO_ENTRY:
		return -ENOENT;
	case SQFS_ERROR_LINK_LOOP:
		return -ELOOP;
	case SQFS_ERROR_ARG_INVALID:
	case SQFS_ERROR_SEQUENCE:
	case SQFS_ERROR_NOT_FILE:
		return -EINVAL;
	default:
		return -EIO;
	}
}

namespace {
constexpr uint64_t k_mul1 = 0x9e3779b97f4a7c15ULL;
constexpr uint64_t k_mul2 = 0xbf58476d1ce4e5b9ULL;
constexpr uint64_t k_mul3 = 0x94d049bb133111ebULL;

uint64_t rotl(uint64_t v, int r) { return (v << r) | (v >> (64 - r)); }
} // namespace

void Hasher::mix(uint64_t word)
{
	state_ ^= word * k_mul1;
	state_ = rotl(state_, 29) * k_mul2;
}

void Hasher::add(const void *data, size_t len)
{
	const auto *p = static_cast<const unsigned char *>(data);
	length_ += len;
	while (len > 0 && pending_bytes_ != 0) {
		pending_ |= uint64_t(*p++) << (8 * pending_bytes_);
		--len;
		if (++pending_bytes_ == 8) {
			mix(pending_);
			pending_ = 0;
			pending_bytes_ = 0;
		}
	}
	for (; len >= 8; p += 8, len -= 8) {
		uint64_t w;
		std::memcpy(&w, p, sizeof(w));
		mix(le64toh(w));
	}
	for (; len > 0; --len) {
		pending_ |= uint64_t(*p++) << (8 * pending_bytes_);
		++pending_bytes_;
	}
}

void Hasher::add_u64(uint64_t v)
{
	unsigned char b[8];
	for (int i = 0; i < 8; ++i)
		b[i] = static_cast<unsigned char>(v >> (8 * i));
	add(b, sizeof(b));
}

uint64_t Hasher::value() const
{
	uint64_t h = state_;
	h ^= (pending_ + pending_bytes_) * k_mul3;
	h ^= length_ * k_mul1;
	h ^= h >> 30;
	h *= k_mul2;
	h ^= h >> 27;
	h *= k_mul3;
	h ^= h >> 31;
	return h;
}

} // namespace qor
