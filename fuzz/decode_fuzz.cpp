// libFuzzer target for decode_name: arbitrary names under arbitrary tables. Input: one byte
// that chooses the table (even: the identity table, odd: the next 256 bytes, short ones
// padded with 0), then the name up to its first 0 byte. Every name is then decoded twice, with
// that table rid of its entries that give ':' or a hex digit and with the shipped table: the
// second decoding must leave the name as the first left it, which is what makes a rerun safe.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert.h"
#include "mac2cp850.h"

// decode_name writes nowhere; set_new_name would, so its records lead nowhere.
const char *const g_startpath = "/nonexistent/convmount";
const char *const g_logfile = "/nonexistent/convert.log";
const char *const g_journalfile = "/nonexistent/convert.journal";
const char *const g_statfile = "/nonexistent/runstats.txt";

namespace
{

unsigned char shipped[256];

int hex_value(unsigned char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	c = static_cast<unsigned char>(c | 0x20);
	return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

void fail(const char *what, const std::string &name, const std::string &out)
{
	std::fprintf(stderr, "decode_name broke its contract: %s\nname (%zu bytes):", what,
	             name.size());
	for (unsigned char c : name)
		std::fprintf(stderr, " %02x", c);
	std::fprintf(stderr, "\nout (%zu bytes):", out.size());
	for (unsigned char c : out)
		std::fprintf(stderr, " %02x", c);
	std::fprintf(stderr, "\n");
	std::abort();
}

// The name as it must come out, in one pass: ':' and two hex digits is an escape; it becomes
// its table byte unless its value is '.' or '/' or that byte is 0 or '/', when it stays.
std::string reference(const std::string &name)
{
	std::string out;
	for (std::size_t i = 0; i < name.size();) {
		int high = name[i] == ':' && i + 2 < name.size() ? hex_value(name[i + 1]) : -1;
		int low = high < 0 ? -1 : hex_value(name[i + 2]);
		if (low < 0) {
			out += name[i++];
			continue;
		}
		unsigned value = static_cast<unsigned>(high * 16 + low);
		unsigned char byte = mactable[value];
		if (value == '.' || value == '/' || byte == 0 || byte == '/')
			out.append(name, i, 3);
		else
			out += static_cast<char>(byte);
		i += 3;
	}
	return out;
}

// decode_name's contract for `name` under the table in use.
void check_contract(const std::string &name)
{
	std::string out = "untouched";
	bool changed = decode_name(name.c_str(), out);

	std::string expected = reference(name);
	if (!changed) {
		if (expected != name)
			fail("reported no change for a name that needs one", name, expected);
		return;
	}
	if (out.size() > name.size())
		fail("output longer than the name", name, out);
	if (out.find('\0') != std::string::npos)
		fail("0 byte in the output", name, out);
	std::size_t slashes_in = 0;
	std::size_t slashes_out = 0;
	for (char c : name)
		slashes_in += c == '/' ? 1 : 0;
	for (char c : out)
		slashes_out += c == '/' ? 1 : 0;
	if (slashes_out > slashes_in)
		fail("a '/' the name did not hold", name, out);
	if (out == name)
		fail("reported a change for a name that needs none", name, out);
	if (out != expected)
		fail("not the single-pass decoding, with every kept escape unchanged", name, out);
}

std::string decoded(const std::string &name)
{
	std::string out;
	return decode_name(name.c_str(), out) ? out : name;
}

void check_idempotent(const std::string &name)
{
	std::string once = decoded(name);
	std::string twice = decoded(once);
	if (twice != once)
		fail("decoding the decoded name changed it again", once, twice);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	std::FILE *f = std::fopen(SHIPPED_TABLE, "rb");
	if (f == nullptr || std::fread(shipped, 1, sizeof shipped, f) != sizeof shipped ||
	    std::fgetc(f) != EOF) {
		std::fprintf(stderr, "%s: not a table of 256 bytes\n", SHIPPED_TABLE);
		std::abort();
	}
	(void)std::fclose(f);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size == 0)
		return 0;
	std::memset(mactable, 0, sizeof mactable);
	std::size_t at = 1;
	if ((data[0] & 1) == 0) {
		for (unsigned v = 1; v < 256; v++)
			mactable[v] = v == '/' ? 0 : static_cast<unsigned char>(v);
	} else {
		std::size_t n = size - 1 < sizeof mactable ? size - 1 : sizeof mactable;
		std::memcpy(mactable, data + 1, n);
		at += n;
	}
	const char *begin = reinterpret_cast<const char *>(data) + at;
	std::string name(begin, strnlen(begin, size - at));

	check_contract(name);
	// A decoded byte can start or complete an escape only if it is ':' or a hex digit: without
	// such entries any table leaves a decoded name as it is.
	for (unsigned char &byte : mactable)
		if (byte == ':' || hex_value(byte) >= 0)
			byte = 0;
	check_idempotent(name);
	std::memcpy(mactable, shipped, sizeof mactable);
	check_idempotent(name);
	return 0;
}
