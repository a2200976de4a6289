#include "convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "convlog.h"
#include "journal.h"
#include "mac2cp850.h"
#include "preview.h"

unsigned char mactable[256];
std::uint64_t g_conversion_counter;
std::uint64_t g_withheld;
std::string g_withheld_reason;

namespace
{

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

std::string decoded;  // the decoded name of the entry at hand; capacity kept between entries
std::string line;     // its log line; capacity kept between entries

// A rename withheld: the first one says why for the whole run.
void withhold(const char *file, int err)
{
	if (g_withheld++ != 0)
		return;
	g_withheld_reason = std::string(file) + ": ";
	if (err < 0)
		g_withheld_reason += "not a regular file";
	else
		g_withheld_reason += std::to_string(err) + " " + std::strerror(err);
}

}  // namespace

// Where the file system lacks RENAME_NOREPLACE, looks for `to` right before a plain rename.
int rename_noreplace(int dirfd, const char *from, const char *to)
{
	if (renameat2(dirfd, from, dirfd, to, RENAME_NOREPLACE) == 0)
		return 0;
	if (errno != EINVAL && errno != ENOSYS)
		return -1;
	struct stat st;
	if (fstatat(dirfd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
		errno = EEXIST;
		return -1;
	}
	if (errno != ENOENT)
		return -1;
	return renameat(dirfd, from, dirfd, to);
}

int escape_at(const char *p)
{
	if (*p != ':')
		return -1;
	int high = hex_digit(p[1]);
	int low = high < 0 ? -1 : hex_digit(p[2]);
	return low < 0 ? -1 : high * 16 + low;
}

// Escapes of '.' and '/', and those whose table entry is 0 (no mapping) or '/', are kept, so a
// decoded name is never cut, never leaves its folder, and loses no information.
const char *why_kept(int value)
{
	if (value == 0x2E)
		return "is '.'";
	if (value == 0x2F)
		return "is '/'";
	if (mactable[value] == 0)
		return "has no byte in the table";
	if (mactable[value] == '/')
		return "would give '/'";
	return nullptr;
}

// An escape is ':' and exactly two hex digits; any other ':' is an ordinary byte.
bool decode_name(const char *name, std::string &out)
{
	const char *colon = std::strchr(name, ':');
	if (colon == nullptr)
		return false;
	bool changed = false;
	out.assign(name, colon);
	for (const char *p = colon; *p != '\0';) {
		if (*p != ':') {
			const char *run = p;
			while (*p != '\0' && *p != ':')
				p++;
			out.append(run, p);
			continue;
		}
		int value = escape_at(p);
		if (value < 0) {
			out += *p++;
			continue;
		}
		if (why_kept(value) != nullptr) {
			out.append(p, 3);
		} else {
			out += static_cast<char>(mactable[value]);
			changed = true;
		}
		p += 3;
	}
	return changed;
}

// Non-blocking, so that a FIFO in the table's place can't hang the caller.
int load_table(const char *path)
{
	std::memset(mactable, 0, sizeof mactable);
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return errno;
	std::size_t filled = 0;
	while (filled < sizeof mactable) {
		ssize_t n = read(fd, mactable + filled, sizeof mactable - filled);
		if (n <= 0)
			break;
		filled += static_cast<std::size_t>(n);
	}
	(void)close(fd);
	return 0;
}

void set_new_name(int dirfd, const std::string &dir, const char *name, ino_t ino)
{
	bool changed = decode_name(name, decoded);
	if (changed)
		g_conversion_counter++;
	if (g_dry_run)
		return foresee(dirfd, dir, name, changed ? decoded.c_str() : nullptr);
	if (changed)
		rename_entry(dirfd, dir, name, ino, decoded);
}

// Records before acts: the log line, the journal record, the rename, and after a failed rename
// its error line and record. A log line whose record can't follow is taken out again, so that
// the log lists no rename that did not happen.
void rename_entry(int dirfd, const std::string &dir, const char *name, ino_t ino,
                  const std::string &new_name)
{
	line.assign(dir).append("/").append(name).append(" -> ");
	line.append(dir).append("/").append(new_name).append("\r\n");
	if (int err = store_log_line(line); err != 0)
		return withhold(g_logfile, err);
	if (int err = journal_rename(ino, name, new_name); err != 0) {
		unstore_log_line(line);
		return withhold(g_journalfile, err);
	}

	if (rename_noreplace(dirfd, name, new_name.c_str()) != 0) {
		int err = errno;
		store_log("Error: " + std::to_string(err) + " " + std::strerror(err) + "\r\n");
		journal_failure(err);
	}
}
