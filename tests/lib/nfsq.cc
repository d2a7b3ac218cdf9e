// nfsq: a small NFSv3 test client on libnfs's raw RPC layer, for what nfs-ls and
// nfs-cat cannot do: GETATTR with arbitrary handle bytes, LOOKUP that shows
// fileids and handles, several READs in flight, listings with a small reply size
// (so that every reply resumes from a cookie), and a recursive walk that prints
// path, type, mode, size, mtime, link target and a content hash of every object.
//
// usage: nfsq [-s SERVER] [-j INFLIGHT] [-c CHUNK] [-t] [-T TIMEOUT] EXPORT COMMAND [ARGS...]
// -t prints the command's time on standard error; -T fails a call that gets no
// reply within TIMEOUT seconds (default 20).
// Paths are relative to the export's root ("" or "." is the root itself).
//
// Exit status: 0 success, 1 the server answered with an NFS or MOUNT error
// (printed as "error NFS3ERR_..." or "error MNT3ERR_..." on standard output),
// 2 usage, transport or protocol failure.
#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-nfs.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what)
{
	std::fprintf(stderr, "nfsq: %s\n", what.c_str());
	std::exit(2);
}

using Handle = std::string;	// raw handle bytes

std::string to_hex(const Handle &h)
{
	static const char digits[] = "0123456789abcdef";
	std::string out;
	for (unsigned char c : h) {
		out += digits[c >> 4];
		out += digits[c & 15];
	}
	return out;
}

Handle from_hex(const std::string &hex)
{
	if (hex.size() % 2)
		fail("odd number of hex digits: " + hex);
	Handle h;
	for (size_t i = 0; i < hex.size(); i += 2)
		h += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
	return h;
}

nfs_fh3 as_fh3(const Handle &h)
{
	nfs_fh3 fh;
	fh.data.data_len = h.size();
	fh.data.data_val = const_cast<char *>(h.data());
	return fh;
}

// An NFS status the server answered with; reported as "error NAME".
struct NfsError {
	int status;
};

// A MOUNT status other than MNT3_OK; reported as "error NAME" too.
struct MountError {
	int status;
};

const char *mountstat3_name(int status)
{
	switch (status) {
	case MNT3ERR_PERM: return "MNT3ERR_PERM";
	case MNT3ERR_NOENT: return "MNT3ERR_NOENT";
	case MNT3ERR_IO: return "MNT3ERR_IO";
	case MNT3ERR_ACCES: return "MNT3ERR_ACCES";
	case MNT3ERR_NOTDIR: return "MNT3ERR_NOTDIR";
	case MNT3ERR_INVAL: return "MNT3ERR_INVAL";
	case MNT3ERR_NAMETOOLONG: return "MNT3ERR_NAMETOOLONG";
	case MNT3ERR_NOTSUPP: return "MNT3ERR_NOTSUPP";
	case MNT3ERR_SERVERFAULT: return "MNT3ERR_SERVERFAULT";
	default: return "MNT3ERR_UNKNOWN";
	}
}

// One RPC connection to one program of the server, driven synchronously:
// calls are queued, then the connection is serviced until they all completed.
class Rpc {
public:
	Rpc(const std::string &server, int program, int version) : ctx_(rpc_init_context())
	{
		if (!ctx_)
			fail("cannot create an RPC context");
		bool done = false;
		std::string error;
		auto cb = [&](int status, void *data) {
			done = true;
			if (status != RPC_STATUS_SUCCESS)
				error = data ? static_cast<const char *>(data) : "cancelled";
		};
		Pending p{cb};
		if (rpc_connect_program_async(ctx_, server.c_str(), program, version, trampoline, &p))
			fail(std::string("connect: ") + rpc_get_error(ctx_));
		wait_for(done);
		if (!error.empty())
			fail("connect: " + error);
	}
	~Rpc() { rpc_destroy_context(ctx_); }
	Rpc(const Rpc &) = delete;
	Rpc &operator=(const Rpc &) = delete;

	rpc_context *ctx() { return ctx_; }

	// Queues a call; on_reply runs with the decoded reply while it is valid.
	template <typename Send>
	void queue(Send send, std::function<void(void *)> on_reply)
	{
		auto p = std::make_unique<Pending>();
		Pending *raw = p.get();
		p->done = [this, raw, on_reply](int status, void *data) {
			if (status != RPC_STATUS_SUCCESS)
				fail(std::string("rpc: ") + (data ? static_cast<const char *>(data) : "cancelled"));
			on_reply(data);
			finished_.push_back(raw);
		};
		if (send(ctx_, trampoline, raw))
			fail(std::string("queue: ") + rpc_get_error(ctx_));
		pending_[raw] = std::move(p);
	}

	// Services the connection until no call is outstanding.
	void drain()
	{
		while (!pending_.empty())
			service_once();
	}

	// Services the connection once. A server that leaves a call unanswered
	// (it drops requests it considers retryable) fails the run after the
	// timeout instead of hanging it.
	void service_once()
	{
		pollfd pfd{rpc_get_fd(ctx_), static_cast<short>(rpc_which_events(ctx_)), 0};
		if (poll(&pfd, 1, 100) < 0)
			fail("poll");
		if (rpc_service(ctx_, pfd.revents) < 0)
			fail(std::string("service: ") + rpc_get_error(ctx_));
		auto now = std::chrono::steady_clock::now();
		if (!finished_.empty() || pending_.empty())
			last_progress_ = now;
		else if (now - last_progress_ > std::chrono::seconds(timeout_seconds))
			fail("no reply from the server within " + std::to_string(timeout_seconds) + " s");
		for (Pending *p : finished_)
			pending_.erase(p);
		finished_.clear();
	}

	static inline unsigned timeout_seconds = 20;

	size_t outstanding() const { return pending_.size(); }

private:
	struct Pending {
		std::function<void(int, void *)> done;
	};
	static void trampoline(rpc_context *, int status, void *data, void *priv)
	{
		static_cast<Pending *>(priv)->done(status, data);
	}
	void wait_for(const bool &done)
	{
		auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
		while (!done) {
			if (std::chrono::steady_clock::now() > deadline)
				fail("cannot connect within " + std::to_string(timeout_seconds) + " s");
			pollfd pfd{rpc_get_fd(ctx_), static_cast<short>(rpc_which_events(ctx_)), 0};
			if (poll(&pfd, 1, 100) < 0)
				fail("poll");
			if (rpc_service(ctx_, pfd.revents) < 0)
				fail(std::string("service: ") + rpc_get_error(ctx_));
		}
	}

	rpc_context *ctx_;
	std::map<Pending *, std::unique_ptr<Pending>> pending_;
	std::vector<Pending *> finished_;
	std::chrono::steady_clock::time_point last_progress_ = std::chrono::steady_clock::now();
};

const char *type_name(int t)
{
	switch (t) {
	case NF3REG: return "reg";
	case NF3DIR: return "dir";
	case NF3BLK: return "blk";
	case NF3CHR: return "chr";
	case NF3LNK: return "lnk";
	case NF3SOCK: return "sock";
	case NF3FIFO: return "fifo";
	default: return "unknown";
	}
}

std::string attr_line(const fattr3 &a)
{
	char buf[512];
	std::snprintf(buf, sizeof buf,
		      "type=%s mode=%04o size=%" PRIu64 " used=%" PRIu64 " nlink=%u uid=%u gid=%u "
		      "rdev=%u,%u fsid=%" PRIu64 " fileid=%" PRIu64 " atime=%u.%09u mtime=%u.%09u ctime=%u.%09u",
		      type_name(a.type), a.mode & 07777, a.size, a.used, a.nlink, a.uid, a.gid,
		      a.rdev.specdata1, a.rdev.specdata2, a.fsid, a.fileid, a.atime.seconds, a.atime.nseconds,
		      a.mtime.seconds, a.mtime.nseconds, a.ctime.seconds, a.ctime.nseconds);
	return buf;
}

// A content hash over 8-byte words (FNV-1a style), fast enough for multi-GiB files.
class Hash {
public:
	void add(const char *p, size_t n)
	{
		length_ += n;
		while (n) {
			size_t take = std::min(n, 8 - fill_);
			std::memcpy(word_ + fill_, p, take);
			fill_ += take;
			p += take;
			n -= take;
			if (fill_ == 8) {
				mix_word();
				while (n >= 8) {
					std::memcpy(word_, p, 8);
					mix_word();
					p += 8;
					n -= 8;
				}
			}
		}
	}
	std::string hex()
	{
		uint64_t h = h_;
		for (size_t i = 0; i < fill_; i++)
			h = (h ^ static_cast<unsigned char>(word_[i])) * 0x100000001b3ULL;
		h = (h ^ length_) * 0x100000001b3ULL;
		char buf[17];
		std::snprintf(buf, sizeof buf, "%016" PRIx64, h);
		return buf;
	}
	uint64_t length() const { return length_; }

private:
	void mix_word()
	{
		uint64_t w;
		std::memcpy(&w, word_, 8);
		h_ = (h_ ^ w) * 0x100000001b3ULL;
		fill_ = 0;
	}
	uint64_t h_ = 0xcbf29ce484222325ULL;
	uint64_t length_ = 0;
	char word_[8];
	size_t fill_ = 0;
};

class Client {
public:
	Client(const std::string &server, const std::string &exp, unsigned inflight, unsigned chunk)
		: inflight_(std::max(1u, inflight)), chunk_(chunk)
	{
		{
			Rpc mnt(server, MOUNT_PROGRAM, MOUNT_V3);
			int status = -1;
			mnt.queue([&](rpc_context *c, rpc_cb cb, void *p) {
				return rpc_mount3_mnt_async(c, cb, const_cast<char *>(exp.c_str()), p);
			}, [&](void *data) {
				auto *r = static_cast<mountres3 *>(data);
				status = r->fhs_status;
				if (status == MNT3_OK) {
					auto &fh = r->mountres3_u.mountinfo.fhandle;
					root_.assign(fh.fhandle3_val, fh.fhandle3_len);
				}
			});
			mnt.drain();
			if (status != MNT3_OK)
				throw MountError{status};
		}
		nfs_ = std::make_unique<Rpc>(server, NFS_PROGRAM, NFS_V3);
		if (!chunk_)
			chunk_ = std::min(fsinfo_rtmax(), 1u << 20);
	}

	const Handle &root() const { return root_; }
	unsigned rtmax() { return fsinfo_rtmax(); }
	unsigned chunk() const { return chunk_; }

	fattr3 getattr(const Handle &h)
	{
		fattr3 out{};
		int status = 0;
		nfs_->queue([&](rpc_context *c, rpc_cb cb, void *p) {
			GETATTR3args a{as_fh3(h)};
			return rpc_nfs3_getattr_async(c, cb, &a, p);
		}, [&](void *data) {
			auto *r = static_cast<GETATTR3res *>(data);
			status = r->status;
			if (!status)
				out = r->GETATTR3res_u.resok.obj_attributes;
		});
		nfs_->drain();
		if (status)
			throw NfsError{status};
		return out;
	}

	std::pair<Handle, fattr3> lookup(const Handle &dir, const std::string &name)
	{
		std::pair<Handle, fattr3> out;
		int status = 0;
		nfs_->queue([&](rpc_context *c, rpc_cb cb, void *p) {
			LOOKUP3args a{};
			a.what.dir = as_fh3(dir);
			a.what.name = const_cast<char *>(name.c_str());
			return rpc_nfs3_lookup_async(c, cb, &a, p);
		}, [&](void *data) {
			auto *r = static_cast<LOOKUP3res *>(data);
			status = r->status;
			if (status)
				return;
			auto &ok = r->LOOKUP3res_u.resok;
			out.first.assign(ok.object.data.data_val, ok.object.data.data_len);
			if (ok.obj_attributes.attributes_follow)
				out.second = ok.obj_attributes.post_op_attr_u.attributes;
		});
		nfs_->drain();
		if (status)
			throw NfsError{status};
		if (!out.second.type)
			out.second = getattr(out.first);
		return out;
	}

	// Resolves a path below the export's root, one LOOKUP per component.
	std::pair<Handle, fattr3> resolve(const std::string &path)
	{
		Handle h = root_;
		size_t pos = 0;
		while (pos < path.size()) {
			size_t end = path.find('/', pos);
			if (end == std::string::npos)
				end = path.size();
			std::string comp = path.substr(pos, end - pos);
			pos = end + 1;
			if (comp.empty() || comp == ".")
				continue;
			h = lookup(h, comp).first;
		}
		return {h, getattr(h)};
	}

	std::string readlink(const Handle &h)
	{
		std::string out;
		int status = 0;
		nfs_->queue([&](rpc_context *c, rpc_cb cb, void *p) {
			READLINK3args a{as_fh3(h)};
			return rpc_nfs3_readlink_async(c, cb, &a, p);
		}, [&](void *data) {
			auto *r = static_cast<READLINK3res *>(data);
			status = r->status;
			if (!status)
				out = r->READLINK3res_u.resok.data;
		});
		nfs_->drain();
		if (status)
			throw NfsError{status};
		return out;
	}

	struct Entry {
		std::string name;
		uint64_t cookie;
		uint64_t fileid;
		Handle handle;
		fattr3 attr{};
		bool has_attr = false;
	};

	// Lists a directory with READDIRPLUS replies of at most maxcount bytes,
	// resuming each call from the last cookie; "." and ".." are dropped.
	std::vector<Entry> list(const Handle &dir, unsigned maxcount, unsigned *calls = nullptr)
	{
		std::vector<Entry> out;
		uint64_t cookie = 0;
		char verf[NFS3_COOKIEVERFSIZE] = {};
		bool eof = false;
		unsigned n = 0;
		while (!eof) {
			int status = 0;
			nfs_->queue([&](rpc_context *c, rpc_cb cb, void *p) {
				READDIRPLUS3args a{};
				a.dir = as_fh3(dir);
				a.cookie = cookie;
				std::memcpy(a.cookieverf, verf, sizeof verf);
				a.dircount = maxcount;
				a.maxcount = maxcount;
				return rpc_nfs3_readdirplus_async(c, cb, &a, p);
			}, [&](void *data) {
				auto *r = static_cast<READDIRPLUS3res *>(data);
				status = r->status;
				if (status)
					return;
				auto &ok = r->READDIRPLUS3res_u.resok;
				std::memcpy(verf, ok.cookieverf, sizeof verf);
				eof = ok.reply.eof;
				size_t before = out.size();
				for (entryplus3 *e = ok.reply.entries; e; e = e->nextentry) {
					cookie = e->cookie;
					if (!std::strcmp(e->name, ".") || !std::strcmp(e->name, ".."))
						continue;
					Entry en{e->name, e->cookie, e->fileid, {}, {}, false};
					if (e->name_handle.handle_follows) {
						auto &fh = e->name_handle.post_op_fh3_u.handle;
						en.handle.assign(fh.data.data_val, fh.data.data_len);
					}
					if (e->name_attributes.attributes_follow) {
						en.attr = e->name_attributes.post_op_attr_u.attributes;
						en.has_attr = true;
					}
					out.push_back(std::move(en));
				}
				if (!eof && out.size() == before && !ok.reply.entries)
					fail("READDIRPLUS returned no entry and no eof");
			});
			nfs_->drain();
			if (status)
				throw NfsError{status};
			n++;
		}
		if (calls)
			*calls = n;
		return out;
	}

	// Reads [offset, offset+count) with up to inflight READs outstanding and
	// hands the data to sink in order. Stops early at end of file. Returns bytes.
	uint64_t read_range(const Handle &h, uint64_t offset, uint64_t count,
			    const std::function<void(const char *, size_t)> &sink)
	{
		std::map<uint64_t, std::string> ready;
		uint64_t next_send = offset, next_emit = offset, end = offset + count;
		uint64_t eof_at = UINT64_MAX;
		int status = 0;
		while (next_emit < std::min(end, eof_at)) {
			while (nfs_->outstanding() < inflight_ && next_send < std::min(end, eof_at)) {
				uint64_t off = next_send;
				uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(chunk_, end - off));
				next_send += len;
				nfs_->queue([&, off, len](rpc_context *c, rpc_cb cb, void *p) {
					READ3args a{as_fh3(h), off, len};
					return rpc_nfs3_read_async(c, cb, &a, p);
				}, [&, off, len](void *data) {
					auto *r = static_cast<READ3res *>(data);
					if (r->status) {
						status = r->status;
						return;
					}
					auto &ok = r->READ3res_u.resok;
					if (ok.count != ok.data.data_len)
						fail("READ count and data length differ");
					ready[off].assign(ok.data.data_val, ok.data.data_len);
					if (ok.eof || ok.count < len)
						eof_at = std::min(eof_at, off + ok.count);
					if (!ok.eof && ok.count == 0)
						fail("READ returned 0 bytes without eof");
				});
			}
			nfs_->service_once();
			if (status) {
				nfs_->drain();
				throw NfsError{status};
			}
			for (auto it = ready.begin(); it != ready.end() && it->first == next_emit;) {
				if (it->second.size() < std::min<uint64_t>(chunk_, end - it->first) &&
				    it->first + it->second.size() < eof_at)
					fail("short READ before end of file");
				sink(it->second.data(), it->second.size());
				next_emit += it->second.size();
				it = ready.erase(it);
				if (next_emit >= eof_at)
					break;
			}
			if (ready.empty() && nfs_->outstanding() == 0 && next_send >= std::min(end, eof_at))
				break;
		}
		nfs_->drain();
		return next_emit - offset;
	}

	// count random reads of size bytes each inside [0, size_of_file), inflight at once.
	uint64_t random_reads(const Handle &h, uint64_t file_size, unsigned count, unsigned size, unsigned seed)
	{
		std::mt19937_64 rng(seed);
		uint64_t blocks = std::max<uint64_t>(1, file_size / size), bytes = 0;
		int status = 0;
		for (unsigned sent = 0; sent < count || nfs_->outstanding();) {
			while (sent < count && nfs_->outstanding() < inflight_) {
				uint64_t off = (rng() % blocks) * size;
				sent++;
				nfs_->queue([&, off](rpc_context *c, rpc_cb cb, void *p) {
					READ3args a{as_fh3(h), off, size};
					return rpc_nfs3_read_async(c, cb, &a, p);
				}, [&](void *data) {
					auto *r = static_cast<READ3res *>(data);
					if (r->status)
						status = r->status;
					else
						bytes += r->READ3res_u.resok.count;
				});
			}
			nfs_->service_once();
			if (status) {
				nfs_->drain();
				throw NfsError{status};
			}
		}
		return bytes;
	}

	std::string hash(const Handle &h, uint64_t *length = nullptr)
	{
		Hash hs;
		read_range(h, 0, UINT64_MAX / 2, [&](const char *p, size_t n) { hs.add(p, n); });
		if (length)
			*length = hs.length();
		return hs.hex();
	}

private:
	unsigned fsinfo_rtmax()
	{
		unsigned rtmax = 0;
		int status = 0;
		nfs_->queue([&](rpc_context *c, rpc_cb cb, void *p) {
			FSINFO3args a{as_fh3(root_)};
			return rpc_nfs3_fsinfo_async(c, cb, &a, p);
		}, [&](void *data) {
			auto *r = static_cast<FSINFO3res *>(data);
			status = r->status;
			if (!status)
				rtmax = r->FSINFO3res_u.resok.rtmax;
		});
		nfs_->drain();
		if (status || !rtmax)
			fail("FSINFO failed");
		return rtmax;
	}

	unsigned inflight_;
	unsigned chunk_;
	Handle root_;
	std::unique_ptr<Rpc> nfs_;
};

// Names may hold any byte but '/' and NUL: escape what would break a line.
std::string escaped(const std::string &s)
{
	std::string out;
	for (unsigned char c : s) {
		if (c == '\\') {
			out += "\\\\";
		} else if (c < 0x20 || c == 0x7f) {
			char buf[5];
			std::snprintf(buf, sizeof buf, "\\x%02x", c);
			out += buf;
		} else {
			out += static_cast<char>(c);
		}
	}
	return out;
}

std::string walk_line(Client &cl, const std::string &path, const Handle &h, const fattr3 &a)
{
	std::string extra = "-";
	if (a.type == NF3LNK)
		extra = "target=" + escaped(cl.readlink(h));
	else if (a.type == NF3REG)
		extra = "hash=" + cl.hash(h);
	char buf[256];
	std::snprintf(buf, sizeof buf, "\t%s\t%04o\t%" PRIu64 "\t%u\t%u\t%u\t%u\t%u\t%u\t%" PRIu64 "\t",
		      type_name(a.type), a.mode & 07777, a.size, a.mtime.seconds, a.atime.seconds,
		      a.ctime.seconds, a.nlink, a.uid, a.gid, a.fileid);
	return escaped(path) + buf + extra;
}

// Prints every object below the root, sorted by path:
// path type mode size mtime atime ctime nlink uid gid fileid target=/hash=
void walk(Client &cl, unsigned maxcount)
{
	std::vector<std::string> lines;
	std::deque<std::pair<std::string, Handle>> dirs{{".", cl.root()}};
	lines.push_back(walk_line(cl, ".", cl.root(), cl.getattr(cl.root())));
	while (!dirs.empty()) {
		auto [path, dir] = dirs.front();
		dirs.pop_front();
		for (auto &e : cl.list(dir, maxcount)) {
			std::string p = path + "/" + e.name;
			fattr3 a = e.has_attr ? e.attr : cl.getattr(e.handle);
			if (e.handle.empty())
				e.handle = cl.lookup(dir, e.name).first;
			lines.push_back(walk_line(cl, p, e.handle, a));
			if (a.type == NF3DIR)
				dirs.emplace_back(p, e.handle);
		}
	}
	std::sort(lines.begin(), lines.end());
	for (auto &l : lines)
		std::printf("%s\n", l.c_str());
}

// Lists every directory below the root with attributes, reading no data;
// returns the number of objects seen.
size_t tree(Client &cl, unsigned maxcount)
{
	size_t objects = 1;
	std::deque<Handle> dirs{cl.root()};
	while (!dirs.empty()) {
		Handle dir = dirs.front();
		dirs.pop_front();
		for (auto &e : cl.list(dir, maxcount)) {
			objects++;
			if (!e.has_attr)
				fail("READDIRPLUS entry without attributes: " + e.name);
			if (e.attr.type == NF3DIR)
				dirs.push_back(e.handle);
		}
	}
	return objects;
}

void usage()
{
	std::fprintf(stderr,
		     "usage: nfsq [-s SERVER] [-j INFLIGHT] [-c CHUNK] [-t] [-T TIMEOUT] EXPORT COMMAND [ARGS]\n"
		     "  fh PATH                  hex handle of PATH\n"
		     "  stat PATH                attributes of PATH (after LOOKUPs)\n"
		     "  getattr HEX              GETATTR with these handle bytes\n"
		     "  lookup HEX NAME          LOOKUP NAME in the directory with these handle bytes\n"
		     "  readlink PATH | readlink-fh HEX\n"
		     "  pread PATH OFFSET COUNT  bytes to standard output\n"
		     "  read-fh HEX OFFSET COUNT bytes to standard output\n"
		     "  hash PATH                content hash and length\n"
		     "  ls PATH [MAXCOUNT]       name, cookie, fileid, attributes per entry\n"
		     "  ls-fh HEX [MAXCOUNT]     the same for the directory with these handle bytes\n"
		     "  count PATH [MAXCOUNT]    entries, distinct names, READDIRPLUS calls\n"
		     "  walk [MAXCOUNT]          every object below the root, sorted\n"
		     "  fsinfo                   the server's largest READ size (rtmax)\n"
		     "  tree [MAXCOUNT]          list every directory with attributes; count objects\n"
		     "  randread PATH COUNT SIZE SEED   random reads; prints bytes read\n");
	std::exit(2);
}

int run(Client &cl, const std::vector<std::string> &args)
{
	const std::string &cmd = args[0];
	auto need = [&](size_t n) { if (args.size() < n + 1) usage(); };
	auto num = [&](size_t i) { return std::stoull(args.at(i), nullptr, 0); };
	if (cmd == "fh") {
		need(1);
		std::printf("%s\n", to_hex(cl.resolve(args[1]).first).c_str());
	} else if (cmd == "stat") {
		need(1);
		std::printf("%s\n", attr_line(cl.resolve(args[1]).second).c_str());
	} else if (cmd == "getattr") {
		need(1);
		std::printf("%s\n", attr_line(cl.getattr(from_hex(args[1]))).c_str());
	} else if (cmd == "lookup") {
		need(2);
		auto r = cl.lookup(from_hex(args[1]), args[2]);
		std::printf("%s fh=%s\n", attr_line(r.second).c_str(), to_hex(r.first).c_str());
	} else if (cmd == "readlink" || cmd == "readlink-fh") {
		need(1);
		Handle h = cmd == "readlink" ? cl.resolve(args[1]).first : from_hex(args[1]);
		std::string t = cl.readlink(h);
		std::fwrite(t.data(), 1, t.size(), stdout);
	} else if (cmd == "pread" || cmd == "read-fh") {
		need(3);
		Handle h = cmd == "pread" ? cl.resolve(args[1]).first : from_hex(args[1]);
		cl.read_range(h, num(2), num(3), [](const char *p, size_t n) { std::fwrite(p, 1, n, stdout); });
	} else if (cmd == "hash") {
		need(1);
		uint64_t len = 0;
		std::string hx = cl.hash(cl.resolve(args[1]).first, &len);
		std::printf("%s %" PRIu64 "\n", hx.c_str(), len);
	} else if (cmd == "ls" || cmd == "count" || cmd == "ls-fh") {
		need(1);
		unsigned calls = 0;
		Handle dir = cmd == "ls-fh" ? from_hex(args[1]) : cl.resolve(args[1]).first;
		auto ents = cl.list(dir, args.size() > 2 ? num(2) : 65536, &calls);
		if (cmd == "count") {
			std::vector<std::string> names;
			for (auto &e : ents)
				names.push_back(e.name);
			std::sort(names.begin(), names.end());
			size_t distinct = std::unique(names.begin(), names.end()) - names.begin();
			std::printf("entries=%zu distinct=%zu calls=%u\n", ents.size(), distinct, calls);
		} else {
			for (auto &e : ents)
				std::printf("%s\tcookie=%" PRIu64 "\t%s\n", escaped(e.name).c_str(), e.cookie,
					    e.has_attr ? attr_line(e.attr).c_str() : "noattr");
		}
	} else if (cmd == "fsinfo") {
		std::printf("rtmax=%u\n", cl.rtmax());
	} else if (cmd == "walk") {
		walk(cl, args.size() > 1 ? num(1) : 65536);
	} else if (cmd == "tree") {
		std::printf("objects=%zu\n", tree(cl, args.size() > 1 ? num(1) : 65536));
	} else if (cmd == "randread") {
		need(4);
		auto [h, a] = cl.resolve(args[1]);
		std::printf("%" PRIu64 "\n", cl.random_reads(h, a.size, num(2), num(3), num(4)));
	} else {
		usage();
	}
	return 0;
}

}  // namespace

int main(int argc, char **argv)
{
	std::string server = "127.0.0.1";
	unsigned inflight = 1, chunk = 0;
	bool timed = false;
	int opt;
	while ((opt = getopt(argc, argv, "+s:j:c:tT:")) != -1) {
		switch (opt) {
		case 'T': Rpc::timeout_seconds = std::stoul(optarg); break;
		case 's': server = optarg; break;
		case 'j': inflight = std::stoul(optarg); break;
		case 'c': chunk = std::stoul(optarg); break;
		case 't': timed = true; break;
		default: usage();
		}
	}
	if (argc - optind < 2)
		usage();
	std::string exp = argv[optind];
	std::vector<std::string> args(argv + optind + 1, argv + argc);
	try {
		Client cl(server, exp, inflight, chunk);
		auto t0 = std::chrono::steady_clock::now();
		int rc = run(cl, args);
		if (timed)
			std::fprintf(stderr, "seconds=%.6f\n",
				     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
		std::fflush(stdout);
		return rc;
	} catch (const NfsError &e) {
		std::fflush(stdout);
		std::printf("error %s\n", nfsstat3_to_str(e.status));
		return 1;
	} catch (const MountError &e) {
		std::printf("error %s\n", mountstat3_name(e.status));
		return 1;
	} catch (const std::exception &e) {
		fail(e.what());
	}
}
