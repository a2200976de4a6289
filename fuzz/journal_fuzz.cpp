// libFuzzer target for the journal's reader: the input is a journal. Its runs are listed, then
// each run's folders and records read: the records read backwards must be those the listing
// counted reading forwards, every name must be one an entry can have, and every folder must
// lie below one recorded before it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "journalformat.h"
#include "journalreader.h"

namespace
{

void check(bool ok)
{
	if (!ok)
		std::abort();
}

bool is_name(const std::string &name)
{
	return !name.empty() && name != "." && name != ".." &&
	       name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	int fd = memfd_create("journal", MFD_CLOEXEC);
	check(fd >= 0 && write(fd, data, size) == static_cast<ssize_t>(size));
	std::vector<journal_run> runs;
	check(!list_runs(fd, runs));
	for (const journal_run &run : runs) {
		run_folders rf;
		check(!read_folders(fd, run, rf));
		for (std::size_t n = 1; n < rf.folders.size(); n++)
			check(rf.folders[n].parent < n && is_name(rf.folders[n].name) &&
			      rf.folders[n].at > rf.folders[n - 1].at);
		std::size_t count[3] = {}, unmarked = 0;
		check(!read_records(fd, run, rf, [&](const journal_entry &e) {
			count[e.kind]++;
			if (e.kind == journal_entry::unreadable)
				return check(e.text.size() <= journal_longest_line), true;
			unmarked += e.kind == journal_entry::renamed && e.mark.kind == '-' ? 1 : 0;
			check(e.folder < rf.folders.size() && is_name(e.from) && is_name(e.to));
			return true;
		}));
		check(count[0] == run.renamed && count[1] == run.failed &&
		      count[2] == run.unreadable && unmarked == run.unmarked);
		check(format_known(run.version) || rf.folders.empty());
		check(run.id.size() == 16 || (!run.taken_back && !run.placed));
	}
	(void)close(fd);
	return 0;
}
