// Builds the benchmark's trees: seeded, so that every run meets the same names, and copied by
// hard links, so that a fresh copy costs new folders but no new files.
//
//   gentree [--cp932] tree DIR ENTRIES PER_FOLDER ESCAPED_PERCENT SEED
//   gentree [--cp932] deep DIR LEVELS ESCAPED_PERCENT SEED
//   gentree [--cp932] levels DIR ENTRIES FANOUTS ESCAPED_PERCENT SEED
//   gentree copy FROM TO
//
// Each but "copy" prints "folders F entries E escaped X": F counts DIR itself, E every entry
// below it (folders included), X the entries whose names carry an escape the shipped table maps,
// or with --cp932 the Japanese names, which `--from CP932` converts.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace
{

std::mt19937_64 rng;
std::uint64_t escaped_percent;
std::uint64_t escaped;
bool japanese;  // the escaped names are Japanese, as a cap server in CP932 stores them
// Draws the Japanese words, so that rng draws the same tree, with the same entries escaped, as
// for Mac names.
std::mt19937_64 words_rng;

[[noreturn]] void fail(const char *what, const std::string &name)
{
	std::fprintf(stderr, "gentree: %s %s: %s\n", what, name.c_str(), std::strerror(errno));
	std::exit(1);
}

void seed(std::uint64_t value)
{
	rng.seed(value);
	words_rng.seed(~value);
}

void append_byte(std::string &name, unsigned byte)
{
	char escape[4];
	std::snprintf(escape, sizeof escape, ":%02x", byte);
	name += byte < 0x80 ? std::string(1, static_cast<char>(byte)) : escape;
}

// One to three Japanese words of two to four characters, in CP932 as a cap server stores it:
// every byte above 127 escaped, the trail bytes 0x40..0x7E (among them '\', '|', '~' and '@')
// as they are. The words are mostly kanji of JIS level 1, then katakana, hiragana and
// half-width katakana; every code drawn is defined in CP932.
std::string japanese_words()
{
	std::string words;
	for (std::uint64_t word = 0, count = 1 + words_rng() % 3; word < count; word++) {
		std::uint64_t kind = words_rng() % 20;
		for (std::uint64_t i = 0, length = 2 + words_rng() % 3; i < length; i++) {
			if (kind < 12) {
				// Leads 0x89..0x97, trails 0x40..0xFC but 0x7F: rows 17 to 46.
				unsigned trail = 0x40 + static_cast<unsigned>(words_rng() % 188);
				append_byte(words, 0x89 + static_cast<unsigned>(words_rng() % 15));
				append_byte(words, trail < 0x7F ? trail : trail + 1);
			} else if (kind < 17) {
				unsigned trail = 0x40 + static_cast<unsigned>(words_rng() % 86);
				append_byte(words, 0x83);
				append_byte(words, trail < 0x7F ? trail : trail + 1);
			} else if (kind < 19) {
				append_byte(words, 0x82);
				append_byte(words, 0x9F + static_cast<unsigned>(words_rng() % 83));
			} else {
				append_byte(words, 0xA6 + static_cast<unsigned>(words_rng() % 58));
			}
		}
		if (word + 1 < count && words_rng() % 2 == 0)
			words += '_';
	}
	return words;
}

// A name like an office file server holds: letters and digits, in escaped_percent of the names
// one or two escapes of Mac accented letters (0x80..0x9F, all mapped to code page 850) or, for a
// Japanese volume, Japanese words instead of the letters, and the index, which keeps names
// unique before and after decoding.
std::string make_name(std::uint64_t index, const char *suffix)
{
	static const char chars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
	std::string name;
	std::size_t length = 6 + rng() % 9;
	for (std::size_t i = 0; i < length; i++)
		name += chars[rng() % 36];
	if (rng() % 100 < escaped_percent) {
		escaped++;
		int count = 1 + static_cast<int>(rng() % 2);
		for (int i = 0; i < count; i++) {
			char escape[4];
			std::snprintf(escape, sizeof escape, ":%02x",
			              0x80 + static_cast<int>(rng() % 32));
			name.insert(rng() % (name.size() + 1), escape);
		}
		if (japanese)
			name = japanese_words();
	}
	return name + "-" + std::to_string(index) + suffix;
}

void make_file(int dirfd, const std::string &name)
{
	if (mknodat(dirfd, name.c_str(), S_IFREG | 0644, 0) != 0)
		fail("mknod", name);
}

int make_folder(int dirfd, const std::string &name)
{
	if (mkdirat(dirfd, name.c_str(), 0755) != 0)
		fail("mkdir", name);
	int fd = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
	if (fd < 0)
		fail("open", name);
	return fd;
}

// An existing folder, such as the root of a file system made for the tree, is filled as it is.
int make_root(const char *dir)
{
	if (mkdir(dir, 0755) != 0 && errno != EEXIST)
		fail("mkdir", dir);
	int fd = open(dir, O_RDONLY | O_DIRECTORY);
	if (fd < 0)
		fail("open", dir);
	return fd;
}

// Every folder holds per_folder entries (the last one fewer); folders are laid out breadth
// first, so a tree of per_folder² entries is the top folder full of folders full of files.
void make_tree(const char *dir, std::uint64_t entries, std::uint64_t per_folder)
{
	std::uint64_t folders_total = (entries + per_folder - 1) / per_folder;
	std::uint64_t folders_made = 1;
	std::uint64_t left = entries;
	std::uint64_t index = 0;
	std::deque<int> queue{make_root(dir)};
	while (!queue.empty() && left > 0) {
		int fd = queue.front();
		queue.pop_front();
		std::uint64_t here = left < per_folder ? left : per_folder;
		std::uint64_t subfolders = folders_total - folders_made;
		if (subfolders > here)
			subfolders = here;
		for (std::uint64_t i = 0; i < here; i++) {
			if (i < subfolders)
				queue.push_back(make_folder(fd, make_name(index++, "")));
			else
				make_file(fd, make_name(index++, ".txt"));
		}
		folders_made += subfolders;
		left -= here;
		(void)close(fd);
	}
	for (int fd : queue)
		(void)close(fd);
	std::printf("folders %" PRIu64 " entries %" PRIu64 " escaped %" PRIu64 "\n", folders_made,
	            entries, escaped);
}

// One folder and two files per level.
void make_deep(const char *dir, std::uint64_t levels)
{
	int fd = make_root(dir);
	std::uint64_t index = 0;
	std::size_t path = std::strlen(dir);
	for (std::uint64_t level = 0; level < levels; level++) {
		make_file(fd, make_name(index++, ".txt"));
		make_file(fd, make_name(index++, ".txt"));
		std::string name = make_name(index++, "");
		path += 1 + name.size();
		int down = make_folder(fd, name);
		(void)close(fd);
		fd = down;
	}
	(void)close(fd);
	std::printf("folders %" PRIu64 " entries %" PRIu64 " escaped %" PRIu64
	            " longest_path %zu\n",
	            levels + 1, index, escaped, path);
}

// Folders in levels: fanouts[0] in DIR, fanouts[1] in each of those, and so on; the rest of
// the entries are files, spread evenly over the deepest folders.
void make_levels(const char *dir, std::uint64_t entries, const std::vector<std::uint64_t> &fanouts)
{
	int root = make_root(dir);
	std::vector<std::string> level{"."};
	std::uint64_t index = 0;
	for (std::uint64_t fanout : fanouts) {
		std::vector<std::string> next;
		for (const std::string &path : level) {
			for (std::uint64_t i = 0; i < fanout; i++) {
				std::string name = path + "/" + make_name(index++, "");
				if (mkdirat(root, name.c_str(), 0755) != 0)
					fail("mkdir", name);
				next.push_back(name);
			}
		}
		level = std::move(next);
	}
	std::uint64_t files = entries > index ? entries - index : 0;
	for (std::uint64_t k = 0; k < level.size(); k++) {
		int fd = openat(root, level[k].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
		if (fd < 0)
			fail("open", level[k]);
		std::uint64_t here = files / level.size() + (k < files % level.size() ? 1 : 0);
		for (std::uint64_t i = 0; i < here; i++)
			make_file(fd, make_name(index++, ".txt"));
		(void)close(fd);
	}
	(void)close(root);
	std::uint64_t folders = 1;
	for (std::uint64_t width = 1; std::uint64_t fanout : fanouts)
		folders += width *= fanout;
	std::printf("folders %" PRIu64 " entries %" PRIu64 " escaped %" PRIu64 "\n", folders, index,
	            escaped);
}

void copy(int from, int to)
{
	int list_fd = dup(from);
	DIR *dir = list_fd < 0 ? nullptr : fdopendir(list_fd);
	if (dir == nullptr)
		fail("list", "");
	std::vector<std::pair<std::string, unsigned char>> listing;
	while (const struct dirent *entry = readdir(dir)) {
		if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
			listing.emplace_back(entry->d_name, entry->d_type);
	}
	(void)closedir(dir);
	for (const auto &[name, type] : listing) {
		if (type != DT_DIR) {
			if (linkat(from, name.c_str(), to, name.c_str(), 0) != 0)
				fail("link", name);
			continue;
		}
		int sub_from = openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
		if (sub_from < 0)
			fail("open", name);
		int sub_to = make_folder(to, name);
		copy(sub_from, sub_to);
		(void)close(sub_from);
		(void)close(sub_to);
	}
}

}  // namespace

int main(int argc, char **argv)
{
	japanese = argc > 1 && std::strcmp(argv[1], "--cp932") == 0;
	if (japanese) {
		argc--;
		argv++;
	}
	std::string mode = argc > 1 ? argv[1] : "";
	if (mode == "tree" && argc == 7) {
		escaped_percent = std::strtoull(argv[5], nullptr, 10);
		seed(std::strtoull(argv[6], nullptr, 10));
		make_tree(argv[2], std::strtoull(argv[3], nullptr, 10),
		          std::strtoull(argv[4], nullptr, 10));
		return 0;
	}
	if (mode == "deep" && argc == 6) {
		escaped_percent = std::strtoull(argv[4], nullptr, 10);
		seed(std::strtoull(argv[5], nullptr, 10));
		make_deep(argv[2], std::strtoull(argv[3], nullptr, 10));
		return 0;
	}
	if (mode == "levels" && argc == 7) {
		escaped_percent = std::strtoull(argv[5], nullptr, 10);
		seed(std::strtoull(argv[6], nullptr, 10));
		std::vector<std::uint64_t> fanouts;
		for (const char *p = argv[4]; *p != '\0';) {
			char *end;
			fanouts.push_back(std::strtoull(p, &end, 10));
			p = *end == ',' ? end + 1 : end;
		}
		make_levels(argv[2], std::strtoull(argv[3], nullptr, 10), fanouts);
		return 0;
	}
	if (mode == "copy" && argc == 4) {
		int from = open(argv[2], O_RDONLY | O_DIRECTORY);
		if (from < 0)
			fail("open", argv[2]);
		int to = make_root(argv[3]);
		copy(from, to);
		return 0;
	}
	std::fprintf(stderr,
	             "usage: gentree [--cp932] tree DIR ENTRIES PER_FOLDER ESCAPED_PERCENT SEED\n"
	             "       gentree [--cp932] deep DIR LEVELS ESCAPED_PERCENT SEED\n"
	             "       gentree [--cp932] levels DIR ENTRIES FANOUTS ESCAPED_PERCENT SEED\n"
	             "       gentree copy FROM TO\n");
	return 2;
}
