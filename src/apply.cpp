#include "apply.h"

#include <sys/stat.h>

#include "convlog.h"
#include "journalwriter.h"

std::uint64_t g_withheld;
std::string g_withheld_file;
fault g_withheld_fault;
std::uint64_t g_failed_renames;

namespace
{

std::string line;  // the log line of the rename at hand; capacity kept between entries

std::string unrecorded_file;  // not empty: every rename is withheld for want of this record
fault unrecorded_why;         // and why it can't be had

// A rename withheld: the first one says why for the whole run.
void withhold(const std::string &file, const fault &why)
{
	if (g_withheld++ != 0)
		return;
	g_withheld_file = file;
	g_withheld_fault = why;
}

}  // namespace

void withhold_renames(const std::string &file, const fault &why)
{
	unrecorded_file = file;
	unrecorded_why = why;
}

// Records before acts: the log line, the journal record, the rename, and after a failed rename
// its error line and record. A log line whose record can't follow is taken out again, so that
// the log lists no rename that did not happen.
void apply(int dirfd, const place &at, const char *name, ino_t ino, const decision &decided)
{
	if (!decided.renamed)
		return;
	const std::string &new_name = decided.name;
	if (!unrecorded_file.empty())
		return withhold(unrecorded_file, unrecorded_why);
	const std::string &dir = at.path;
	line.assign(dir).append("/").append(name).append(" -> ");
	line.append(dir).append("/").append(new_name).append("\r\n");
	if (fault f = store_log_line(line))
		return withhold(log_path(), f);
	// The record names what is there now, by a mark that no later file under the new name has.
	struct statx sx;
	file_mark mark;
	if (stat_entry(dirfd, name, sx) == 0) {
		ino = static_cast<ino_t>(sx.stx_ino);
		mark = mark_of(dirfd, name, sx);
	}
	if (fault f = journal_rename(at, ino, mark, name, new_name)) {
		unstore_log_line(line);
		return withhold(journal_path(), f);
	}

	if (fault f = rename_noreplace(dirfd, name, new_name.c_str())) {
		g_failed_renames++;
		store_log("Error: " + fault_text(f, true) + "\r\n");
		journal_failure(f.err);
	}
}
