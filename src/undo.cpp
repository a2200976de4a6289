#include "undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "convert.h"
#include "convlog.h"
#include "mac2cp850.h"
#include "walk.h"

std::uint64_t g_reverted;
std::uint64_t g_already_reverted;
std::uint64_t g_missing;
std::uint64_t g_refused;
std::uint64_t g_unparseable;
std::uint64_t g_failed_in_run;

namespace
{

constexpr std::string_view closing = "\r\nFinished\r\n";
constexpr std::string_view error_line = "Error: ";
constexpr std::string_view arrow = " -> ";
constexpr std::string_view eol = "\r\n";
constexpr std::size_t npos = std::string_view::npos;

// A name may hold "\r\n", so one rename may cover several lines of the log; its " -> " is
// looked for in this many lines from its start.
constexpr int max_lines = 8;

// What became of an entry that was not simply renamed back, for the entries below it.
struct fate {
	enum { moved, missing, refused } state;
	std::string now;  // moved (dry run): the path the entry still has
};

std::unordered_map<std::string, fate> fates;  // by the entry's old path
folder_id mount_id;                           // every rename back happens at or below it

// One folder open on the way to the folder of the current line.
struct level {
	std::size_t end;  // length of its path within open_path
	int fd;
	bool inside;  // it is the mount point or lies below it
};

std::string open_path;      // the folder of the last line, as lines name it
std::vector<level> levels;  // "/" first, then as many folders on open_path as the budget allows
int last_fd = -1;           // open_path's folder, while it is open
int deep_fd = -1;           // open_path's folder when it lies deeper than the budget
std::size_t fd_budget = 8;  // most levels kept open

std::size_t line_end(std::string_view log, std::size_t pos)
{
	std::size_t end = log.find(eol, pos);
	return end == npos ? log.size() : end;
}

std::size_t next_line(std::string_view log, std::size_t pos)
{
	std::size_t end = line_end(log, pos);
	return end == log.size() ? end : end + eol.size();
}

// Splits the rename line that starts at `pos` every way that reads as a rename of the run:
// "old -> new\r\n", both absolute in the same folder, the old name decoded through the table
// giving exactly the new one. Returns how many ways there are; sets `end` past the "\r\n" of
// the longest, and for exactly one, `line` to the pair.
int split_rename(std::string_view log, std::size_t pos, undo_line &line, std::size_t &end)
{
	if (log[pos] != '/')
		return 0;
	std::size_t limit = pos;
	for (int i = 0; i < max_lines && limit < log.size(); i++)
		limit = next_line(log, limit);
	int found = 0;
	std::string name;
	std::string decoded;
	for (std::size_t a = log.find(arrow, pos); a != npos && a < limit;
	     a = log.find(arrow, a + 1)) {
		std::string_view old_path = log.substr(pos, a - pos);
		std::size_t slash = old_path.rfind('/');
		std::string_view dir = old_path.substr(0, slash + 1);
		std::size_t start = a + arrow.size();
		if (log.substr(start, dir.size()) != dir || old_path.find('\0') != npos)
			continue;
		name.assign(old_path.substr(slash + 1));
		if (!decode_name(name.c_str(), decoded, false))
			continue;
		std::size_t name_at = start + dir.size();
		if (log.substr(name_at, decoded.size()) != decoded ||
		    log.substr(name_at + decoded.size(), eol.size()) != eol)
			continue;
		std::string_view new_path = log.substr(start, dir.size() + decoded.size());
		if (found++ == 0)
			line = {undo_line::renamed, old_path, new_path, {}};
		end = start + new_path.size() + eol.size();
	}
	return found;
}

// Reads a run's lines from offset `pos`, its first conversion line, adding them to `out` when it
// is given. Returns where the section ends: past its "Finished" line, at the next run's header
// (the run was stopped), or at the log's end.
std::size_t scan_run(std::string_view log, std::size_t pos, std::vector<undo_line> *out)
{
	bool after_rename = false;
	while (pos < log.size()) {
		std::string_view rest = log.substr(pos);
		if (rest.starts_with(closing))
			return pos + closing.size();
		if (rest.starts_with(log_header))
			return pos;
		if (rest.starts_with(error_line)) {
			// Only right after its rename line; otherwise it is part of an unread one.
			if (after_rename && out != nullptr)
				out->back().kind = undo_line::failed;
			after_rename = false;
			pos = next_line(log, pos);
			continue;
		}
		undo_line line{};
		std::size_t end = 0;
		int splits = split_rename(log, pos, line, end);
		after_rename = splits == 1;
		if (splits == 0) {
			std::size_t stop = line_end(log, pos);
			line = {undo_line::unparseable, {}, {}, log.substr(pos, stop - pos)};
			pos = next_line(log, pos);
		} else {
			// An ambiguous line is skipped up to its longest reading, whose lines can't
			// be told from parts of names.
			std::string_view text = log.substr(pos, end - eol.size() - pos);
			if (splits > 1)
				line = {undo_line::ambiguous, {}, {}, text};
			pos = end;
		}
		if (out != nullptr)
			out->push_back(line);
	}
	return pos;
}

// Closes the levels from `keep` on, and the folder beyond them.
void close_levels(std::size_t keep)
{
	for (std::size_t i = keep; i < levels.size(); i++)
		(void)close(levels[i].fd);
	levels.resize(std::min(keep, levels.size()));
	if (deep_fd >= 0)
		(void)close(deep_fd);
	deep_fd = -1;
	last_fd = -1;
}

// Opens the folder `path` a component at a time from "/", so that no length is too much,
// keeping the levels it shares with the last folder opened. The folder must be the mount point
// or lie below it, and a link is followed only when it leads there too. Returns a descriptor
// that stays open until the next call, or -1 with errno set (EXDEV for a folder elsewhere).
int folder_at(const std::string &path)
{
	if (last_fd >= 0 && path == open_path)
		return last_fd;
	std::size_t same =
	        std::mismatch(path.begin(), path.end(), open_path.begin(), open_path.end()).first -
	        path.begin();
	std::size_t keep = 0;
	while (keep < levels.size() && levels[keep].end <= same &&
	       (levels[keep].end == path.size() || path[levels[keep].end] == '/') &&
	       (levels[keep].end == open_path.size() || open_path[levels[keep].end] == '/'))
		keep++;
	close_levels(keep);
	open_path = path;
	if (levels.empty()) {
		int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
		if (fd < 0)
			return -1;
		levels.push_back({0, fd, identity(fd) == mount_id});
	}

	int fd = levels.back().fd;
	bool inside = levels.back().inside;
	struct stat st;
	for (std::size_t pos = levels.back().end + 1; pos < path.size();) {
		std::size_t slash = path.find('/', pos);
		if (slash == npos)
			slash = path.size();
		std::string name(path.substr(pos, slash - pos));
		pos = slash + 1;
		if (name.empty() || name == ".")
			continue;
		if (name == "..") {
			close_levels(levels.size());
			errno = EXDEV;
			return -1;
		}
		int sub = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
		bool link = sub < 0 && (errno == ENOTDIR || errno == ELOOP) &&
		            fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		            S_ISLNK(st.st_mode);
		if (link)
			sub = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
		int err = errno;
		close_levels(levels.size());
		errno = err;
		if (sub < 0)
			return -1;
		if (link || !inside)
			inside = link ? below(sub, mount_id) : identity(sub) == mount_id;
		if (levels.size() < fd_budget)
			levels.push_back({slash, sub, inside});
		else
			deep_fd = sub;
		fd = sub;
	}
	if (!inside) {
		close_levels(levels.size());
		errno = EXDEV;
		return -1;
	}
	last_fd = fd;
	return fd;
}

// The fate of `dir` or of its deepest ancestor that has one, and in `len` the length of that
// ancestor's path; nullptr when none has.
const fate *fate_of(const std::string &dir, std::size_t &len)
{
	if (fates.empty())
		return nullptr;
	for (len = dir.size();; len = dir.rfind('/', len - 1)) {
		auto it = fates.find(dir.substr(0, len));
		if (it != fates.end())
			return &it->second;
		if (len == 0)
			return nullptr;
	}
}

void print(std::string_view text)
{
	(void)std::fwrite(text.data(), 1, text.size(), stdout);
}

void print_pair(std::string_view prefix, const undo_line &line)
{
	print(prefix);
	print(line.new_path);
	print(arrow);
	print(line.old_path);
	print("\n");
}

void report_refused(const undo_line &line, bool dry_run, std::string_view reason)
{
	g_refused++;
	print(dry_run ? "would refuse (" : "refused (");
	print(reason);
	print_pair("): ", line);
	fates[std::string(line.old_path)] = {fate::refused, {}};
}

void report_missing(const undo_line &line)
{
	g_missing++;
	print_pair("missing: ", line);
	fates[std::string(line.old_path)] = {fate::missing, {}};
}

void revert(const undo_line &line, bool dry_run)
{
	std::size_t slash = line.old_path.rfind('/');
	std::string dir(line.old_path.substr(0, slash));
	std::string old_name(line.old_path.substr(slash + 1));
	std::string new_name(line.new_path.substr(slash + 1));

	std::size_t len = 0;
	if (const fate *f = fate_of(dir, len)) {
		if (f->state == fate::missing)
			return report_missing(line);
		if (f->state == fate::refused)
			return report_refused(line, dry_run, "folder not renamed back");
		dir = f->now + dir.substr(len);
	}
	int dirfd = folder_at(dir);
	if (dirfd < 0) {
		if (errno == ENOENT)
			return report_missing(line);
		return report_refused(line, dry_run,
		                      errno == EXDEV
		                              ? std::string("folder outside the mount point")
		                              : std::string("folder: ") + std::strerror(errno));
	}

	struct stat st;
	if (fstatat(dirfd, new_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
		if (errno != ENOENT)
			return report_refused(line, dry_run, std::strerror(errno));
		struct stat old_st;
		if (fstatat(dirfd, old_name.c_str(), &old_st, AT_SYMLINK_NOFOLLOW) == 0) {
			g_already_reverted++;
			return print_pair("already reverted: ", line);
		}
		if (errno != ENOENT)
			return report_refused(line, dry_run, std::strerror(errno));
		return report_missing(line);
	}

	if (dry_run) {
		struct stat old_st;
		if (fstatat(dirfd, old_name.c_str(), &old_st, AT_SYMLINK_NOFOLLOW) == 0)
			return report_refused(line, dry_run, std::strerror(EEXIST));
		g_reverted++;
		print_pair("would revert: ", line);
		// Lines below it name it by its old name; so may lines through a link.
		if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))
			fates[std::string(line.old_path)] = {fate::moved, dir + "/" + new_name};
		return;
	}
	if (rename_noreplace(dirfd, new_name.c_str(), old_name.c_str()) != 0)
		return report_refused(line, dry_run, std::strerror(errno));
	g_reverted++;
	print_pair("", line);
}

}  // namespace

int read_log(const char *path, std::string &out)
{
	// Non-blocking, so that a FIFO named as the log can't hang the undo.
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return errno;
	struct stat st;
	if (fstat(fd, &st) != 0) {
		int err = errno;
		(void)close(fd);
		return err;
	}
	if (!S_ISREG(st.st_mode)) {
		(void)close(fd);
		return -1;
	}
	out.clear();
	out.resize(static_cast<std::size_t>(st.st_size) + 1);
	std::size_t filled = 0;
	for (;;) {
		if (filled == out.size())
			out.resize(2 * out.size());
		ssize_t n = read(fd, out.data() + filled, out.size() - filled);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			int err = errno;
			(void)close(fd);
			return err;
		}
		if (n == 0)
			break;
		filled += static_cast<std::size_t>(n);
	}
	(void)close(fd);
	out.resize(filled);
	return 0;
}

// A header counts only where a line starts outside any run's lines, so a name that holds the
// header's text inside a conversion line is no run.
std::vector<std::size_t> find_runs(std::string_view log)
{
	std::vector<std::size_t> runs;
	for (std::size_t pos = 0; pos < log.size();) {
		if (log.substr(pos).starts_with(log_header)) {
			runs.push_back(pos + log_header.size());
			pos = scan_run(log, pos + log_header.size(), nullptr);
		} else {
			// Between runs, a line may also end in a bare "\n" of some other writer.
			std::size_t end = log.find('\n', pos);
			pos = end == npos ? log.size() : end + 1;
		}
	}
	return runs;
}

std::vector<undo_line> read_run(std::string_view log, std::size_t body)
{
	std::vector<undo_line> lines;
	(void)scan_run(log, body, &lines);
	return lines;
}

// The walk renames a folder after its contents, so taking the log back from its end renames
// each folder back before its contents, whose lines name it by its old name.
void revert_run(const std::vector<undo_line> &lines, bool dry_run)
{
	struct stat st;
	mount_id = stat(g_startpath, &st) == 0 ? folder_id{st.st_dev, st.st_ino} : folder_id{0, 0};
	fd_budget = descriptor_budget();
	for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
		switch (it->kind) {
		case undo_line::renamed:
			revert(*it, dry_run);
			break;
		case undo_line::failed:
			g_failed_in_run++;
			break;
		case undo_line::unparseable:
		case undo_line::ambiguous:
			g_unparseable++;
			print(it->kind == undo_line::unparseable ? "unparseable: " : "ambiguous: ");
			print(it->text);
			print("\n");
			break;
		}
	}
	close_levels(0);
	open_path.clear();
	fates.clear();
}
