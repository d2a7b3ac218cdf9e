// nfsq: an NFSv3 test client on libnfs's raw RPC layer: handles as hex bytes,
// READs in flight, each checked against the file's size, READDIRPLUS in small
// replies, and a walk that prints every object's attributes, link target and
// content hash. Exit status: 0 done, 1 the server answered with an error
// ("error NAME" on standard output), 2 anything else (usage, transport, timeout).
#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-nfs.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Handle = std::string;
using Clock = std::chrono::steady_clock;
using Ranges = std::vector<std::pair<uint64_t, uint32_t>>;
unsigned timeout_seconds = 20;

[[noreturn]] void fail(const std::string &what)
{
	std::fprintf(stderr, "nfsq: %s\n", what.c_str());
	std::exit(2);
}

struct NfsError : std::runtime_error { using runtime_error::runtime_error; };

// One connection: calls are sent, then serviced until their replies came; a
// server that drops a request fails the run after the timeout.
struct Rpc {
	using Reply = std::pair<Rpc *, std::function<void(void *)>>;
	rpc_context *ctx = rpc_init_context();
	unsigned outstanding = 0;
	Clock::time_point last_reply;

	Rpc(int program, int version)
	{
		start([&](rpc_cb cb, void *p) { return rpc_connect_program_async(ctx, "127.0.0.1", program, version, cb, p); },
		      [](void *) {});
		drain();
	}
	~Rpc() { rpc_destroy_context(ctx); }
	Rpc(const Rpc &) = delete;
	Rpc &operator=(const Rpc &) = delete;

	template <typename Send> void start(Send send, std::function<void(void *)> on_reply)
	{
		last_reply = outstanding++ ? last_reply : Clock::now();
		if (!ctx || send(trampoline, new Reply(this, std::move(on_reply))))
			fail(std::string("send: ") + (ctx ? rpc_get_error(ctx) : "no RPC context"));
	}
	// Services the connection until at most `until` calls are outstanding.
	void drain(unsigned until = 0)
	{
		while (outstanding > until) {
			pollfd pfd{rpc_get_fd(ctx), static_cast<short>(rpc_which_events(ctx)), 0};
			if (poll(&pfd, 1, 100) < 0 || rpc_service(ctx, pfd.revents) < 0)
				fail(std::string("service: ") + rpc_get_error(ctx));
			if (Clock::now() - last_reply > std::chrono::seconds(timeout_seconds))
				fail("no reply within " + std::to_string(timeout_seconds) + " s");
		}
	}
	static void trampoline(rpc_context *, int status, void *data, void *priv)
	{
		std::unique_ptr<Reply> r(static_cast<Reply *>(priv));
		if (status != RPC_STATUS_SUCCESS)
			fail(std::string("rpc: ") + (status == RPC_STATUS_ERROR && data ? static_cast<char *>(data) : "cancelled"));
		r->first->outstanding--;
		r->first->last_reply = Clock::now();
		r->second(data);
	}
};

const char *type_name(unsigned t) { return std::array{"unknown", "reg", "dir", "blk", "chr", "lnk", "sock", "fifo"}[t < 8 ? t : 0]; }

std::string attr_line(const fattr3 &a)
{
	char buf[400];
	std::snprintf(buf, sizeof buf, "type=%s mode=%04o size=%" PRIu64 " used=%" PRIu64 " nlink=%u uid=%u gid=%u fileid=%" PRIu64
		      " atime=%u.%09u mtime=%u.%09u ctime=%u.%09u", type_name(a.type), a.mode & 07777, a.size, a.used, a.nlink,
		      a.uid, a.gid, a.fileid, a.atime.seconds, a.atime.nseconds, a.mtime.seconds, a.mtime.nseconds,
		      a.ctime.seconds, a.ctime.nseconds);
	return buf;
}

// Names may hold any byte but '/' and NUL: escape what would break a line.
std::string escaped(const std::string &s)
{
	std::string out;
	for (unsigned char c : s) {
		char buf[5];
		std::snprintf(buf, sizeof buf, "\\x%02x", c);
		out += c < 0x20 || c == 0x7f ? buf : c == '\\' ? "\\\\" : std::string(1, static_cast<char>(c));
	}
	return out;
}

nfs_fh3 fh3(const Handle &h) { return {{static_cast<u_int>(h.size()), const_cast<char *>(h.data())}}; }

struct Entry { std::string name; uint64_t cookie; Handle handle; fattr3 attr; bool has_attr; };

class Client {
public:
	Handle root;

	Client(const std::string &exp, unsigned inflight, unsigned chunk) : inflight_(std::max(1u, inflight))
	{
		Rpc mnt(MOUNT_PROGRAM, MOUNT_V3);
		int status = -1;
		mnt.start([&](rpc_cb cb, void *p) { return rpc_mount3_mnt_async(mnt.ctx, cb, const_cast<char *>(exp.c_str()), p); },
			  [&](void *d) {
				  auto *r = static_cast<mountres3 *>(d);
				  auto &fh = r->mountres3_u.mountinfo.fhandle;
				  if ((status = r->fhs_status) == MNT3_OK)
					  root.assign(fh.fhandle3_val, fh.fhandle3_len);
			  });
		mnt.drain();
		if (status != MNT3_OK)
			throw NfsError{"MNT3ERR " + std::to_string(status)};
		chunk_ = chunk ? chunk : std::min(rtmax(), 1u << 20);
	}

	// One call and its reply; an NFS error status is thrown.
	template <typename Res, typename Args, typename Ok> void call(int (*send)(rpc_context *, rpc_cb, Args *, void *), Args args, Ok ok)
	{
		int status = 0;
		nfs_.start([&](rpc_cb cb, void *p) { return send(nfs_.ctx, cb, &args, p); }, [&](void *d) {
			if (!(status = static_cast<Res *>(d)->status))
				ok(*static_cast<Res *>(d));
		});
		nfs_.drain();
		if (status)
			throw NfsError{nfsstat3_to_str(status)};
	}
	unsigned rtmax()
	{
		unsigned n = 0;
		call<FSINFO3res>(rpc_nfs3_fsinfo_async, FSINFO3args{fh3(root)}, [&](auto &r) { n = r.FSINFO3res_u.resok.rtmax; });
		return n ? n : (fail("FSINFO without rtmax"), 0);
	}
	fattr3 getattr(const Handle &h)
	{
		fattr3 a{};
		call<GETATTR3res>(rpc_nfs3_getattr_async, GETATTR3args{fh3(h)}, [&](auto &r) { a = r.GETATTR3res_u.resok.obj_attributes; });
		return a;
	}
	Handle lookup(const Handle &dir, const std::string &name)
	{
		Handle h;
		call<LOOKUP3res>(rpc_nfs3_lookup_async, LOOKUP3args{{fh3(dir), const_cast<char *>(name.c_str())}}, [&](auto &r) {
			h.assign(r.LOOKUP3res_u.resok.object.data.data_val, r.LOOKUP3res_u.resok.object.data.data_len);
		});
		return h;
	}
	Handle resolve(const std::string &path)
	{
		Handle h = root;
		for (size_t pos = 0, end; pos <= path.size(); pos = end + 1) {
			end = std::min(path.find('/', pos), path.size());
			if (std::string name = path.substr(pos, end - pos); !name.empty() && name != ".")
				h = lookup(h, name);
		}
		return h;
	}
	std::string readlink(const Handle &h)
	{
		std::string t;
		call<READLINK3res>(rpc_nfs3_readlink_async, READLINK3args{fh3(h)}, [&](auto &r) { t = r.READLINK3res_u.resok.data; });
		return t;
	}

	// READDIRPLUS in replies of at most maxcount bytes, each resuming from the
	// last cookie; "." and ".." are left out.
	std::vector<Entry> list(const Handle &dir, unsigned maxcount, unsigned *calls = nullptr)
	{
		std::vector<Entry> out;
		READDIRPLUS3args a{fh3(dir), 0, {}, maxcount, maxcount};
		for (bool eof = false; !eof; calls && ++*calls) {
			call<READDIRPLUS3res>(rpc_nfs3_readdirplus_async, a, [&](auto &r) {
				auto &ok = r.READDIRPLUS3res_u.resok;
				std::memcpy(a.cookieverf, ok.cookieverf, sizeof a.cookieverf);
				if (!(eof = ok.reply.eof) && !ok.reply.entries)
					fail("READDIRPLUS without entries or eof");
				for (entryplus3 *e = ok.reply.entries; e; e = e->nextentry) {
					auto &fh = e->name_handle.post_op_fh3_u.handle.data;
					a.cookie = e->cookie;
					if (std::strcmp(e->name, ".") && std::strcmp(e->name, ".."))
						out.push_back({e->name, e->cookie, e->name_handle.handle_follows ? Handle(fh.data_val, fh.data_len) : "",
							       e->name_attributes.post_op_attr_u.attributes, bool(e->name_attributes.attributes_follow)});
				}
			});
		}
		return out;
	}

	Ranges chunks(uint64_t offset, uint64_t count, uint64_t size)
	{
		Ranges r;
		for (uint64_t o = offset, end = std::min(offset + count, size); o < end; o += chunk_)
			r.emplace_back(o, std::min<uint64_t>(chunk_, end - o));
		return r.empty() ? Ranges{{offset, std::min<uint64_t>(chunk_, count)}} : r;
	}
	// READs of the ranges, up to inflight at once; each reply must hold exactly
	// the bytes the file has there. sink gets them in the order of the ranges.
	void read(const Handle &h, uint64_t size, const Ranges &ranges, const std::function<void(const std::string &)> &sink)
	{
		std::map<size_t, std::string> ready;
		int status = 0;
		for (size_t sent = 0, emitted = 0; emitted < ranges.size() && !status;) {
			if (sent < ranges.size()) {
				auto [off, n] = ranges[sent];
				READ3args a{fh3(h), off, n};
				nfs_.start([&](rpc_cb cb, void *p) { return rpc_nfs3_read_async(nfs_.ctx, cb, &a, p); },
					   [&, i = sent++, off = off, n = n](void *d) {
						   auto *r = static_cast<READ3res *>(d);
						   auto &ok = r->READ3res_u.resok;
						   uint64_t want = off < size ? std::min<uint64_t>(n, size - off) : 0;
						   if (!(status = r->status) && (ok.count != want || ok.data.data_len != want ||
										 (want < n && !ok.eof) || (ok.eof && off + want < size)))
							   fail("READ of " + std::to_string(n) + " at " + std::to_string(off) + ": " +
								std::to_string(ok.count) + " bytes");
						   ready[i].assign(status ? "" : std::string(ok.data.data_val, want));
					   });
			}
			nfs_.drain(sent < ranges.size() ? inflight_ - 1 : 0);
			for (auto it = ready.begin(); it != ready.end() && it->first == emitted; it = ready.erase(it), emitted++)
				sink(it->second);
		}
		nfs_.drain();
		if (status)
			throw NfsError{nfsstat3_to_str(status)};
	}
	std::string hash(const Handle &h, uint64_t size)
	{
		uint64_t v = 0xcbf29ce484222325ULL;
		read(h, size, chunks(0, size, size), [&](const std::string &s) {
			for (unsigned char c : s)
				v = (v ^ c) * 0x100000001b3ULL;
		});
		return std::to_string(v);
	}

private:
	unsigned inflight_, chunk_ = 0;
	Rpc nfs_{NFS_PROGRAM, NFS_V3};
};

// Every object below the root, sorted by path: path type mode size mtime atime
// ctime nlink uid gid fileid, then target=LINK or hash=CONTENT or "-". Without
// details: the number of objects (attributes from the listings, no data).
void walk(Client &cl, unsigned maxcount, bool details)
{
	std::set<std::string> lines;
	size_t objects = 1;
	auto add = [&](const std::string &path, const Handle &h, const fattr3 &a) {
		char buf[256];
		std::snprintf(buf, sizeof buf, "\t%s\t%04o\t%" PRIu64 "\t%u\t%u\t%u\t%u\t%u\t%u\t%" PRIu64 "\t", type_name(a.type),
			      a.mode & 07777, a.size, a.mtime.seconds, a.atime.seconds, a.ctime.seconds, a.nlink, a.uid, a.gid, a.fileid);
		lines.insert(escaped(path) + buf + (a.type == NF3LNK ? "target=" + escaped(cl.readlink(h))
						    : a.type == NF3REG ? "hash=" + cl.hash(h, a.size) : "-"));
	};
	if (details)
		add(".", cl.root, cl.getattr(cl.root));
	for (std::deque<std::pair<std::string, Handle>> dirs{{".", cl.root}}; !dirs.empty(); dirs.pop_front()) {
		auto [path, dir] = dirs.front();
		for (auto &e : cl.list(dir, maxcount)) {
			objects++;
			if (!e.has_attr && !details)
				fail("READDIRPLUS entry without attributes");
			Handle h = e.handle.empty() ? cl.lookup(dir, e.name) : e.handle;
			fattr3 a = e.has_attr ? e.attr : cl.getattr(h);
			if (details)
				add(path + "/" + e.name, h, a);
			if (a.type == NF3DIR)
				dirs.emplace_back(path + "/" + e.name, h);
		}
	}
	for (auto &l : lines)
		std::printf("%s\n", l.c_str());
	if (!details)
		std::printf("objects=%zu\n", objects);
}

[[noreturn]] void usage()
{
	fail("usage: nfsq [-j INFLIGHT] [-c CHUNK] [-t] [-T TIMEOUT] EXPORT COMMAND [ARGS]\n"
	     "  fh PATH | stat PATH | getattr HEX | lookup HEX NAME | readlink PATH | readlink-fh HEX | fsinfo | fsstat\n"
	     "  pread PATH OFFSET COUNT | randread PATH COUNT SIZE SEED | walk [MAXCOUNT] | tree [MAXCOUNT]\n"
	     "  ls PATH [MAXCOUNT] | ls-fh HEX [MAXCOUNT] | count PATH [MAXCOUNT] | misses PATH COUNT");
}

void run(Client &cl, const std::vector<std::string> &args)
{
	const std::string &cmd = args[0];
	auto arg = [&](size_t i) -> const std::string & { return i < args.size() ? args[i] : (usage(), args[0]); };
	auto num = [&](size_t i, uint64_t dflt = 0) { return i < args.size() || !dflt ? std::stoull(arg(i), nullptr, 0) : dflt; };
	auto handle = [&](bool hex) {
		Handle h;
		for (size_t i = 0; hex && i < arg(1).size(); i += 2)
			h += static_cast<char>(std::stoi(arg(1).substr(i, 2), nullptr, 16));
		return hex ? h : cl.resolve(arg(1));
	};
	auto print = [](const std::string &s) { std::fwrite(s.data(), 1, s.size(), stdout); };
	if (cmd == "fh") {
		for (unsigned char c : cl.resolve(arg(1)))
			std::printf("%02x", c);
		std::printf("\n");
	} else if (cmd == "stat" || cmd == "getattr" || cmd == "lookup") {
		Handle h = handle(cmd != "stat");
		std::printf("%s\n", attr_line(cl.getattr(cmd == "lookup" ? cl.lookup(h, arg(2)) : h)).c_str());
	} else if (cmd == "readlink" || cmd == "readlink-fh") {
		print(cl.readlink(handle(cmd == "readlink-fh")));
	} else if (cmd == "pread" || cmd == "randread") {
		Handle h = cl.resolve(arg(1));
		uint64_t size = cl.getattr(h).size, bytes = 0;
		Ranges r = cmd == "pread" ? cl.chunks(num(2), num(3), size) : Ranges(num(2), {0, num(3)});
		std::mt19937_64 rng(cmd == "randread" ? num(4) : 0);
		for (auto &[off, n] : r)
			off = cmd == "pread" ? off : rng() % std::max<uint64_t>(1, size / n) * n;
		cl.read(h, size, r, [&](const std::string &s) { cmd == "pread" ? print(s) : void(bytes += s.size()); });
		if (cmd == "randread")
			std::printf("%" PRIu64 "\n", bytes);
	} else if (cmd == "fsinfo") {
		std::printf("rtmax=%u\n", cl.rtmax());
	} else if (cmd == "fsstat") {
		cl.call<FSSTAT3res>(rpc_nfs3_fsstat_async, FSSTAT3args{fh3(cl.root)}, [](auto &r) {
			auto &ok = r.FSSTAT3res_u.resok;
			std::printf("tbytes=%" PRIu64 " tfiles=%" PRIu64 " free=%" PRIu64 "\n", ok.tbytes, ok.tfiles,
				    ok.fbytes + ok.abytes + ok.ffiles + ok.afiles);
		});
	} else if (cmd == "ls" || cmd == "ls-fh" || cmd == "count") {
		unsigned calls = 0;
		auto entries = cl.list(handle(cmd == "ls-fh"), num(2, 65536), &calls);
		std::set<std::string> names;
		for (auto &e : entries) {
			if (names.insert(e.name); cmd != "count")
				std::printf("%s\tcookie=%" PRIu64 "\t%s\n", escaped(e.name).c_str(), e.cookie,
					    e.has_attr ? attr_line(e.attr).c_str() : "noattr");
		}
		if (cmd == "count")
			std::printf("entries=%zu distinct=%zu calls=%u\n", entries.size(), names.size(), calls);
	} else if (cmd == "misses") { // COUNT lookups of names that are not there
		Handle dir = cl.resolve(arg(1));
		unsigned noent = 0;
		for (uint64_t i = 0; i < num(2); ++i)
			try {
				cl.lookup(dir, "missing-" + std::to_string(i));
			} catch (const NfsError &e) {
				noent += std::string(e.what()) == "NFS3ERR_NOENT";
			}
		std::printf("noent=%u\n", noent);
	} else if (cmd == "walk" || cmd == "tree") {
		walk(cl, num(1, 65536), cmd == "walk");
	} else {
		usage();
	}
}

} // namespace

int main(int argc, char **argv)
{
	unsigned inflight = 1, chunk = 0;
	bool timed = false;
	for (int opt; (opt = getopt(argc, argv, "+j:c:tT:")) != -1;) {
		if (opt == 't')
			timed = true;
		else if (opt == 'j' || opt == 'c' || opt == 'T')
			(opt == 'j' ? inflight : opt == 'c' ? chunk : timeout_seconds) = std::stoul(optarg);
		else
			usage();
	}
	if (argc - optind < 2)
		usage();
	try {
		Client cl(argv[optind], inflight, chunk);
		auto t0 = Clock::now();
		run(cl, std::vector<std::string>(argv + optind + 1, argv + argc));
		if (timed)
			std::fprintf(stderr, "seconds=%.6f\n", std::chrono::duration<double>(Clock::now() - t0).count());
		return 0;
	} catch (const NfsError &e) {
		std::fflush(stdout);
		std::printf("error %s\n", e.what());
		return 1;
	} catch (const std::exception &e) {
		fail(e.what());
	}
}
