#include "preview.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "decide.h"
#include "progress.h"

std::uint64_t g_collisions;
std::uint64_t g_keeping_escapes;

namespace
{

bool transliterating;  // names are decided with the transliterations
// From the new names' charset to the terminal's, when they differ; nullptr: names exact.
iconv_t display = nullptr;
std::string shown;  // a new name as the terminal shows it; capacity kept between names

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

// Charset names as iconv takes them, told apart by letters and digits only ("utf8", "UTF-8").
bool same_charset(const char *a, const char *b)
{
	auto next = [](const char *&p) {
		while (*p != '\0' && std::isalnum(static_cast<unsigned char>(*p)) == 0)
			p++;
		return std::tolower(static_cast<unsigned char>(*p));
	};
	for (;; a++, b++) {
		int x = next(a);
		if (x != next(b))
			return false;
		if (x == '\0')
			return true;
	}
}

// Opens `display` when standard output is a terminal whose locale reads another charset than
// `target`. Only queried, through a locale object, so that nothing else in the program changes
// with the user's locale.
void open_display(const char *target)
{
	if (isatty(STDOUT_FILENO) == 0)
		return;
	locale_t user = newlocale(LC_CTYPE_MASK, "", nullptr);
	if (user == nullptr)
		return;
	std::string terminal = nl_langinfo_l(CODESET, user);
	freelocale(user);
	if (terminal.empty() || same_charset(terminal.c_str(), target))
		return;
	display = iconv_open(terminal.c_str(), target);
	if (reinterpret_cast<std::intptr_t>(display) == -1)
		display = nullptr;
}

// Appends `text`, the bytes of a new name, to `line` as the terminal shows them: converted where
// it reads another charset, each byte that won't convert and each control character as \xHH,
// so that no name can move the cursor or hide what follows it.
void append_shown(std::string_view text)
{
	if (display == nullptr) {
		line.append(text);
		return;
	}
	(void)iconv(display, nullptr, nullptr, nullptr, nullptr);
	const char *hex = "0123456789ABCDEF";
	while (!text.empty()) {
		std::size_t plain = 0;
		while (plain < text.size() && static_cast<unsigned char>(text[plain]) >= 0x20 &&
		       text[plain] != 0x7f)
			plain++;
		char *from = const_cast<char *>(text.data());
		std::size_t from_left = plain;
		while (from_left != 0) {
			shown.resize(from_left * 4 + 16);
			char *to = shown.data();
			std::size_t to_left = shown.size();
			std::size_t done = iconv(display, &from, &from_left, &to, &to_left);
			line.append(shown.data(), to - shown.data());
			if (done != static_cast<std::size_t>(-1) || errno == E2BIG)
				continue;
			// EILSEQ or EINVAL: this byte can't be read in the names' charset.
			auto byte = static_cast<unsigned char>(*from);
			line.append({'\\', 'x', hex[byte >> 4], hex[byte & 15]});
			from++;
			from_left--;
		}
		text.remove_prefix(plain);
		if (text.empty())
			break;
		auto byte = static_cast<unsigned char>(text.front());
		line.append({'\\', 'x', hex[byte >> 4], hex[byte & 15]});
		text.remove_prefix(1);
	}
	char *to = shown.data();
	std::size_t to_left = shown.size();
	if (iconv(display, nullptr, nullptr, &to, &to_left) != static_cast<std::size_t>(-1))
		line.append(shown.data(), to - shown.data());
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
			line.append(why);
		else if (!by_charset)
			line.append("would be decoded by the next run");
		else if (translit_misfit(original) != nullptr)
			line.append("stays: the name would be longer than 255 bytes");
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
	line.append("): ").append(dir).append("/");
	if (is_new)
		append_shown(name);
	else
		line.append(name);
	line.append("\n");
	print_line();
}

}  // namespace

void preview_start(bool transliterate, const char *target)
{
	transliterating = transliterate;
	open_display(target);
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
		line.assign(collides ? "collision: " : "").append(dir).append("/").append(name);
		line.append(" -> ").append(dir).append("/");
		append_shown(*new_name);
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
	line.assign("mount: ").append(path).append("\n");
	print_line();
}
