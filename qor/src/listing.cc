#include "listing.h"

#include <algorithm>

namespace qor {

bool is_plain_name(std::string_view name)
{
	if (name.empty() || name == "." || name == ".." || name.size() > QOR_NAME_MAX)
		return false;
	return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

qor_stat_t entry_stat(const Listing_entry &e)
{
	qor_stat_t st{};
	st.mode = e.mode;
	st.size = static_cast<off_t>(e.size);
	st.mtime = st.atime = st.ctime = static_cast<time_t>(e.mtime);
	return st;
}

bool Listing::add(std::string_view name, uint32_t ino, const qor_stat_t &st)
{
	if (!is_plain_name(name))
		return false;
	Listing_entry e{};
	e.name_offset = static_cast<uint32_t>(names_.size());
	e.name_length = static_cast<uint32_t>(name.size());
	e.ino = ino;
	e.mtime = static_cast<uint32_t>(st.mtime);
	e.mode = st.mode;
	e.size = static_cast<uint64_t>(st.size);
	names_.append(name);
	entries_.push_back(e);
	return true;
}

void Listing::finish()
{
	entries_.shrink_to_fit();
	names_.shrink_to_fit();
	auto less = [this](const Listing_entry &a, const Listing_entry &b) { return name(a) < name(b); };
	if (std::is_sorted(entries_.begin(), entries_.end(), less))
		return;
	by_name_.resize(entries_.size());
	for (uint32_t i = 0; i < by_name_.size(); ++i)
		by_name_[i] = i;
	std::sort(by_name_.begin(), by_name_.end(),
		  [&](uint32_t a, uint32_t b) { return less(entries_[a], entries_[b]); });
}

const Listing_entry *Listing::find(std::string_view key) const
{
	if (by_name_.empty()) {
		auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
					   [this](const Listing_entry &e, std::string_view k) { return name(e) < k; });
		return it != entries_.end() && name(*it) == key ? &*it : nullptr;
	}
	auto it = std::lower_bound(by_name_.begin(), by_name_.end(), key,
				   [this](uint32_t i, std::string_view k) { return name(entries_[i]) < k; });
	return it != by_name_.end() && name(entries_[*it]) == key ? &entries_[*it] : nullptr;
}

size_t Listing::bytes() const
{
	return sizeof(*this) + entries_.capacity() * sizeof(Listing_entry) + names_.capacity() +
	       by_name_.capacity() * sizeof(uint32_t);
}

} // namespace qor
