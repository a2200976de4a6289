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

namespace
{

folder_view *view_of(std::vector<folder_view> &views, const place &at)
{
	while (!views.empty() && (views.back().depth >= at.way.size() ||
	                          at.way[views.back().depth].id != views.back().id))
		views.pop_back();
	return !views.empty() && views.back().depth + 1 == at.way.size() ? &views.back() : nullptr;
}

// A name that can't be looked up is taken for free: the run would try it.
bool taken(int dirfd, const folder_view *v, const std::string &name)
{
	if (v != nullptr && v->made.count(name) != 0)
		return true;
	if (v != nullptr && v->gone.count(name) != 0)
		return false;
	struct stat st;
	return fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void print_line(const std::string &line)
{
	progress_hide();
	(void)std::fwrite(line.data(), 1, line.size(), stdout);
}

// Lists what `name`, the name the entry ends with (`is_new`: the new one), keeps, and why, as
// `decided` says.
void list_kept(preview_context &c, const std::string &dir, std::string_view name,
               const decision &decided, bool is_new)
{
	if (decided.kept.empty())
		return;
	c.keeping_escapes++;
	std::string &line = c.line;
	line.assign("kept (");
	for (const kept_span &span : decided.kept) {
		line.append(&span == decided.kept.data() ? "" : ", ").append(span.what).append(" ");
		append_shown(line, STDOUT_FILENO, span.why);
	}
	line.append("): ");
	append_shown(line, STDOUT_FILENO, dir);
	line.append("/");
	append_shown(line, STDOUT_FILENO, name, is_new ? c.new_charset : nullptr);
	line.append("\n");
	print_line(line);
}

}  // namespace

void preview_start(preview_context &c, const decoder &d)
{
	c.deciding = &d;
	c.new_charset = names_charset(d);
	for (const std::string &note : rerun_notes(d)) {
		c.line.assign(note).append("\n");
		print_line(c.line);
	}
}

// The run renames entry after entry, each against the names its folder holds at that moment:
// those on disk, less the ones it renamed away, plus the ones it gave.
void foresee(void *context, int dirfd, const place &at, const char *name, ino_t /*ino*/,
             const decision &decided)
{
	preview_context &c = *static_cast<preview_context *>(context);
	std::string &line = c.line;
	const std::string &dir = at.path;
	if (looks_multibyte(*c.deciding, name) && c.multibyte_looking++ == 0)
		c.multibyte_example.assign(dir).append("/").append(name);
	if (decided.renamed) {
		const std::string &new_name = decided.name;
		folder_view *v = view_of(c.views, at);
		bool collides = taken(dirfd, v, new_name);
		line.assign(collides ? "collision: " : "");
		append_shown(line, STDOUT_FILENO, dir);
		line.append("/");
		append_shown(line, STDOUT_FILENO, name);
		line.append(" -> ");
		append_shown(line, STDOUT_FILENO, dir);
		line.append("/");
		append_shown(line, STDOUT_FILENO, new_name, c.new_charset);
		line.append("\n");
		print_line(line);
		if (collides) {
			c.collisions++;
			return;
		}
		if (v == nullptr)
			v = &c.views.emplace_back(
			        folder_view{at.way.size() - 1, at.way.back().id, {}, {}});
		v->made.erase(name);
		v->gone.insert(name);
		v->made.insert(new_name);
	}
	list_kept(c, dir, decided.renamed ? std::string_view(decided.name) : name, decided,
	          decided.renamed);
}

void note_mount(void *context, const std::string &path)
{
	std::string &line = static_cast<preview_context *>(context)->line;
	line.assign("mount: ");
	append_shown(line, STDOUT_FILENO, path);
	line.append("\n");
	print_line(line);
}
