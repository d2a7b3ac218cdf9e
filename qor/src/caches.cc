#include "caches.h"

namespace qor {

// Never destroyed, like the media and descriptor tables: qor_c_fini, which
// empties them, runs after the static destructors of a dlopen()ed library.

Lru_cache<Listing> &listing_cache()
{
	static auto *cache = new Lru_cache<Listing>(128u << 20, 4);
	return *cache;
}

} // namespace qor
