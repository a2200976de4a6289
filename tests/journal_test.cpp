// The journal's reader, in-process: one table of journals and the runs and records read from
// them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "journalreader.h"

namespace
{

#define A "AAAAAAAAAAAAAAAA"
#define B "BBBBBBBBBBBBBBBB"
#define H "mac2cp850-journal "

// Each run of `journal` in one line: version, start, counts, folders, then its records newest
// first; a long unreadable line by its length.
std::string read_back(const std::string &journal)
{
	int fd = open("/tmp", O_TMPFILE | O_RDWR, 0600);
	EXPECT_EQ(write(fd, journal.data(), journal.size()), ssize_t(journal.size()));
	std::vector<journal_run> runs;
	EXPECT_FALSE(list_runs(fd, runs));
	std::string out;
	for (const journal_run &run : runs) {
		out += (out.empty() ? "[" : " [") + run.version + " " + run.started + " " +
		       std::to_string(run.renamed) + "/" + std::to_string(run.failed) + "/" +
		       std::to_string(run.unreadable) + "/" + std::to_string(run.unmarked) + "]";
		out += run.placed ? " on:" + run.on.source + "|" + run.on.uuid : "";
		out += run.taken_back ? " back:" + run.taken_back_at : "";
		run_folders rf;
		EXPECT_FALSE(read_folders(fd, run, rf));
		for (const journal_folder &f : rf.folders)
			out += " F" + std::to_string(f.parent) + (f.via_link ? "~" : ":") + f.name +
			       f.mark.kind;
		EXPECT_FALSE(read_records(fd, run, rf, [&](const journal_entry &e) {
			if (e.kind == journal_entry::unreadable)
				out += " u:" + (e.text.size() > 40 ? std::to_string(e.text.size())
				                                   : e.text);
			else
				out += std::string(" ") + "rf"[e.kind] + std::to_string(e.folder) +
				       ":" + e.from + ">" + e.to + e.mark.kind;
			return true;
		}));
	}
	(void)close(fd);
	return out;
}

TEST(journal, runs_and_records_as_read_back)
{
	const std::string x5000(5000, 'x');
	const std::vector<std::pair<std::string, std::string>> table = {
	        {"", ""},
	        {H "2 " A " 2024-05-01T10:00:00Z\n" A " m 1 2 g7\n" A
	           " d 1 1 3 b5.000000001 0 s\n" A " l 2 1 4 - 1 k\n" A " r 0 10 g8 a%3Ab ab\n" A
	           " r 2 11 - x%41 x\n" A " e 13\n" A " r 1 12 g9 c d\n",
	         "[2 2024-05-01T10:00:00Z 2/1/0/0] F0:g F0:sb F1~k- r1:c>dg f2:xA>x- r0:a:b>abg"},
	        {H "1 " A "\n" A " m 1 2\n" A " r 0 5 a%3A1 a1\n" A " r 0 6 b c\n" A " e 2\n" A
	           " r 0 7 g1 b c\n",
	         "[1  1/1/1/1] F0:- u:" A " r 0 7 g1 b c f0:b>c- r0:a:1>a1-"},
	        // Damage: bad marks, folders out of turn, names no entry can have, "e" after no
	        // rename, another run's id or none.
	        {H "2 " A "\n" A " r 0 1 g1 a b\n" A " m 1 2 g\n" A " m 1 2 b5.1\n" A " m 1 2 -\n" A
	           " m 1 3 -\n" A " d 2 1 3 - 0 x\n" A " d 1 1 3 - 1 x\n" A " d 1 1 3 - 0 ..\n" A
	           " r 0 1 -  b\n" A " r 0 1 - . b\n" A " r 0 1 - a %2F\n" A " r 0 1 - a b%00\n" A
	           " r 0 1 - a%2 b\n" A " e 5\n" B " r 0 1 - a b\n"
	           "junk\n" A " r 0 1 - a b\n" A " r 0 1 - a b c\n" A " e\n",
	         "[2  1/0/17/1] F0:- u:" A " e u:" A " r 0 1 - a b c r0:a>b- u:junk u:" B
	         " r 0 1 - a b u:" A " e 5 u:" A " r 0 1 - a%2 b u:" A " r 0 1 - a b%00 u:" A
	         " r 0 1 - a %2F u:" A " r 0 1 - . b u:" A " r 0 1 -  b u:" A " d 1 1 3 - 0 .. u:" A
	         " d 1 1 3 - 1 x u:" A " d 2 1 3 - 0 x u:" A " m 1 3 - u:" A " m 1 2 b5.1 u:" A
	         " m 1 2 g u:" A " r 0 1 g1 a b"},
	        // Two runs at once: past B's first line, A takes only its own records.
	        {H "2 " A "\n" A " m 1 2 -\n" H "2 " B "\n" A " r 0 5 - a b\n" B " m 1 2 -\n" A
	           " e 1\n" B " r 0 6 - c d\n" A "x r 0 7 - e f\n"
	           "junk\n",
	         "[2  0/1/0/0] F0:- f0:a>b- [2  1/0/4/1] F0:- u:junk u:" A
	         "x r 0 7 - e f r0:c>d- u:" A " e 1 u:" A " r 0 5 - a b"},
	        {H "4 " A "\n" A " m 1 2 -\n" H "2\n" H "2 short\n" H "1 " A
	           " 2024-05-01T10:00:00Z\n" H "2 " A " 10:00\n",
	         "[4  0/0/0/0] [2  0/0/0/0] [2 short  0/0/0/0] [1 " A
	         " 2024-05-01T10:00:00Z  0/0/0/0] [2 " A " 10:00  0/0/0/0]"},
	        // Cut short: a last record, a first line.
	        {H "2 " A "\n" A " m 1 2 -\n" A " r 0 5 - a b\n" A " r 0 6 - c d",
	         "[2  1/0/0/1] F0:- r0:a>b-"},
	        {H "2 " A "\n" A " m 1 2 -\n" H "2 " B, "[2  0/0/0/0] F0:-"},
	        // Longer than any record: damage, its head kept; cut short when last.
	        {H "2 " A "\n" A " m 1 2 -\n" A " r 0 5 - a " + x5000 + "\n" + x5000 +
	                 "\n" A " r 0 6 - c d\n" A " r 0 7 - e " + x5000,
	         "[2  1/0/2/1] F0:- r0:c>d- u:4096 u:4096"},
	        // Format 3 notes the volume; a run's "u" lines, wherever they stand, mark it taken
	        // back, the last telling when; another run's are passed over.
	        {H "3 " A " 2024-05-01T10:00:00Z %2Fdev%2Fsd%20b 12-AB\n" A " m 1 2 -\n" A
	           " r 0 5 - a b\n" H "3 " B " - %2D -\n" B " m 1 2 -\n" A
	           " u 2024-05-02T10:00:00Z 1 0 0 0 0 0\n" A " u - 0 1 0 0 0 0\n" B
	           " u 2024-05-03T10:00:00Z 0 0 0 0 0 0\n" B " u - 1 0 0 0 0\n" B
	           " u 10:00 0 0 0 0 0 0\n"
	           "AAAA u - 0 0 0 0 0 0\n" H "3 " A " - src\n" H "3 " A " - a b c\n",
	         "[3 2024-05-01T10:00:00Z 1/0/0/1] on:/dev/sd b|12-AB back: F0:- r0:a>b-"
	         " [3  0/0/3/0] on:-| back:2024-05-03T10:00:00Z F0:- u:AAAA u - 0 0 0 0 0 0 u:" B
	         " u 10:00 0 0 0 0 0 0 u:" B " u - 1 0 0 0 0 [3 " A " - src  0/0/0/0] [3 " A
	         " - a b c  0/0/0/0]"},
	        {H "2 " A "\n" A " m 1 2 -\n" A " r 0 5 - a b\n" A " u - 1 0 0 0 0 0\n" A " e 2\n",
	         "[2  0/1/0/0] back: F0:- f0:a>b-"},
	};
	for (const auto &[journal, expected] : table)
		EXPECT_EQ(read_back(journal), expected) << journal.substr(0, 200);
}

}  // namespace
