// A directory's entries with their status, in the medium's (sorted) order.
// Entry i carries the cookie i + k_first_cookie, so a resume is an index.
#ifndef QOR_LISTING_H
#define QOR_LISTING_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qor.h"

namespace qor {

// NFS reserves cookies 0, 1 and 2.
constexpr uint64_t k_first_cookie = 3;

struct Listing_entry {
	uint32_t name_offset;
	uint32_t name_length;
	uint32_t ino;
	uint32_t mtime;
	mode_t mode;
	uint64_t size;
};

class Listing {
public:
	// Names that cannot be looked up ("", ".", "..", with '/' or NUL, over
	// QOR_NAME_MAX bytes) are left out; returns false for those.
	bool add(std::string_view name, uint32_t ino, const qor_stat_t &st);
	// Call once after the last add.
	void finish();

	size_t size() const { return entries_.size(); }
	const Listing_entry &at(size_t i) const { return entries_[i]; }
	std::string_view name(const Listing_entry &e) const
	{
		return std::string_view(names_).substr(e.name_offset, e.name_length);
	}
	const Listing_entry *find(std::string_view name) const;
	// Status of the directory itself.
	const qor_stat_t &self() const { return self_; }
	void set_self(const qor_stat_t &st) { self_ = st; }
	size_t bytes() const;

private:
	std::vector<Listing_entry> entries_;
	std::string names_;
	// Entry indices by name; empty when the entries are already sorted,
	// which is how every SquashFS writer stores them.
	std::vector<uint32_t> by_name_;
	qor_stat_t self_{};
};

bool is_plain_name(std::string_view name);
qor_stat_t entry_stat(const Listing_entry &e);

} // namespace qor

#endif
