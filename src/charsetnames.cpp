#include "charsetnames.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "fsutil.h"

namespace
{

// Adds the names of one gconv configuration text to `names`: "alias NAME// TARGET//" and
// "module FROM// TO// FILE COST" lines.
void add_names(const std::string &text, std::vector<std::string> &names)
{
	std::istringstream lines(text);
	std::string line;
	while (std::getline(lines, line)) {
		std::istringstream words(line.substr(0, line.find('#')));
		std::string kind, first, second;
		words >> kind >> first >> second;
		if (kind != "alias" && kind != "module")
			continue;
		for (std::string *name : {&first, &second}) {
			while (!name->empty() && name->back() == '/')
				name->pop_back();
			if (!name->empty() && *name != "INTERNAL" &&
			    name->find('/') == std::string::npos)
				names.push_back(*name);
		}
	}
}

// Reads the file `name` in the folder open as `dirfd` into `names`, if it can.
void read_config(int dirfd, const char *name, std::vector<std::string> &names)
{
	struct stat st;
	fault f;
	int fd = open_regular(dirfd, name, O_RDONLY, 0, st, f);
	if (fd < 0)
		return;
	std::string text;
	(void)read_whole(fd, text, 1 << 22);
	(void)close(fd);
	add_names(text, names);
}

char folded(char c)
{
	return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The edit distance of `a` and `b`, case aside.
std::size_t distance(std::string_view a, std::string_view b)
{
	std::vector<std::size_t> row(b.size() + 1);
	for (std::size_t j = 0; j <= b.size(); j++)
		row[j] = j;
	for (std::size_t i = 1; i <= a.size(); i++) {
		std::size_t diagonal = row[0];
		row[0] = i;
		for (std::size_t j = 1; j <= b.size(); j++) {
			std::size_t above = row[j];
			row[j] = std::min({above + 1, row[j - 1] + 1,
			                   diagonal + (folded(a[i - 1]) != folded(b[j - 1]))});
			diagonal = above;
		}
	}
	return row[b.size()];
}

}  // namespace

std::vector<std::string> charset_names(const std::string &folder)
{
	// Built into glibc, so in no configuration file.
	std::vector<std::string> names = {"ANSI_X3.4-1968", "ASCII", "US-ASCII", "UCS-2",
	                                  "UCS-4",          "UTF-8", "UTF8"};
	int top = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (top < 0)
		return {};
	read_config(top, "gconv-modules", names);
	int more = openat(top, "gconv-modules.d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	(void)close(top);
	DIR *d = more < 0 ? nullptr : fdopendir(more);
	if (d == nullptr && more >= 0)
		(void)close(more);
	while (const dirent *e = d == nullptr ? nullptr : readdir(d)) {
		if (std::string_view(e->d_name).ends_with(".conf"))
			read_config(more, e->d_name, names);
	}
	if (d != nullptr)
		(void)closedir(d);
	std::sort(names.begin(), names.end());
	names.erase(std::unique(names.begin(), names.end()), names.end());
	return names;
}

std::vector<std::string> closest_names(std::string_view name, const std::vector<std::string> &known)
{
	std::vector<std::string> found;
	if (name.empty())
		return found;
	std::size_t best = std::min<std::size_t>(2, (name.size() - 1) / 3);
	for (const std::string &candidate : known) {
		std::size_t d = distance(name, candidate);
		if (d < best)
			found.clear();
		if (d <= best && found.size() < 3)
			found.push_back(candidate);
		best = std::min(best, d);
	}
	return found;
}

std::string did_you_mean(const std::vector<std::string> &names)
{
	std::string text;
	for (std::size_t i = 0; i < names.size(); i++)
		text += (i == 0                  ? ": did you mean "
		         : i + 1 == names.size() ? " or "
		                                 : ", ") +
		        names[i];
	return names.empty() ? text : text + "?";
}
