#include "caches.h"

#include "data_cache.h"

namespace qor {

Lru_cache<Listing> &listing_cache()
{
	static auto *cache = new Lru_cache<Listing>(128u << 20, 4);
	return *cache;
}

Data_cache &data_cache()
{
	static auto *cache = new Data_cache(default_data_cache_size(), 16);
	return *cache;
}

} // namespace qor
