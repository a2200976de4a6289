#include "preview.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "progress.h"
#include "terminal.h"

std::uint64_t g_collisions;
std::uint64_t g_keeping_escapes;
std::uint64_t g_multibyte_looking;
std::string g_multibyte_example;

namespace
{

const decoder *deciding;  // what the names are decided with
const char *new_charset;  // the charset new names are in

// What the run would have done so far to the names of one folder, over what the disk holds.
struct view {
	std::size_t depth;                     // the folder's level on the walk's way
	folder_id id;                          // the folder
	std::unordered_set<std::string> made;  // names the run would have given
	std::unordered_set<std::string> gone;  // names the run would have taken away
};

// Views of folders on the walk's way that have any, outermost first. The walk is depth-first
// and walks each folder once, so a view whose folder has left the way is done with.
std::vector<view> views;
std::string line;  // the listing line at hand; capacity kept between lines

view *view_of(const place &at)
{
	while (!views.empty() && (views.back().depth >= at.way.size() ||
	                          at.way[views.back().depth].id != views.back().id))
		views.pop_back();
	return !views.empty() && views.back().depth + 1 == at.way.size() ? &views.back() : nullptr;
}

// A name that can't be looked up is taken for free: the run would try it.
bool taken(int dirfd, const view *v, const std::string &name)
{
	if (v != nullptr && v->made.count(name) != 0)
		return true;
	if (v != nullptr && v->gone.count(name) != 0)
		return false;
	struct stat st;
	return fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void print_line()
{
	progress_hide();
	(void)std::fwrite(line.data(), 1, line.size(), stdout);
}

// Lists what `name`, the name the entry ends with (`is_new`: the new one), keeps, and why, as
// `decided` says.
void list_kept(const std::string &dir, std::string_view name, const decision &decided, bool is_new)
{
	if (decided.kept.empty())
		return;
	g_keeping_escapes++;
	line.assign("kept (");
	for (const kept_span &span : decided.kept) {
		line.append(&span == decided.kept.data() ? "" : ", ").append(span.what).append(" ");
		append_shown(line, STDOUT_FILENO, span.why);
	}
	line.append("): ");
	append_shown(line, STDOUT_FILENO, dir);
	line.append("/");
	append_shown(line, STDOUT_FILENO, name, is_new ? new_charset : nullptr);
	line.append("\n");
	print_line();
}

}  // namespace

void preview_start(const decoder &d)
{
	deciding = &d;
	new_charset = names_charset(d);
	for (const std::string &note : rerun_notes(d)) {
		line.assign(note).append("\n");
		print_line();
	}
}

// The run renames entry after entry, each against the names its folder holds at that moment:
// those on disk, less the ones it renamed away, plus the ones it gave.
void foresee(int dirfd, const place &at, const char *name, ino_t /*ino*/, const decision &decided)
{
	const std::string &dir = at.path;
	if (looks_multibyte(*deciding, name) && g_multibyte_looking++ == 0)
		g_multibyte_example.assign(dir).append("/").append(name);
	if (decided.renamed) {
		const std::string &new_name = decided.name;
		view *v = view_of(at);
		bool collides = taken(dirfd, v, new_name);
		line.assign(collides ? "collision: " : "");
		append_shown(line, STDOUT_FILENO, dir);
		line.append("/");
		append_shown(line, STDOUT_FILENO, name);
		line.append(" -> ");
		append_shown(line, STDOUT_FILENO, dir);
		line.append("/");
		append_shown(line, STDOUT_FILENO, new_name, new_charset);
		line.append("\n");
		print_line();
		if (collides) {
			g_collisions++;
			return;
		}
		if (v == nullptr)
			v = &views.emplace_back(view{at.way.size() - 1, at.way.back().id, {}, {}});
		v->made.erase(name);
		v->gone.insert(name);
		v->made.insert(new_name);
	}
	list_kept(dir, decided.renamed ? std::string_view(decided.name) : name, decided,
	          decided.renamed);
}

void note_mount(const std::string &path)
{
	line.assign("mount: ");
	append_shown(line, STDOUT_FILENO, path);
	line.append("\n");
	print_line();
}
