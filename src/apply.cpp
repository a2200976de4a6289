#include "apply.h"

#include <sys/stat.h>

#include "convlog.h"
#include "journalwriter.h"

namespace
{

// A rename withheld: the first one says why for the whole run.
void withhold(apply_context &c, const std::string &file, const fault &why)
{
	if (c.withheld++ != 0)
		return;
	c.withheld_file = file;
	c.withheld_fault = why;
}

}  // namespace

void withhold_renames(apply_context &c, const std::string &file, const fault &why)
{
	c.unrecorded_file = file;
	c.unrecorded_why = why;
}

// Records before acts: the log line, the journal record, the rename, and after a failed rename
// its error line and record. A log line whose record can't follow is taken out again, so that
// the log lists no rename that did not happen.
void apply(void *context, int dirfd, const place &at, const char *name, ino_t ino,
           const decision &decided)
{
	if (!decided.renamed)
		return;
	apply_context &c = *static_cast<apply_context *>(context);
	std::string &line = c.line;
	const std::string &new_name = decided.name;
	if (!c.unrecorded_file.empty())
		return withhold(c, c.unrecorded_file, c.unrecorded_why);
	const std::string &dir = at.path;
	line.assign(dir).append("/").append(name).append(" -> ");
	line.append(dir).append("/").append(new_name).append("\r\n");
	if (fault f = store_log_line(line))
		return withhold(c, log_path(), f);
	// The record names what is there now, by a mark that no later file under the new name has.
	struct statx sx;
	file_mark mark;
	if (stat_entry(dirfd, name, sx) == 0) {
		ino = static_cast<ino_t>(sx.stx_ino);
		mark = mark_of(dirfd, name, sx);
	}
	if (fault f = journal_rename(at, ino, mark, name, new_name)) {
		unstore_log_line(line);
		return withhold(c, journal_path(), f);
	}

	if (fault f = rename_noreplace(dirfd, name, new_name.c_str())) {
		c.failed_renames++;
		store_log("Error: " + fault_text(f, true) + "\r\n");
		journal_failure(f.err);
	}
}
