#include "caches.hpp"

namespace qor {

Lru_cache<Block> &block_cache()
{
	static Lru_cache<Block> cache(128u << 20, 16);
	return cache;
}

Lru_cache<Listing> &listing_cache()
{
	static Lru_cache<Listing> cache(128u << 20, 4);
	return cache;
}

} // namespace qor
