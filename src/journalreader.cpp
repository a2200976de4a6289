#include "journalreader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "fsutil.h"
#include "journalformat.h"

namespace
{

int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

bool take_number(std::string_view field, std::uint64_t &n)
{
	const char *end = field.data() + field.size();
	auto [at, err] = std::from_chars(field.data(), end, n);
	return !field.empty() && err == std::errc() && at == end;
}

// The inverse of put_mark: false for anything put_mark never writes.
bool take_mark(std::string_view field, file_mark &mark)
{
	mark = {};
	if (field == "-")
		return true;
	if (field.size() < 2 || (field[0] != 'b' && field[0] != 'g'))
		return false;
	const char *end = field.data() + field.size();
	auto [at, err] = std::from_chars(field.data() + 1, end, mark.value);
	if (err != std::errc() || at == field.data() + 1)
		return false;
	mark.kind = field[0];
	if (mark.kind == 'g')
		return at == end;
	// Nine digits exactly, so that no two texts stand for one mark.
	if (end - at != 10 || *at != '.' || at[1] < '0' || at[1] > '9')
		return false;
	auto [last, nerr] = std::from_chars(at + 1, end, mark.nsec);
	return nerr == std::errc() && last == end && mark.nsec < 1'000'000'000;
}

// The inverse of put_name: false for anything put_name never writes, and for what can't be the
// name of an entry of a folder, so that no record leads the undo out of the folder it names.
bool take_name(std::string_view field, std::string &name)
{
	name.clear();
	for (std::size_t i = 0; i < field.size(); i++) {
		auto byte = static_cast<unsigned char>(field[i]);
		if (byte <= ' ' || byte >= 0x7F)
			return false;
		if (byte != '%') {
			name += field[i];
			continue;
		}
		int high = i + 2 < field.size() ? hex_value(field[i + 1]) : -1;
		int low = high < 0 ? -1 : hex_value(field[i + 2]);
		if (low < 0)
			return false;
		name += static_cast<char>(high * 16 + low);
		i += 2;
	}
	return !name.empty() && name != "." && name != ".." &&
	       name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// Reads one record of `run`'s, split into `f`, into `run`; false when it is none. With `marked`
// (format 2), a mark follows each inode number.
bool take_record(const std::vector<std::string_view> &f, journal_run &run, bool after_rename,
                 bool marked)
{
	const std::size_t m = marked ? 1 : 0;  // fields of the mark
	std::uint64_t a = 0, b = 0, c = 0;
	file_mark mark;
	auto &folders = run.folders;
	if (f[1] == "m" && f.size() == 4 + m && folders.empty() && take_number(f[2], a) &&
	    take_number(f[3], b) && (!marked || take_mark(f[4], mark))) {
		folders.push_back(
		        {{static_cast<dev_t>(a), static_cast<ino_t>(b)}, mark, 0, {}, false});
		return true;
	}
	if ((f[1] == "d" || f[1] == "l") && f.size() == 7 + m && !folders.empty() &&
	    take_number(f[2], a) && a == folders.size() && take_number(f[3], b) &&
	    take_number(f[4], c) && (!marked || take_mark(f[5], mark))) {
		std::uint64_t parent = 0;
		journal_folder folder{
		        {static_cast<dev_t>(b), static_cast<ino_t>(c)}, mark, 0, {}, f[1] == "l"};
		if (!take_number(f[5 + m], parent) || parent >= a ||
		    !take_name(f[6 + m], folder.name))
			return false;
		folder.parent = parent;
		folders.push_back(std::move(folder));
		return true;
	}
	if (f[1] == "r" && f.size() == 6 + m && take_number(f[2], a) && a < folders.size() &&
	    take_number(f[3], b) && (!marked || take_mark(f[4], mark))) {
		journal_entry entry{
		        journal_entry::renamed, a, static_cast<ino_t>(b), mark, {}, {}, {}};
		if (!take_name(f[4 + m], entry.from) || !take_name(f[5 + m], entry.to))
			return false;
		run.entries.push_back(std::move(entry));
		return true;
	}
	if (f[1] == "e" && f.size() == 3 && after_rename && take_number(f[2], a)) {
		run.entries.back().kind = journal_entry::failed;
		return true;
	}
	return false;
}

// "YYYY-MM-DDThh:mm:ssZ", as start_time writes it.
bool is_time(std::string_view field)
{
	constexpr std::string_view shape = "0000-00-00T00:00:00Z";
	if (field.size() != shape.size())
		return false;
	for (std::size_t i = 0; i < shape.size(); i++)
		if (shape[i] == '0' ? field[i] < '0' || field[i] > '9' : field[i] != shape[i])
			return false;
	return true;
}

void split(std::string_view line, std::vector<std::string_view> &fields)
{
	fields.clear();
	for (std::size_t at = 0;;) {
		std::size_t blank = line.find(' ', at);
		fields.push_back(line.substr(at, blank - at));
		if (blank == std::string_view::npos)
			return;
		at = blank + 1;
	}
}

}  // namespace

bool format_known(std::string_view version)
{
	return version == journal_version || version == journal_unmarked;
}

fault read_journal(int dirfd, const char *name, std::string &out)
{
	struct stat st;
	fault f;
	int fd = open_trusted(dirfd, name, O_RDONLY, 0, st, f);
	if (fd < 0)
		return f;
	f = read_whole(fd, out);
	(void)close(fd);
	return f;
}

std::vector<std::size_t> find_runs(std::string_view journal)
{
	std::vector<std::size_t> runs;
	for (std::size_t pos = 0; pos < journal.size();) {
		std::size_t end = journal.find('\n', pos);
		// A first line cut short, by a run stopped while writing it, starts no run.
		if (end != std::string_view::npos && journal.substr(pos).starts_with(journal_magic))
			runs.push_back(pos);
		pos = end == std::string_view::npos ? journal.size() : end + 1;
	}
	return runs;
}

// The run's records may follow another run's first line only if two runs wrote at once; those
// are taken by their id.
journal_run read_run(std::string_view journal, std::size_t start)
{
	journal_run run;
	std::size_t end = journal.find('\n', start);
	std::vector<std::string_view> f;
	split(journal.substr(start + journal_magic.size(), end - start - journal_magic.size()), f);
	run.version = f[0];
	if (!format_known(run.version))
		return run;
	const bool marked = run.version != journal_unmarked;
	const bool timed = marked && f.size() == 3 && is_time(f[2]);
	if ((f.size() != 2 && !timed) || f[1].size() != 16) {
		run.version = journal.substr(start + journal_magic.size(),
		                             end - start - journal_magic.size());
		return run;
	}
	const std::string id(f[1]);
	if (timed)
		run.started = f[2];

	bool in_range = true;
	bool after_rename = false;
	for (std::size_t pos = end; pos < journal.size();) {
		pos++;
		end = journal.find('\n', pos);
		// A last line that no line feed ends was cut short: its rename never happened.
		if (end == std::string_view::npos)
			break;
		std::string_view line = journal.substr(pos, end - pos);
		pos = end;
		if (line.starts_with(journal_magic)) {
			in_range = false;
			continue;
		}
		// Past the next run's first line, skipping the other runs' records unread keeps a
		// listing of all runs from reading each long run once for every run before it.
		if (!in_range && !line.starts_with(id))
			continue;
		split(line, f);
		bool ours = f[0] == id && f.size() >= 2;
		if (!ours && !in_range)
			continue;
		if (!ours || !take_record(f, run, after_rename, marked)) {
			run.entries.push_back({journal_entry::unreadable, 0, 0, {}, {}, {}, line});
			after_rename = false;
			continue;
		}
		after_rename = f[1] == "r";
	}
	return run;
}
