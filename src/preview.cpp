#include "preview.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "decide.h"
#include "progress.h"
#include "terminal.h"

std::uint64_t g_collisions;
std::uint64_t g_keeping_escapes;

namespace
{

bool transliterating;     // names are decided with the transliterations
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

std::size_t count(std::string_view text, std::string_view part)
{
	std::size_t n = 0;
	for (std::size_t at = text.find(part); at != std::string_view::npos;
	     at = text.find(part, at + 1))
		n++;
	return n;
}

// For an escape of `value` that has a transliteration and that `name`, decoded from
// `original`, keeps: with the option, why the run keeps it all the same; without, whether the
// option would take the transliteration (`option_name` is what it would give).
void note_translit(int value, std::string_view escape, std::string_view name, const char *original,
                   const std::string &option_name)
{
	const std::string &rep = translit[value];
	if (transliterating) {
		const char *misfit = translit_misfit(original);
		line.append("; ");
		if (misfit != nullptr)
			line.append("transliterated, the name ").append(misfit);
		else
			line.append("\"").append(rep).append("\" would complete an escape");
	} else if (count(option_name, escape) < count(name, escape)) {
		line.append("; --transliterate gives \"").append(rep).append("\"");
	}
}

// Lists the escapes that `name`, decoded from `original`, holds, each once, with why the run
// keeps it: the table (or the charsets) keeps it, decoding made it and the next run would decode
// it, or decoding it would make a name too long or an escape; and what the transliterations do
// to it.
void list_kept(const std::string &dir, std::string_view name, const char *original, bool is_new)
{
	line.assign("kept (");
	std::size_t listed = line.size();
	std::string option_name;
	bool option_known = false;
	for (std::size_t i = 0; i < name.size(); i++) {
		int value = escape_at(name.data() + i);
		if (value < 0)
			continue;
		std::string_view escape = name.substr(i, 3);
		i += 2;
		if (line.find(escape, listed) != std::string::npos)
			continue;
		const char *why = why_kept(value);
		// Such an escape is text that no charset decodes, as in "Meeting 10:30".
		if (why != nullptr && value < 0x80 && value != '.' && value != '/')
			continue;
		line.append(line.size() > listed ? ", " : "").append(escape).append(" ");
		if (why != nullptr)
			append_shown(line, STDOUT_FILENO, why);
		else if (!by_charset)
			line.append("would be decoded by the next run");
		else if (const char *misfit = translit_misfit(original))
			line.append("stays: the name ").append(misfit);
		else
			line.append("would complete an escape");
		if (why == nullptr || translit[value].empty())
			continue;
		if (!transliterating && !option_known) {
			option_known = true;
			if (!decode_name(original, option_name, true))
				option_name = original;
		}
		note_translit(value, escape, name, original, option_name);
	}
	if (line.size() == listed)
		return;
	g_keeping_escapes++;
	line.append("): ");
	append_shown(line, STDOUT_FILENO, dir);
	line.append("/");
	append_shown(line, STDOUT_FILENO, name, is_new ? new_charset : nullptr);
	line.append("\n");
	print_line();
}

}  // namespace

void preview_start(bool transliterate, const char *target)
{
	transliterating = transliterate;
	new_charset = target;
	const char *hex = "0123456789abcdef";
	for (int value = 0; value < 256; value++) {
		auto byte = static_cast<unsigned char>(mactable[value]);
		if (why_kept(value) != nullptr || (byte != ':' && std::isxdigit(byte) == 0))
			continue;
		line.assign("table breaks reruns: :");
		line.append({hex[value >> 4], hex[value & 15], ' '});
		line.append("gives '").append(1, static_cast<char>(byte)).append("'\n");
		print_line();
	}
}

// The run renames entry after entry, each against the names its folder holds at that moment:
// those on disk, less the ones it renamed away, plus the ones it gave.
void foresee(int dirfd, const place &at, const char *name, ino_t /*ino*/,
             const std::string *new_name)
{
	const std::string &dir = at.path;
	if (new_name != nullptr) {
		view *v = view_of(at);
		bool collides = taken(dirfd, v, *new_name);
		line.assign(collides ? "collision: " : "");
		append_shown(line, STDOUT_FILENO, dir);
		line.append("/");
		append_shown(line, STDOUT_FILENO, name);
		line.append(" -> ");
		append_shown(line, STDOUT_FILENO, dir);
		line.append("/");
		append_shown(line, STDOUT_FILENO, *new_name, new_charset);
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
		v->made.insert(*new_name);
	}
	list_kept(dir, new_name != nullptr ? std::string_view(*new_name) : name, name,
	          new_name != nullptr);
}

void note_mount(const std::string &path)
{
	line.assign("mount: ");
	append_shown(line, STDOUT_FILENO, path);
	line.append("\n");
	print_line();
}
