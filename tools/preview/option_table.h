// The preview's options as one table: each option's names, the values it
// takes, its default, its help and what it does to the Options. Parsing
// (parse_options) and --help (usage) both come from it, so they cannot
// drift apart.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/preview/options.h"

namespace preview {

// What parsing has seen so far, for the checks of options against each
// other once every option is read.
struct ParseState {
    Options& options;
    bool size_given = false;
    bool colors_given = false;
    bool colorspace_given = false;
    bool depth_range = false;  // --depth FROM:TO
    bool scale_range = false;  // --scale FROM:TO
};

// The groups --help lists the options in, in this order.
enum class Section { shader, view, sheets, connected, animation, passes, checks, output };

struct PreviewOption {
    std::vector<std::string> names;  // "--metric"; or "-o", "--output"
    // The values, as --help names them, one word each: "N", "X,Y,Z", "A B"
    // (two values); empty for a flag. A single value may also follow the
    // name after '=' (--gain=0.4).
    std::string arguments;
    std::string default_text;  // as --help shows it; empty when there is none to show
    std::string help;          // one paragraph; --help wraps it
    Section section;
    bool look = false;    // part of a look: saved by --save-params, carried by params files and images
    bool shader = false;  // a shader parameter: what --probe and --points use
    // Applies the option, given as `name`, with its values; throws
    // std::invalid_argument naming the option for a bad value.
    std::function<void(ParseState& state, const std::string& name, const std::vector<std::string>& values)> apply;

    size_t value_count() const;
};

// Every option, in the order --help lists them within their sections.
const std::vector<PreviewOption>& option_table();

// The option named `name` (any of its names), or null.
const PreviewOption* find_option(const std::string& name);

// The heading --help gives a section.
const char* section_title(Section section);

}  // namespace preview
