#include "cmdline.h"

#include <algorithm>

bool read_argument(int argc, char **argv, int &i,
                   std::initializer_list<std::string_view> with_value, argument &arg)
{
	std::string_view text = argv[i];
	std::string_view name = text.substr(0, text.find('='));
	arg = {text, nullptr};
	if (std::find(with_value.begin(), with_value.end(), name) == with_value.end())
		return true;
	arg.name = name;
	if (name.size() < text.size()) {
		arg.value = argv[i] + name.size() + 1;
		return true;
	}
	if (i + 1 == argc)
		return false;
	arg.value = argv[++i];
	return true;
}
