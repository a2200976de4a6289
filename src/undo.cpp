#include "undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fsutil.h"
#include "interrupt.h"
#include "journalappend.h"
#include "journalformat.h"
#include "recordfile.h"
#include "terminal.h"

namespace
{

constexpr std::string_view changed_folder = "folder changed since the run";
constexpr std::string_view changed_entry = "entry changed since the run";
constexpr std::string_view not_back = "folder not renamed back";

// What the undo knows of a folder of the run, so that no folder is looked for twice in vain.
struct place {
	enum { unknown, reached, refused, missing } state = unknown;
	int fd = -1;          // reached: open while on the open way
	std::size_t pos = 0;  // reached: its index in open_way while open
	std::string name;     // its name in its parent now: the recorded one, or on a dry run the
	                      // new name of an entry the undo would give the recorded one back
	std::string reason;   // refused: why, for each entry below it
};

const std::vector<journal_folder> *folder_records;  // of the run being taken back
undo_counts counts;                                 // of the run being taken back
const char *mount_point;                            // where the run's paths begin
std::vector<place> places;                          // by folder number
std::vector<std::size_t> open_way;  // folders each below the one before, open from `first` on
std::size_t first;                  // index in open_way of the first folder still open
std::size_t fd_budget;              // most folders kept open besides the mount point
std::vector<std::size_t> way;       // the folders being reached, deepest first
// "parent/name" -> the folder the run entered through entry `name` of folder `parent`
std::unordered_map<std::string, std::size_t> entered;

std::string entry_key(std::size_t parent, std::string_view name)
{
	return std::to_string(parent) + "/" + std::string(name);
}

// Whether entry `name` of `dirfd` (`dirfd` itself for "") has the mark `recorded`, of the same
// kind, when the run recorded one; `sx` is from stat_entry when the caller has it.
bool same_mark(int dirfd, const char *name, const file_mark &recorded,
               const struct statx *sx = nullptr)
{
	if (recorded.kind == '-')
		return true;
	struct statx own;
	if (sx == nullptr) {
		if (stat_entry(dirfd, name, own) != 0)
			return false;
		sx = &own;
	}
	return mark_of(dirfd, name, *sx, recorded.kind) == recorded;
}

// Closes the folders on the open way from index `pos` on.
void close_from(std::size_t pos)
{
	for (std::size_t i = std::max(pos, first); i < open_way.size(); i++) {
		(void)close(places[open_way[i]].fd);
		places[open_way[i]].fd = -1;
	}
	open_way.resize(std::min(pos, open_way.size()));
	first = std::min(first, open_way.size());
}

void keep_open(std::size_t n, int fd)
{
	places[n].fd = fd;
	places[n].pos = open_way.size();
	places[n].state = place::reached;
	open_way.push_back(n);
	if (open_way.size() - first > fd_budget) {
		(void)close(places[open_way[first]].fd);
		places[open_way[first++]].fd = -1;
	}
}

void settle(std::size_t n, decltype(place::state) state, std::string_view reason)
{
	if (places[n].fd >= 0)
		close_from(places[n].pos);
	places[n].state = state;
	places[n].reason = reason;
}

// The folder numbered `n` open, reached from the nearest folder above it that is open, one
// recorded name at a time, each checked for the recorded identity; -1 when it can't be had, its
// state then telling why. Only a folder the run entered through a link is opened through one.
int reach(std::size_t n)
{
	way.clear();
	std::size_t m = n;
	while (places[m].fd < 0 &&
	       (places[m].state == place::unknown || places[m].state == place::reached)) {
		way.push_back(m);
		m = (*folder_records)[m].parent;
	}
	if (places[m].fd < 0) {
		for (std::size_t f : way)
			settle(f, places[m].state, places[m].reason);
		return -1;
	}
	// The open way leads to m, then down the folders about to be opened.
	if (!way.empty())
		close_from(m == 0 ? 0 : places[m].pos + 1);
	int fd = places[m].fd;
	for (auto it = way.rbegin(); it != way.rend(); ++it) {
		const journal_folder &folder = (*folder_records)[*it];
		int flags = O_PATH | O_DIRECTORY | O_CLOEXEC | (folder.via_link ? 0 : O_NOFOLLOW);
		int sub = openat(fd, places[*it].name.c_str(), flags);
		// A link may lead out of the volume to a folder that carries the recorded identity.
		if (sub >= 0 && (identity(sub) != folder.id || !same_mark(sub, "", folder.mark) ||
		                 (folder.via_link && !below(sub, (*folder_records)[0].id)))) {
			(void)close(sub);
			sub = -1;
			errno = ENOTDIR;
		}
		if (sub < 0) {
			auto state = errno == ENOENT ? place::missing : place::refused;
			std::string why = errno == ENOTDIR || errno == ELOOP
			                          ? std::string(changed_folder)
			                          : "folder: " + std::string(std::strerror(errno));
			for (auto below = it; below != way.rend(); ++below)
				settle(*below, state, why);
			return -1;
		}
		keep_open(*it, sub);
		fd = sub;
	}
	return fd;
}

std::size_t path_folder = SIZE_MAX;  // the folder whose path `path` holds
std::string path;
std::string line;  // the output line at hand, its start set by the caller of print_pair

// Prints the line at hand, ended by "NEW -> OLD" with the paths the run's log gave the entry.
void print_pair(const journal_entry &e)
{
	if (path_folder != e.folder) {
		std::vector<std::string_view> names;
		for (std::size_t f = e.folder; f != 0; f = (*folder_records)[f].parent)
			names.push_back((*folder_records)[f].name);
		path = mount_point;
		for (auto it = names.rbegin(); it != names.rend(); ++it)
			path.append("/").append(*it);
		path_folder = e.folder;
	}
	append_shown(line, STDOUT_FILENO, path);
	line.append("/");
	append_shown(line, STDOUT_FILENO, e.to);
	line.append(" -> ");
	append_shown(line, STDOUT_FILENO, path);
	line.append("/");
	append_shown(line, STDOUT_FILENO, e.from);
	line.append("\n");
	(void)std::fwrite(line.data(), 1, line.size(), stdout);
}

// The folder the run entered through the entry of `e`, if any.
place *entered_through(const journal_entry &e)
{
	if (entered.empty())
		return nullptr;
	auto it = entered.find(entry_key(e.folder, e.from));
	return it == entered.end() ? nullptr : &places[it->second];
}

void report_refused(const journal_entry &e, bool dry_run, std::string_view reason)
{
	counts.refused++;
	line.assign(dry_run ? "would refuse (" : "refused (");
	append_shown(line, STDOUT_FILENO, reason);
	line.append("): ");
	print_pair(e);
	if (place *p = entered_through(e))
		settle(static_cast<std::size_t>(p - places.data()), place::refused, not_back);
}

void report_missing(const journal_entry &e)
{
	counts.missing++;
	line.assign("missing: ");
	print_pair(e);
	if (place *p = entered_through(e))
		settle(static_cast<std::size_t>(p - places.data()), place::missing, {});
}

void revert(const journal_entry &e, bool dry_run)
{
	int dirfd = reach(e.folder);
	if (dirfd < 0) {
		if (places[e.folder].state == place::missing)
			return report_missing(e);
		return report_refused(e, dry_run, places[e.folder].reason);
	}

	struct statx sx;
	if (stat_entry(dirfd, e.to.c_str(), sx) != 0) {
		if (errno != ENOENT)
			return report_refused(e, dry_run, std::strerror(errno));
		int found = stat_entry(dirfd, e.from.c_str(), sx);
		if (found != 0 && errno != ENOENT)
			return report_refused(e, dry_run, std::strerror(errno));
		if (found == 0 && sx.stx_ino == e.ino &&
		    same_mark(dirfd, e.from.c_str(), e.mark, &sx)) {
			counts.already_reverted++;
			line.assign("already reverted: ");
			return print_pair(e);
		}
		return report_missing(e);
	}
	if (sx.stx_ino != e.ino || !same_mark(dirfd, e.to.c_str(), e.mark, &sx))
		return report_refused(e, dry_run, changed_entry);

	if (dry_run) {
		struct stat st;
		if (fstatat(dirfd, e.from.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
			return report_refused(e, dry_run, std::strerror(EEXIST));
		counts.reverted++;
		line.assign("would revert: ");
		print_pair(e);
		// The entries below it are reached by the name it still has.
		if (place *p = entered_through(e))
			p->name = e.to;
		return;
	}
	if (fault f = rename_noreplace(dirfd, e.to.c_str(), e.from.c_str()))
		return report_refused(e, dry_run, fault_text(f, false));
	counts.reverted++;
	line.clear();
	print_pair(e);
}

// The mount point, as the run recorded it: the first place of every way.
void open_mount_point()
{
	int fd = open(mount_point, O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0) {
		auto state = errno == ENOENT ? place::missing : place::refused;
		settle(0, state, "folder: " + std::string(std::strerror(errno)));
	} else if (identity(fd) != (*folder_records)[0].id ||
	           !same_mark(fd, "", (*folder_records)[0].mark)) {
		(void)close(fd);
		settle(0, place::refused, changed_folder);
	} else {
		places[0].fd = fd;
		places[0].state = place::reached;
	}
}

}  // namespace

// The walk renames a folder after its contents, so taking the journal back from its end renames
// each folder back before its contents, which are reached through its old name.
undo_counts revert_run(int journal, const journal_run &run, const run_folders &folders,
                       const char *mount, bool dry_run)
{
	folder_records = &folders.folders;
	counts = {};
	mount_point = mount;
	path_folder = SIZE_MAX;
	places.assign(folders.folders.size(), {});
	for (std::size_t n = 1; n < folders.folders.size(); n++) {
		places[n].name = folders.folders[n].name;
		entered[entry_key(folders.folders[n].parent, folders.folders[n].name)] = n;
	}
	fd_budget = descriptor_budget();
	if (!folders.folders.empty())
		open_mount_point();
	// Asked to stop, it stops between two records: what is left stays for the next undo.
	counts.journal = read_records(journal, run, folders, [dry_run](const journal_entry &e) {
		if (g_interrupt != 0)
			return false;
		switch (e.kind) {
		case journal_entry::renamed:
			revert(e, dry_run);
			break;
		case journal_entry::failed:
			counts.failed_in_run++;
			break;
		case journal_entry::unreadable:
			counts.unparseable++;
			line.assign("unparseable: ");
			append_shown(line, STDOUT_FILENO, e.text);
			line.append("\n");
			(void)std::fwrite(line.data(), 1, line.size(), stdout);
			break;
		}
		return true;
	});
	close_from(0);
	if (!places.empty() && places[0].fd >= 0)
		(void)close(places[0].fd);
	places.clear();
	entered.clear();
	return counts;
}

fault mark_taken_back(int dirfd, const char *name, int journal, const journal_run &run,
                      const undo_counts &counts)
{
	struct stat st, read;
	fault f;
	int fd = open_trusted(dirfd, name, O_RDWR | O_APPEND, 0, st, f);
	if (fd < 0)
		return f;
	if (fstat(journal, &read) != 0 || read.st_dev != st.st_dev || read.st_ino != st.st_ino) {
		(void)close(fd);
		return {0, "changed while the undo read it"};
	}
	std::string text;
	end_cut_line(fd, st.st_size, text);
	std::string at = journal_time();
	text.append(run.id).append(1, ' ').append(1, journal_taken_back).append(1, ' ');
	text.append(at.empty() ? "-" : at);
	for (std::uint64_t n : {counts.reverted, counts.already_reverted, counts.missing,
	                        counts.refused, counts.unparseable, counts.failed_in_run})
		text.append(1, ' ').append(std::to_string(n));
	text += '\n';
	bool torn = false;
	f = append_whole(fd, text, torn);
	(void)close(fd);
	return f;
}
