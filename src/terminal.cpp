#include "terminal.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>

namespace
{

enum kind : char { unknown, plain, terminal };

kind streams[3];  // what standard input, output and error are, each found at its first line
// The terminal's charset, as the user's locale names it, found at the first line for a
// terminal, and iconv from it to wide characters and back.
std::string terminal_charset;
iconv_t from_terminal;  // nullptr: none could be opened
iconv_t to_terminal;
// The charset of the text last given one, and iconv from it to wide characters.
std::string names_charset;
iconv_t from_names;

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

// A conversion from charset `from` to `to`; nullptr when iconv has none.
iconv_t open_iconv(const char *to, const char *from)
{
	iconv_t cd = iconv_open(to, from);
	return reinterpret_cast<std::intptr_t>(cd) == -1 ? nullptr : cd;
}

// Only queried, through a locale object, so that nothing else in the program changes with the
// user's locale. Where the locale can't be had, the terminal is taken to read the C locale's
// ASCII, which shows every byte above 127 escaped.
void find_terminal_charset()
{
	terminal_charset = "ANSI_X3.4-1968";
	if (locale_t user = newlocale(LC_CTYPE_MASK, "", nullptr)) {
		const char *codeset = nl_langinfo_l(CODESET, user);
		if (codeset != nullptr && *codeset != '\0')
			terminal_charset = codeset;
		freelocale(user);
	}
	from_terminal = open_iconv("WCHAR_T", terminal_charset.c_str());
	to_terminal = open_iconv(terminal_charset.c_str(), "WCHAR_T");
}

kind kind_of(int fd)
{
	if (fd < 0 || fd > 2)
		return isatty(fd) != 0 ? terminal : plain;
	if (streams[fd] == unknown) {
		streams[fd] = isatty(fd) != 0 ? terminal : plain;
		if (streams[fd] == terminal && terminal_charset.empty())
			find_terminal_charset();
	}
	return streams[fd];
}

// The length of the character that `text` starts with in the charset that `cd` reads, with
// that character in `c`; 0 when it starts with none. The room for one character stops iconv
// after it; a sequence that gives more than one is taken for none.
std::size_t next_char(iconv_t cd, std::string_view text, wchar_t &c)
{
	if (cd == nullptr)
		return 0;
	char *in = const_cast<char *>(text.data());
	std::size_t in_left = text.size();
	char *out = reinterpret_cast<char *>(&c);
	std::size_t out_left = sizeof c;
	(void)iconv(cd, &in, &in_left, &out, &out_left);
	// glibc reads UTF-8 sequences of up to six bytes, past the last character there is.
	if (out_left != 0 || static_cast<std::uint32_t>(c) > 0x10FFFF)
		return 0;
	return text.size() - in_left;
}

// Appends character `c` in the terminal's charset to `line`; false when that charset lacks it.
bool append_encoded(std::string &line, wchar_t c)
{
	if (to_terminal == nullptr)
		return false;
	char bytes[16];
	char *in = reinterpret_cast<char *>(&c);
	std::size_t in_left = sizeof c;
	char *out = bytes;
	std::size_t out_left = sizeof bytes;
	if (iconv(to_terminal, &in, &in_left, &out, &out_left) == static_cast<std::size_t>(-1) ||
	    iconv(to_terminal, nullptr, nullptr, &out, &out_left) == static_cast<std::size_t>(-1))
		return false;
	line.append(bytes, static_cast<std::size_t>(out - bytes));
	return true;
}

void append_escaped(std::string &line, std::string_view bytes)
{
	const char *hex = "0123456789ABCDEF";
	for (char c : bytes) {
		auto byte = static_cast<unsigned char>(c);
		line.append({'\\', 'x', hex[byte >> 4], hex[byte & 15]});
	}
}

// C0, DEL and C1: what moves the cursor, erases or starts a sequence the terminal acts on.
bool control(wchar_t c)
{
	return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Character by character through `from`, which reads the text's charset: converted to the
// terminal's if `convert`, else copied as it stands.
void append_for_terminal(std::string &line, std::string_view text, iconv_t from, bool convert)
{
	if (from != nullptr)
		(void)iconv(from, nullptr, nullptr, nullptr, nullptr);
	while (!text.empty()) {
		// Printable ASCII is a character of its own, and the same one, in every charset a
		// locale can have and every charset a name can be converted to.
		std::size_t ascii = 0;
		while (ascii < text.size() && static_cast<unsigned char>(text[ascii]) >= 0x20 &&
		       static_cast<unsigned char>(text[ascii]) < 0x7F)
			ascii++;
		line.append(text.substr(0, ascii));
		text.remove_prefix(ascii);
		if (text.empty())
			break;
		wchar_t c = 0;
		std::size_t length = next_char(from, text, c);
		std::string_view bytes = text.substr(0, length == 0 ? 1 : length);
		text.remove_prefix(bytes.size());
		bool shown = length != 0 && !control(c);
		if (shown && convert)
			shown = append_encoded(line, c);
		else if (shown)
			line.append(bytes);
		if (!shown)
			append_escaped(line, bytes);
	}
}

}  // namespace

// Nothing but a lookup in `streams` where the stream is no terminal, so that a listing of
// millions of names piped on costs what it did before names were shown safely.
void append_shown(std::string &line, int fd, std::string_view text, const char *charset)
{
	if (kind_of(fd) == plain) {
		line.append(text);
		return;
	}
	if (charset == nullptr || same_charset(charset, terminal_charset.c_str()))
		return append_for_terminal(line, text, from_terminal, false);
	if (names_charset != charset) {
		if (from_names != nullptr)
			(void)iconv_close(from_names);
		names_charset = charset;
		from_names = open_iconv("WCHAR_T", charset);
	}
	append_for_terminal(line, text, from_names, true);
}
