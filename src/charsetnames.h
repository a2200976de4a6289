// The charset names that iconv knows, and those closest to a name it doesn't: for the line that
// tells a mistyped --from or --to what was likely meant.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The names, sorted and each once, that glibc's gconv configuration in `folder` gives (its
// gconv-modules and gconv-modules.d/*.conf: each alias, and each side of each module), without
// the trailing "//", without INTERNAL and names holding '/', with glibc's built-in names such as
// UTF-8; none where the folder can't be opened.
std::vector<std::string> charset_names(const std::string &folder);

// The names of `known` at the least edit distance from `name`, case aside, at most three in
// their order in `known`: none unless that distance is at most 2 and less than a third of
// `name`'s length, so that a short or wild name gets no guess.
std::vector<std::string> closest_names(std::string_view name,
                                       const std::vector<std::string> &known);

// ": did you mean A, B or C?" for `names`; "" for none.
std::string did_you_mean(const std::vector<std::string> &names);
