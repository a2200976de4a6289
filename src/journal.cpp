#include "journal.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>

#include "fsutil.h"

namespace
{

// Starts the first line of each run, followed by the format's version, the run's id and, from
// format 2 on, when it started if the clock could tell.
constexpr std::string_view magic = "mac2cp850-journal ";
constexpr std::string_view format_version = "2";
// Format 1 had no marks; its runs are still read.
constexpr std::string_view format_unmarked = "1";

int dir_fd = -1;      // the record folder
std::string path;     // the journal's path in it, for people
int journal_fd = -1;  // kept open for the rest of the run once it holds the run's first line
bool torn;            // a record stayed in part: no whole record can follow it
std::string run_id;   // 16 hex digits at the start of every record of this run
std::string started;  // " " and the run's start in UTC, or "" when the clock can't tell
std::string record;   // the text of the next write; its capacity is kept from one to the next

// The folders of the walk's way that have a record, outermost first, with their numbers in
// the journal. The walk walks each folder once, so a folder that is not at its level on the
// way any more has left it, and so has everything below it.
std::vector<std::pair<folder_id, std::uint64_t>> numbered;
std::uint64_t folders_recorded;  // folders of this run with a record, the mount point included

// Random, so that no record of another run, whatever it holds, passes for one of this run.
std::string new_run_id()
{
	std::uint64_t bits = 0;
	if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
		struct timespec now {
		};
		(void)clock_gettime(CLOCK_REALTIME, &now);
		bits = static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^
		       static_cast<std::uint64_t>(now.tv_sec) << 20 ^
		       static_cast<std::uint64_t>(getpid());
	}
	char hex[17];
	for (int i = 0; i < 16; i++)
		hex[i] = "0123456789abcdef"[bits >> (60 - 4 * i) & 15];
	return {hex, 16};
}

// " 2026-12-07T21:30:05Z" for now, or "" when the clock can't tell.
std::string start_time()
{
	time_t now = time(nullptr);
	struct tm utc {
	};
	char text[32];
	if (now == static_cast<time_t>(-1) || gmtime_r(&now, &utc) == nullptr)
		return {};
	std::size_t n = strftime(text, sizeof text, " %Y-%m-%dT%H:%M:%SZ", &utc);
	// A year beyond four digits would not be read back.
	if (n != 21)
		return {};
	return {text, n};
}

void put_kind(char kind)
{
	record.append(run_id).append(1, ' ').append(1, kind);
}

void put_number(std::uint64_t n)
{
	char digits[24];
	char *end = std::to_chars(digits, digits + sizeof digits, n).ptr;
	record += ' ';
	record.append(digits, end);
}

// "b<seconds>.<nanoseconds, 9 digits>", "g<generation>", or "-" for none.
void put_mark(const file_mark &mark)
{
	char digits[24];
	record += ' ';
	record += mark.kind;
	if (mark.kind == '-')
		return;
	char *end = std::to_chars(digits, digits + sizeof digits, mark.value).ptr;
	record.append(digits, end);
	if (mark.kind != 'b')
		return;
	end = std::to_chars(digits, digits + sizeof digits, mark.nsec).ptr;
	record += '.';
	record.append(9 - static_cast<std::size_t>(end - digits), '0');
	record.append(digits, end);
}

// '%', the blank, control bytes and bytes above 126 stand as '%' and two hex digits, so that a
// name is one field of printable ASCII whatever it holds.
void put_name(std::string_view name)
{
	record += ' ';
	for (char c : name) {
		auto byte = static_cast<unsigned char>(c);
		if (byte > ' ' && byte < 0x7F && byte != '%') {
			record += c;
			continue;
		}
		record += '%';
		record += "0123456789ABCDEF"[byte >> 4];
		record += "0123456789ABCDEF"[byte & 15];
	}
}

// ---- Reading

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

// Longer than any line a run writes: two names of 255 bytes, each byte as three, and numbers.
constexpr std::size_t longest_line = 4096;

// The length of the last line of the journal open as `fd`, `size` bytes long, when no line feed
// ends it and it begins as a run's line does, as a record or a run's first line: one cut short
// by a run stopped while writing it. 0 when a line feed ends the file, or for what no run writes.
std::size_t cut_short(int fd, off_t size)
{
	std::string tail(static_cast<std::size_t>(std::min<off_t>(size, longest_line)), '\0');
	auto from = size - static_cast<off_t>(tail.size());
	if (pread(fd, tail.data(), tail.size(), from) != static_cast<ssize_t>(tail.size()))
		return 0;
	std::size_t newline = tail.rfind('\n');
	if (newline == std::string::npos && from > 0)
		return 0;
	std::string_view line = std::string_view(tail).substr(newline + 1);
	bool first_line = line.substr(0, magic.size()) == magic.substr(0, line.size());
	for (std::size_t i = 0; i < line.size(); i++) {
		char c = line[i];
		// A record starts with its run's id, 16 lower-case hex digits, and a blank.
		bool id = i > 16 || first_line ||
		          (i == 16 ? c == ' ' : (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
		if (!id || c < ' ' || c > '~')
			return 0;
	}
	return line.size();
}

// Opens the journal and starts this run's records, unless that is done already.
fault open_journal()
{
	if (journal_fd >= 0)
		return {};
	if (run_id.empty())
		run_id = new_run_id();
	struct stat st;
	fault f;
	int fd = open_trusted(dir_fd, file_name(path.c_str()), O_RDWR | O_APPEND | O_CREAT, 0600,
	                      st, f);
	if (fd < 0)
		return f;
	// A record that a stopped run left cut short is cut off: its rename never happened, and the
	// line feed that ends this run's first line would make it a whole line, which reads as a
	// record that is none. The lock keeps other runs from writing one now. What no run wrote,
	// or what can't be cut, keeps a line of its own, for the undo to report.
	char last = '\n';
	record.clear();
	if (st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') {
		std::size_t cut = cut_short(fd, st.st_size);
		if (cut == 0 || cut_last(fd, cut))
			record += '\n';
	}
	record.append(magic).append(format_version).append(1, ' ').append(run_id);
	record.append(started).append(1, '\n');
	bool torn_header = false;  // the file is closed anyway, and the next open starts a line
	if (fault f = append_whole(fd, record, torn_header)) {
		(void)close(fd);
		return f;
	}
	journal_fd = fd;
	return {};
}

}  // namespace

fault journal_start(int dirfd, const std::string &journal)
{
	dir_fd = dirfd;
	path = journal;
	// Taken now: a journal opened only at the first record still tells when the run started.
	started = start_time();
	return open_journal();
}

const std::string &journal_path()
{
	return path;
}

fault journal_rename(const place &at, ino_t ino, const file_mark &mark, const char *from,
                     const std::string &to)
{
	if (fault f = open_journal())
		return f;
	if (torn)
		return {EIO, {}};
	record.clear();
	const std::vector<level> &way = at.way;
	std::size_t first = 0;
	while (first < numbered.size() && first < way.size() &&
	       numbered[first].first == way[first].id)
		first++;
	std::size_t kept = first;  // levels whose records stand; those below are written now
	// The levels below get the next numbers, in order.
	auto number_of = [&](std::size_t i) {
		return i < kept ? numbered[i].second : folders_recorded + (i - kept);
	};
	for (std::size_t i = first; i < way.size(); i++) {
		const level &l = way[i];
		put_kind(i == 0 ? 'm' : l.via_link ? 'l' : 'd');
		if (i > 0)
			put_number(number_of(i));
		put_number(l.id.dev);
		put_number(l.id.ino);
		put_mark(l.mark);
		if (i > 0) {
			put_number(number_of(i - 1));
			put_name(l.name);
		}
		record += '\n';
	}
	put_kind('r');
	put_number(number_of(way.size() - 1));
	put_number(ino);
	put_mark(mark);
	put_name(from);
	put_name(to);
	record += '\n';
	if (fault f = append_whole(journal_fd, record, torn))
		return f;
	numbered.resize(kept);
	for (std::size_t i = kept; i < way.size(); i++)
		numbered.emplace_back(way[i].id, number_of(i));
	folders_recorded += way.size() - kept;
	return {};
}

void journal_failure(int err)
{
	if (journal_fd < 0 || torn)
		return;
	record.clear();
	put_kind('e');
	put_number(static_cast<std::uint64_t>(err));
	record += '\n';
	(void)append_whole(journal_fd, record, torn);
}

bool format_known(std::string_view version)
{
	return version == format_version || version == format_unmarked;
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
		if (end != std::string_view::npos && journal.substr(pos).starts_with(magic))
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
	split(journal.substr(start + magic.size(), end - start - magic.size()), f);
	run.version = f[0];
	if (!format_known(run.version))
		return run;
	const bool marked = run.version != format_unmarked;
	const bool timed = marked && f.size() == 3 && is_time(f[2]);
	if ((f.size() != 2 && !timed) || f[1].size() != 16) {
		run.version = journal.substr(start + magic.size(), end - start - magic.size());
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
		if (line.starts_with(magic)) {
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
