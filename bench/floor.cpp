// The floor of the benchmark: only what converting a tree cannot do without. Lists each folder
// whole, walks its subfolders first, and renames every entry whose decoded name differs with one
// renameat; no log, no statistics, no checks beyond those.
//
//   floor ROOT TABLE
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

unsigned char table[256];
std::vector<char> records(std::size_t{1} << 18);

int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// The program's decoding rules: escapes of '.' and '/' and unmapped escapes are kept.
bool decode(const char *name, std::string &out)
{
	if (std::strchr(name, ':') == nullptr)
		return false;
	bool changed = false;
	out.clear();
	for (const char *p = name; *p != '\0';) {
		int high = *p == ':' ? hex_digit(p[1]) : -1;
		int low = high < 0 ? -1 : hex_digit(p[2]);
		if (low < 0) {
			out += *p++;
			continue;
		}
		unsigned value = static_cast<unsigned>(high * 16 + low);
		unsigned char byte = table[value];
		if (value == 0x2E || value == 0x2F || byte == 0 || byte == '/') {
			out.append(p, 3);
		} else {
			out += static_cast<char>(byte);
			changed = true;
		}
		p += 3;
	}
	return changed;
}

void walk(int fd)
{
	std::string listing;  // per entry: its type, its name, a 0 byte
	ssize_t filled;
	while ((filled = getdents64(fd, records.data(), records.size())) > 0) {
		for (ssize_t at = 0; at < filled;) {
			const auto *entry =
			        reinterpret_cast<const struct dirent64 *>(records.data() + at);
			at += entry->d_reclen;
			const char *name = entry->d_name;
			if (name[0] == '.' &&
			    (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
				continue;
			listing += static_cast<char>(entry->d_type);
			listing.append(name, std::strlen(name) + 1);
		}
	}
	std::string new_name;
	for (std::size_t at = 0; at < listing.size();) {
		unsigned char type = static_cast<unsigned char>(listing[at]);
		const char *name = listing.data() + at + 1;
		at += std::strlen(name) + 2;
		if (type == DT_DIR) {
			int sub = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
			if (sub >= 0) {
				walk(sub);
				(void)close(sub);
			}
		}
		if (decode(name, new_name) && renameat(fd, name, fd, new_name.c_str()) != 0)
			std::perror(name);
	}
}

}  // namespace

int main(int argc, char **argv)
{
	if (argc != 3) {
		std::fprintf(stderr, "usage: floor ROOT TABLE\n");
		return 2;
	}
	int table_fd = open(argv[2], O_RDONLY);
	if (table_fd < 0 || read(table_fd, table, sizeof table) < 0) {
		std::perror(argv[2]);
		return 1;
	}
	(void)close(table_fd);
	int fd = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0) {
		std::perror(argv[1]);
		return 1;
	}
	walk(fd);
	return 0;
}
