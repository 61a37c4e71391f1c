// The command line's own texts, pure so that the tests read them: the
// suggestion for a mistyped command, the flow forms every flow command's
// help shows, and the output formats.
#ifndef FLOWCTL_USAGE_H
#define FLOWCTL_USAGE_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flowctl {

// The optimal string alignment distance: insertions, deletions,
// substitutions and swaps of two neighbours ("shwo" is one from "show").
size_t edit_distance(std::string_view a, std::string_view b);
// The command closest to word, if close enough to be a typo (one edit for
// names of up to four letters, two for longer ones); ties go to the first.
std::optional<std::string> closest_command(std::string_view word,
                                           const std::vector<std::string> &names);
// "unknown command 'shwo'; did you mean 'show'?", or without the question
// when nothing is close.
std::string unknown_command_message(std::string_view word, const std::vector<std::string> &names);

// The forms of a flow on the command line, with an example of the command
// ("flowctl add 1 exact 10 0x010101 0x020202"), for its help.
std::string flow_forms_help(std::string_view command);

enum class Format { Table, Json, Prometheus };
std::optional<Format> parse_format(std::string_view name);
std::string_view format_name(Format format);

} // namespace flowctl

#endif // FLOWCTL_USAGE_H
