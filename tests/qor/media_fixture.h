// Test support: temporary directories, a source tree with every kind of
// object and the block-boundary file sizes, and images packed from it by the
// real tools. Results are compared against the source tree itself.
#ifndef QOR_TEST_MEDIA_FIXTURE_H
#define QOR_TEST_MEDIA_FIXTURE_H

#include <cstdint>
#include <string>
#include <vector>

namespace qor_test {

// mkdtemp under TMPDIR; removed with everything in it on destruction.
class Temp_dir {
public:
	Temp_dir();
	~Temp_dir();
	Temp_dir(const Temp_dir &) = delete;
	Temp_dir &operator=(const Temp_dir &) = delete;
	const std::string &path() const { return path_; }

private:
	std::string path_;
};

// Runs a shell command; true when it exits with 0.
bool run(const std::string &command);
std::string quote(const std::string &s);

// Deterministic bytes: compressible text or noise.
std::vector<uint8_t> pattern(size_t size, uint32_t seed, bool compressible);
void write_file(const std::string &path, const std::vector<uint8_t> &data, mode_t mode = 0644);
std::vector<uint8_t> read_file(const std::string &path);

// Block size of the test images: small, so that boundaries are cheap.
constexpr size_t k_block = 4096;
constexpr size_t k_big_dir_entries = 3000;

// Fills root with the test tree: every file type, the boundary sizes, a sparse
// file, hard links, long names and link targets, fixed modes and mtimes.
void build_tree(const std::string &root);

// Source-tree paths relative to root ("" is the root), directories included.
std::vector<std::string> walk(const std::string &root);

// An image of root under media/MINOR/SEQ.sqfs. Returns the image path.
struct Image_recipe {
	const char *name;
	const char *tool;    // "mksquashfs" or "tar2sqfs"
	const char *options; // appended to the tool's command line
};
std::string pack(const Image_recipe &r, const std::string &root, const std::string &image);

extern const Image_recipe k_recipes[];
extern const size_t k_recipe_count;

} // namespace qor_test

#endif
