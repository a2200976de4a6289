#include "journalreader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <limits>
#include <map>

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

// The inverse of put_name: false for anything put_name never writes.
bool take_text(std::string_view field, std::string &name)
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
	return true;
}

// take_text, also false for what can't be the name of an entry of a folder, so that no record
// leads the undo out of the folder it names.
bool take_name(std::string_view field, std::string &name)
{
	return take_text(field, name) && !name.empty() && name != "." && name != ".." &&
	       name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// The inverse of put_text: "-" stands for none.
bool take_optional(std::string_view field, std::string &text)
{
	text.clear();
	return field == "-" || take_text(field, text);
}

// What a line is to a run.
enum class line_kind {
	other,       // not the run's
	folder,      // a folder record
	rename,      // a rename
	failure,     // "e": the rename just before it failed
	undone,      // "u": an undo took the run back
	unreadable,  // the run's, but no record
};

// What the line split into `f`, of a run of id f[0], is to the run when it had recorded
// `folders` folders; `folder` or `entry` gets what it holds. With `marked` (format 2), a mark
// follows each inode number. A failure is one only right after a rename, which the caller knows.
line_kind classify(const std::vector<std::string_view> &f, std::size_t folders, bool marked,
                   journal_folder &folder, journal_entry &entry)
{
	const std::size_t m = marked ? 1 : 0;  // fields of the mark
	std::uint64_t a = 0, b = 0, c = 0;
	file_mark mark;
	if (f[1] == "m" && f.size() == 4 + m && folders == 0 && take_number(f[2], a) &&
	    take_number(f[3], b) && (!marked || take_mark(f[4], mark))) {
		folder = {{static_cast<dev_t>(a), static_cast<ino_t>(b)}, mark, 0, {}, false, 0};
		return line_kind::folder;
	}
	if ((f[1] == "d" || f[1] == "l") && f.size() == 7 + m && folders != 0 &&
	    take_number(f[2], a) && a == folders && take_number(f[3], b) && take_number(f[4], c) &&
	    (!marked || take_mark(f[5], mark))) {
		std::uint64_t parent = 0;
		folder = {{static_cast<dev_t>(b), static_cast<ino_t>(c)},
		          mark,
		          0,
		          {},
		          f[1] == "l",
		          0};
		if (!take_number(f[5 + m], parent) || parent >= a ||
		    !take_name(f[6 + m], folder.name))
			return line_kind::unreadable;
		folder.parent = parent;
		return line_kind::folder;
	}
	if (f[1] == "r" && f.size() == 6 + m && take_number(f[2], a) && a < folders &&
	    take_number(f[3], b) && (!marked || take_mark(f[4], mark))) {
		entry.kind = journal_entry::renamed;
		entry.folder = a;
		entry.ino = static_cast<ino_t>(b);
		entry.mark = mark;
		if (!take_name(f[4 + m], entry.from) || !take_name(f[5 + m], entry.to))
			return line_kind::unreadable;
		return line_kind::rename;
	}
	if (f[1] == "e" && f.size() == 3 && take_number(f[2], a))
		return line_kind::failure;
	return line_kind::unreadable;
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

// Whether `f` is an undo's mark that it took back the run of id f[0], whichever run that is;
// `at` gets its time, "" when it has none.
bool taken_back_mark(const std::vector<std::string_view> &f, std::string_view &at)
{
	std::uint64_t n = 0;
	if (f.size() != 9 || f[0].size() != 16 || f[1].size() != 1 ||
	    f[1][0] != journal_taken_back || (f[2] != "-" && !is_time(f[2])))
		return false;
	for (std::size_t i = 3; i < f.size(); i++)
		if (!take_number(f[i], n))
			return false;
	at = f[2] == "-" ? std::string_view() : f[2];
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

constexpr std::size_t chunk = std::size_t{64} * 1024;

// Reads `size` bytes at `at` of `fd` into `out` (fewer at the end of the file).
fault read_at(int fd, off_t at, std::size_t size, std::string &out)
{
	out.resize(size);
	std::size_t got = 0;
	while (got < size) {
		ssize_t n = pread(fd, out.data() + got, size - got, at + static_cast<off_t>(got));
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			out.resize(got);
			return {errno, {}};
		}
		if (n == 0)
			break;
		got += static_cast<std::size_t>(n);
	}
	out.resize(got);
	return {};
}

// A line of the journal. Any longer than a record can be is damage: only its first
// journal_longest_line bytes are kept.
struct line_at {
	off_t at = 0;           // offset of its first byte
	off_t next = 0;         // just past its line feed
	std::string_view text;  // valid until the next line is asked for
	bool long_line = false;
	bool ended = false;  // a line feed ends it
};

// The lines of a journal from an offset on, read a chunk at a time.
class forward_lines
{
public:
	forward_lines(int fd, off_t from) : fd_(fd), off_(from)
	{
	}

	// The next line; false at the end of the file or when a read failed (`failure`).
	bool next(line_at &line)
	{
		const off_t start = off_ + static_cast<off_t>(pos_);
		bool skipping = false;  // a long line: only its head is kept
		std::size_t from = pos_;
		for (;;) {
			std::size_t lf = buf_.find('\n', from);
			if (lf != std::string::npos) {
				line = {start,
				        off_ + static_cast<off_t>(lf) + 1,
				        {},
				        skipping,
				        true};
				line.text = skipping ? std::string_view(head_) : take(lf, line);
				pos_ = lf + 1;
				return true;
			}
			if (!skipping && buf_.size() - pos_ > journal_longest_line) {
				head_.assign(buf_, pos_, journal_longest_line);
				skipping = true;
			}
			// Only the unread part of the line is kept.
			off_ += static_cast<off_t>(skipping ? buf_.size() : pos_);
			buf_.erase(0, skipping ? buf_.size() : pos_);
			pos_ = 0;
			from = buf_.size();
			failure = read_at(fd_, off_ + static_cast<off_t>(from), chunk, more_);
			if (failure)
				return false;
			if (more_.empty()) {
				if (from == 0 && !skipping)
					return false;
				line = {start,
				        off_ + static_cast<off_t>(from),
				        {},
				        skipping,
				        false};
				line.text = skipping ? std::string_view(head_) : take(from, line);
				pos_ = from;
				return true;
			}
			buf_ += more_;
		}
	}

	fault failure;

private:
	// The buffer from pos_ up to `end` as a line's text, cut when longer than a record.
	std::string_view take(std::size_t end, line_at &line)
	{
		line.long_line = end - pos_ > journal_longest_line;
		return std::string_view(buf_).substr(pos_,
		                                     std::min(end - pos_, journal_longest_line));
	}

	int fd_;
	off_t off_;  // offset of buf_[0]
	std::string buf_, more_, head_;
	std::size_t pos_ = 0;  // bytes of buf_ handed out
};

// The lines that end in [lo, hi) of a journal, hi just past a line feed, last first, read a
// chunk at a time.
class backward_lines
{
public:
	backward_lines(int fd, off_t lo, off_t hi) : fd_(fd), lo_(lo), end_(hi), boff_(hi)
	{
	}

	// The line before the last one given; false at `lo` or when a read failed (`failure`).
	bool prev(line_at &line)
	{
		buf_.resize(static_cast<std::size_t>(std::max<off_t>(end_ - boff_, 0)));
		if (end_ <= lo_)
			return false;
		const off_t last = end_ - 1;  // its line feed
		bool long_line = false;       // buf_ holds only bytes before the line's head
		for (;;) {
			std::size_t upto =
			        long_line ? buf_.size() : static_cast<std::size_t>(last - boff_);
			std::size_t lf = std::string_view(buf_).substr(0, upto).rfind('\n');
			if (lf != std::string::npos || boff_ <= lo_) {
				off_t start = lf != std::string::npos
				                      ? boff_ + static_cast<off_t>(lf) + 1
				                      : lo_;
				auto size = static_cast<std::size_t>(last - start);
				line = {start, end_, {}, size > journal_longest_line, true};
				end_ = start;
				if (!line.long_line) {
					line.text = std::string_view(buf_).substr(
					        static_cast<std::size_t>(start - boff_), size);
					return true;
				}
				if ((failure = read_at(fd_, start, journal_longest_line, head_)))
					return false;
				line.text = head_;
				return true;
			}
			if (!long_line && last - boff_ > static_cast<off_t>(journal_longest_line)) {
				long_line = true;
				buf_.clear();
			}
			off_t from = std::max(lo_, boff_ - static_cast<off_t>(chunk));
			if ((failure = read_at(fd_, from, static_cast<std::size_t>(boff_ - from),
			                       more_)))
				return false;
			if (more_.size() != static_cast<std::size_t>(boff_ - from)) {
				failure = {0, "changed while read"};
				return false;
			}
			buf_.insert(0, more_);
			boff_ = from;
		}
	}

	fault failure;

private:
	int fd_;
	off_t lo_;
	off_t end_;   // lines ending before it are yet to be given
	off_t boff_;  // offset of buf_[0]
	std::string buf_, more_, head_;
};

// A run's records read forward, as the run wrote them.
struct forward_run {
	std::string id;
	bool marked = false;
	std::size_t folders = 0;  // folder records read so far
	bool after_rename = false;
	bool last_unmarked = false;  // the last rename has no mark
	std::string_view undone_at;  // the time of the last mark that it was taken back, until the
	                             // next line is read
};

// What `line`, split into `f`, is to run `r`; `in_range`: no run's first line since r's.
line_kind forward_step(forward_run &r, const line_at &line, bool in_range,
                       const std::vector<std::string_view> &f, journal_folder &folder,
                       journal_entry &entry)
{
	const bool ours = f[0] == r.id && f.size() >= 2;
	// Past the next run's first line, only the run's own records count: two runs wrote at once.
	if (!ours && !in_range)
		return line_kind::other;
	// Read backwards too, such a mark stands between no rename and its "e".
	if (!line.long_line && taken_back_mark(f, r.undone_at))
		return ours ? line_kind::undone : line_kind::other;
	line_kind k = line.long_line || !ours ? line_kind::unreadable
	                                      : classify(f, r.folders, r.marked, folder, entry);
	if (k == line_kind::failure && !r.after_rename)
		k = line_kind::unreadable;
	r.after_rename = k == line_kind::rename;
	r.folders += k == line_kind::folder ? 1 : 0;
	return k;
}

void count(journal_run &run, forward_run &r, line_kind k, const journal_entry &entry)
{
	if (k == line_kind::rename) {
		run.renamed++;
		r.last_unmarked = entry.mark.kind == '-';
		run.unmarked += r.last_unmarked ? 1 : 0;
	} else if (k == line_kind::failure) {
		run.renamed--;
		run.failed++;
		run.unmarked -= r.last_unmarked ? 1 : 0;
	} else if (k == line_kind::unreadable) {
		run.unreadable++;
	} else if (k == line_kind::undone) {
		run.taken_back = true;
		run.taken_back_at = r.undone_at;
	}
}

// The run whose first line, past the journal's magic, is `rest`; an id only when it names one.
journal_run take_first_line(off_t at, std::string_view rest, std::vector<std::string_view> &f)
{
	journal_run run;
	run.at = at;
	split(rest, f);
	run.version = f[0];
	if (!format_known(run.version))
		return run;
	const bool marked = run.version != journal_unmarked;
	const bool timed = marked && f.size() == 3 && is_time(f[2]);
	run.placed = run.version != journal_unmarked && run.version != journal_unplaced;
	const bool placed = run.placed && f.size() == 5 && (f[2] == "-" || is_time(f[2])) &&
	                    take_optional(f[3], run.on.source) && take_optional(f[4], run.on.uuid);
	if ((run.placed ? !placed : f.size() != 2 && !timed) || f[1].size() != 16) {
		run.version = rest;
		run.placed = false;
		run.on = {};
		return run;
	}
	run.id = f[1];
	if (timed || (placed && f[2] != "-"))
		run.started = f[2];
	return run;
}

}  // namespace

bool format_known(std::string_view version)
{
	return version == journal_version || version == journal_unplaced ||
	       version == journal_unmarked;
}

int open_journal(int dirfd, const char *name, fault &f)
{
	struct stat st;
	return open_trusted(dirfd, name, O_RDONLY, 0, st, f);
}

// Each run keeps a few counts, so that a listing holds no record: the last run takes every
// line, the earlier ones those of their id.
fault list_runs(int fd, std::vector<journal_run> &runs)
{
	runs.clear();
	forward_lines lines(fd, 0);
	std::vector<forward_run> readers;                                      // by run
	std::map<std::string, std::vector<std::size_t>, std::less<>> earlier;  // id -> runs
	bool last_reads = false;  // the last run has records to read
	std::vector<std::string_view> f;
	journal_folder folder;
	journal_entry entry;
	line_at line;
	while (lines.next(line) && line.ended) {
		if (line.text.starts_with(journal_magic)) {
			if (last_reads)
				earlier[runs.back().id].push_back(runs.size() - 1);
			runs.push_back(take_first_line(line.at,
			                               line.text.substr(journal_magic.size()), f));
			readers.push_back({runs.back().id,
			                   runs.back().version != journal_unmarked,
			                   0,
			                   false,
			                   false,
			                   {}});
			last_reads = !runs.back().id.empty();
			continue;
		}
		split(line.text, f);
		if (last_reads)
			count(runs.back(), readers.back(),
			      forward_step(readers.back(), line, true, f, folder, entry), entry);
		auto it = f.size() < 2 ? earlier.end() : earlier.find(f[0]);
		if (it == earlier.end())
			continue;
		for (std::size_t n : it->second)
			count(runs[n], readers[n],
			      forward_step(readers[n], line, false, f, folder, entry), entry);
	}
	return lines.failure;
}

fault read_folders(int fd, const journal_run &run, run_folders &out)
{
	out = {};
	forward_lines lines(fd, run.at);
	line_at line;
	if (!lines.next(line))
		return lines.failure;
	out.body = out.end = line.next;
	out.range_end = std::numeric_limits<off_t>::max();
	if (run.id.empty())
		return {};
	forward_run r{run.id, run.version != journal_unmarked, 0, false, false, {}};
	std::vector<std::string_view> f;
	journal_folder folder;
	journal_entry entry;
	while (lines.next(line) && line.ended) {
		if (line.text.starts_with(journal_magic)) {
			out.range_end = std::min(out.range_end, line.at);
			continue;
		}
		const bool in_range = line.at < out.range_end;
		if (!in_range && !line.text.starts_with(run.id))
			continue;
		split(line.text, f);
		line_kind k = forward_step(r, line, in_range, f, folder, entry);
		if (k == line_kind::other || k == line_kind::undone)
			continue;
		out.end = line.next;
		if (k == line_kind::folder) {
			folder.at = line.at;
			out.folders.push_back(std::move(folder));
		}
	}
	return lines.failure;
}

// Read backwards, a record is told by what the forward reading knew at its line: the folders
// recorded before it, and, for an "e", whether a rename is the run's line before it, which is
// the next line read.
fault read_records(int fd, const journal_run &run, const run_folders &folders,
                   const std::function<bool(const journal_entry &)> &take)
{
	if (run.id.empty())
		return {};
	backward_lines lines(fd, folders.body, folders.end);
	const bool marked = run.version != journal_unmarked;
	std::vector<std::string_view> f;
	journal_folder folder;
	journal_entry entry{};
	journal_entry bad{journal_entry::unreadable, 0, 0, {}, {}, {}, {}};
	bool holding = false;  // `bad` holds an "e" until the line before it is known
	line_at line;
	while (lines.prev(line)) {
		const bool in_range = line.at < folders.range_end;
		if (line.text.starts_with(journal_magic) ||
		    (!in_range && !line.text.starts_with(run.id)))
			continue;
		split(line.text, f);
		const bool ours = f[0] == run.id && f.size() >= 2;
		std::string_view undone_at;
		if ((!ours && !in_range) || (!line.long_line && taken_back_mark(f, undone_at)))
			continue;
		auto before = std::lower_bound(
		        folders.folders.begin(), folders.folders.end(), line.at,
		        [](const journal_folder &folder, off_t at) { return folder.at < at; });
		line_kind k = line.long_line || !ours
		                      ? line_kind::unreadable
		                      : classify(f,
		                                 static_cast<std::size_t>(before -
		                                                          folders.folders.begin()),
		                                 marked, folder, entry);
		if (holding) {
			holding = false;
			if (k == line_kind::rename) {
				entry.kind = journal_entry::failed;
				if (!take(entry))
					return {};
				continue;
			}
			if (!take(bad))
				return {};
		}
		if (k == line_kind::failure) {
			bad.text = line.text;
			holding = true;
		} else if (k == line_kind::rename) {
			if (!take(entry))
				return {};
		} else if (k == line_kind::unreadable) {
			bad.text = line.text;
			if (!take(bad))
				return {};
		}
	}
	if (lines.failure)
		return lines.failure;
	if (holding)
		(void)take(bad);
	return {};
}
