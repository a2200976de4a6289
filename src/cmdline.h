// Reading a command line, the same way in both programs.
#pragma once

#include <initializer_list>
#include <string_view>

// One argument as read.
struct argument {
	std::string_view name;  // the argument, or the name before "=VALUE" of an option with one
	const char *value;      // the value of an option that takes one; nullptr for the others
};

// Reads argument `i` of `argv` into `arg`: an option named in `with_value` takes its value as
// "NAME=VALUE" or as the next argument, past which `i` then moves. False when that value is
// missing.
bool read_argument(int argc, char **argv, int &i,
                   std::initializer_list<std::string_view> with_value, argument &arg);
