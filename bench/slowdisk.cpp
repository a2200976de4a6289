// A slow disk for the benchmark: a FUSE file system that serves one image file, delays every
// read of it by a set time and serves at most DEPTH reads at once, like storage that takes
// milliseconds per read but serves many at once. Writes are not delayed.
//
//   slowdisk IMAGE MOUNTPOINT [FUSE OPTIONS]
//
// MOUNTPOINT/image is IMAGE (attach it to a loop device with direct I/O, so that no cache sits
// between the file system on it and this delay). MOUNTPOINT/control reads as
// "reads N busy_ns T depth D delay_us U": the reads served since the last setting and the time
// they took once served (the delay and the copy, not the wait for a free slot). Writing
// "DELAY_US DEPTH" to it sets both and counts from 0 again. Starts with 0 and 1.
#define FUSE_USE_VERSION 31

#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

int image_fd = -1;

std::mutex lock;                // guards everything below
std::condition_variable freed;  // a slot was freed, or the depth changed
unsigned depth = 1;
std::chrono::microseconds delay{0};
unsigned serving;  // reads being served
std::uint64_t reads;
std::uint64_t busy_ns;

std::string control_text()
{
	std::lock_guard<std::mutex> held(lock);
	return "reads " + std::to_string(reads) + " busy_ns " + std::to_string(busy_ns) +
	       " depth " + std::to_string(depth) + " delay_us " + std::to_string(delay.count()) +
	       "\n";
}

bool is_image(const char *path)
{
	return std::strcmp(path, "/image") == 0;
}

bool is_control(const char *path)
{
	return std::strcmp(path, "/control") == 0;
}

void *init(fuse_conn_info *conn, fuse_config *cfg)
{
	// Every read reaches this process, and many may be outstanding at once.
	cfg->direct_io = 1;
	cfg->kernel_cache = 0;
	conn->max_background = 256;
	conn->congestion_threshold = 192;
	return nullptr;
}

int getattr(const char *path, struct stat *st, fuse_file_info *)
{
	std::memset(st, 0, sizeof *st);
	if (std::strcmp(path, "/") == 0) {
		st->st_mode = S_IFDIR | 0755;
		st->st_nlink = 2;
		return 0;
	}
	if (is_image(path)) {
		struct stat image;
		if (fstat(image_fd, &image) != 0)
			return -errno;
		st->st_mode = S_IFREG | 0600;
		st->st_nlink = 1;
		st->st_size = image.st_size;
		st->st_blocks = image.st_blocks;
		return 0;
	}
	if (is_control(path)) {
		st->st_mode = S_IFREG | 0600;
		st->st_nlink = 1;
		st->st_size = 4096;
		return 0;
	}
	return -ENOENT;
}

int readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *,
            fuse_readdir_flags)
{
	if (std::strcmp(path, "/") != 0)
		return -ENOENT;
	for (const char *name : {".", "..", "image", "control"})
		fill(buf, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
	return 0;
}

int open(const char *path, fuse_file_info *fi)
{
	if (!is_image(path) && !is_control(path))
		return -ENOENT;
	fi->direct_io = 1;
	return 0;
}

int read(const char *path, char *buf, size_t size, off_t offset, fuse_file_info *)
{
	if (is_control(path)) {
		std::string text = control_text();
		if (offset >= static_cast<off_t>(text.size()))
			return 0;
		size = std::min(size, text.size() - static_cast<size_t>(offset));
		std::memcpy(buf, text.data() + offset, size);
		return static_cast<int>(size);
	}
	std::chrono::microseconds wait;
	{
		std::unique_lock<std::mutex> held(lock);
		freed.wait(held, [] { return serving < depth; });
		serving++;
		wait = delay;
	}
	auto started = std::chrono::steady_clock::now();
	if (wait.count() > 0)
		std::this_thread::sleep_for(wait);
	ssize_t n = pread(image_fd, buf, size, offset);
	int err = errno;
	auto took = std::chrono::steady_clock::now() - started;
	{
		std::lock_guard<std::mutex> held(lock);
		serving--;
		reads++;
		busy_ns += static_cast<std::uint64_t>(
		        std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
	}
	freed.notify_one();
	return n < 0 ? -err : static_cast<int>(n);
}

int write(const char *path, const char *buf, size_t size, off_t offset, fuse_file_info *)
{
	if (is_control(path)) {
		unsigned long long delay_us = 0;
		unsigned new_depth = 0;
		std::string text(buf, size);
		if (std::sscanf(text.c_str(), "%llu %u", &delay_us, &new_depth) != 2 ||
		    new_depth == 0)
			return -EINVAL;
		{
			std::lock_guard<std::mutex> held(lock);
			delay = std::chrono::microseconds(delay_us);
			depth = new_depth;
			reads = 0;
			busy_ns = 0;
		}
		freed.notify_all();
		return static_cast<int>(size);
	}
	ssize_t n = pwrite(image_fd, buf, size, offset);
	return n < 0 ? -errno : static_cast<int>(n);
}

int truncate(const char *path, off_t, fuse_file_info *)
{
	return is_control(path) ? 0 : -EPERM;
}

// Nothing is synced: writes are not what this disk simulates, and the image is restored before
// every run anyway.
int fsync(const char *, int, fuse_file_info *)
{
	return 0;
}

}  // namespace

int main(int argc, char **argv)
{
	if (argc < 3) {
		std::fprintf(stderr, "usage: slowdisk IMAGE MOUNTPOINT [FUSE OPTIONS]\n");
		return 2;
	}
	image_fd = ::open(argv[1], O_RDWR | O_CLOEXEC);
	if (image_fd < 0) {
		std::perror(argv[1]);
		return 1;
	}
	fuse_operations ops{};
	ops.init = init;
	ops.getattr = getattr;
	ops.readdir = readdir;
	ops.open = open;
	ops.read = read;
	ops.write = write;
	ops.truncate = truncate;
	ops.fsync = fsync;
	// In the foreground, with enough threads that no read waits for one.
	std::vector<char *> args{argv[0], argv[2], const_cast<char *>("-f"),
	                         const_cast<char *>("-o"),
	                         const_cast<char *>("max_threads=512,max_idle_threads=512")};
	for (int i = 3; i < argc; i++)
		args.push_back(argv[i]);
	return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
