#include "journalwriter.h"

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
#include "journalappend.h"
#include "journalformat.h"
#include "recordfile.h"

namespace
{

record_file journal;  // kept open for the rest of the run once it holds the run's first line
std::string run_id;   // 16 hex digits at the start of every record of this run
std::string started;  // the run's start in UTC, or "" when the clock can't tell
volume on;            // the volume mounted at the mount point when the run started
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

// A name, or "-" for none: a text that is "-" has its '-' escaped.
void put_text(std::string_view text)
{
	// Longer than a record's line can be, it is not known.
	if (text.empty() || text == "-" || text.size() > journal_longest_line / 4)
		record.append(text == "-" ? " %2D" : " -");
	else
		put_name(text);
}

// Opens the journal and starts this run's records, unless that is done already.
fault open_journal()
{
	if (journal.fd >= 0)
		return {};
	if (run_id.empty())
		run_id = new_run_id();
	struct stat st;
	fault f;
	int fd = record_open(journal, O_RDWR | O_APPEND | O_CREAT, 0600, true, st, f);
	if (fd < 0)
		return f;
	// A record that a stopped run left cut short is cut off: its rename never happened, and the
	// line feed that ends this run's first line would make it a whole line, which reads as a
	// record that is none. The lock keeps other runs from writing one now. What no run wrote,
	// or what can't be cut, keeps a line of its own, for the undo to report.
	record.clear();
	end_cut_line(fd, st.st_size, record);
	record.append(journal_magic).append(journal_version).append(1, ' ').append(run_id);
	record.append(1, ' ').append(started.empty() ? "-" : started);
	put_text(on.source);
	put_text(on.uuid);
	record += '\n';
	journal.fd = fd;
	if (fault f = record_append(journal, record)) {
		// Closed, and the next open starts a line, whatever stayed of it.
		(void)close(fd);
		journal.fd = -1;
		journal.torn = false;
		return f;
	}
	return {};
}

}  // namespace

fault journal_start(int dirfd, const std::string &journal_file, const volume &mounted)
{
	record_start(journal, dirfd, journal_file);
	// Taken now: a journal opened only at the first record still tells when the run started.
	started = journal_time();
	on = mounted;
	return open_journal();
}

const std::string &journal_path()
{
	return journal.path;
}

fault journal_rename(const place &at, ino_t ino, const file_mark &mark, const char *from,
                     const std::string &to)
{
	if (fault f = open_journal())
		return f;
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
	if (fault f = record_append(journal, record))
		return f;
	numbered.resize(kept);
	for (std::size_t i = kept; i < way.size(); i++)
		numbered.emplace_back(way[i].id, number_of(i));
	folders_recorded += way.size() - kept;
	return {};
}

void journal_failure(int err)
{
	if (journal.fd < 0 || journal.torn)
		return;
	record.clear();
	put_kind('e');
	put_number(static_cast<std::uint64_t>(err));
	record += '\n';
	(void)record_append(journal, record);
}
