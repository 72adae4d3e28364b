#include "completion.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace {

// What an option's argument completes to.
enum class Value { None, File, Directory, Choices, Other };

Value valueOf(const Option& o) {
    if (!o.argument) return Value::None;
    if (o.choices) return Value::Choices;
    if (std::strcmp(o.argument, "FILE") == 0) return Value::File;
    if (std::strcmp(o.argument, "DIR") == 0) return Value::Directory;
    return Value::Other;
}

// The first phrase of the option's description in the --help text: the
// text after its name on its line and the lines that go on from it, up to
// " (", "; " or ": ".
std::string describe(const Option& o, std::string_view usage) {
    const std::string name = std::string("--") + o.name;
    for (size_t at = usage.find(name); at != std::string_view::npos;
         at = usage.find(name, at + 1)) {
        const size_t line = usage.rfind('\n', at) + 1;  // npos + 1 is 0
        // The line starts with the name, or with "-X, " and the name.
        std::string_view before = usage.substr(line, at - line);
        before.remove_prefix(std::min(before.find_first_not_of(' '), before.size()));
        if (!before.empty() &&
            !(before.size() == 4 && before[0] == '-' && before.substr(2) == ", "))
            continue;
        const char after = at + name.size() < usage.size() ? usage[at + name.size()] : '\n';
        if (after != '=' && after != ' ') continue;
        std::string text;
        size_t end = usage.find('\n', at);
        size_t from = usage.find("  ", at);
        while (from < end) {
            const size_t start = usage.find_first_not_of(' ', from);
            if (start >= end) break;
            std::string_view part = usage.substr(start, end - start);
            if (!text.empty() && text.back() == '-' && text.size() > 1 &&
                std::isalpha(static_cast<unsigned char>(text[text.size() - 2])))
                text += part;  // a word broken at its hyphen
            else if (text.empty())
                text = part;
            else
                text.append(" ").append(part);
            // The next line goes on when it starts in the description column.
            const size_t next = end + 1;
            if (next >= usage.size() || usage.compare(next, 10, "          ") != 0) break;
            const size_t first = usage.find_first_not_of(' ', next);
            if (first == std::string_view::npos || usage[first] == '-' || usage[first] == '\n')
                break;
            from = next;
            end = usage.find('\n', next);
        }
        size_t cut = text.size();
        for (const char* stop : {" (", "; ", ": "}) cut = std::min(cut, text.find(stop));
        return text.substr(0, cut);
    }
    return "";
}

// `text` within single quotes for sh and fish.
std::string quoted(std::string_view text, bool fish) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += fish ? "\\'" : "'\\''";
        else if (c == '\\' && fish)
            out += "\\\\";
        else
            out += c;
    }
    return out + "'";
}

std::string bash(const char* tool, const std::vector<Option>& options) {
    // The option names, and the case patterns of the options taking a file,
    // a directory or another value; each option with choices has a line.
    std::string words, files, directories, others, choices;
    for (const Option& o : options) {
        std::string names = std::string("--") + o.name;
        words += (words.empty() ? "" : " ") + names;
        if (o.shortName) {
            words += std::string(" -") + o.shortName;
            names = std::string("-") + o.shortName + "|" + names;
        }
        const auto add = [&](std::string& pattern) {
            pattern += (pattern.empty() ? "" : "|") + names;
        };
        switch (valueOf(o)) {
            case Value::None:
                break;
            case Value::File:
                add(files);
                break;
            case Value::Directory:
                add(directories);
                break;
            case Value::Other:
                add(others);
                break;
            case Value::Choices:
                choices += "        " + names + ") COMPREPLY=($(compgen -W " +
                           quoted(o.choices, false) + " -- \"$cur\")); return 0 ;;\n";
                break;
        }
    }
    const auto branch = [](const std::string& pattern, const char* action) {
        return pattern.empty() ? std::string()
                               : "        " + pattern + ") " + action + "; return 0 ;;\n";
    };
    const std::string f = std::string("_") + tool;
    return std::string("# bash completion for ") + tool + ", made by " + tool +
           " --generate-completion=bash\n" + f +
           "() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=\n"
           "    [ \"$COMP_CWORD\" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    # bash splits --option=value at the '='\n"
           "    if [ \"$cur\" = = ]; then\n"
           "        cur=\n"
           "    elif [ \"$prev\" = = ] && [ \"$COMP_CWORD\" -gt 1 ]; then\n"
           "        prev=${COMP_WORDS[COMP_CWORD-2]}\n"
           "    fi\n"
           "    case $prev in\n" +
           branch(files,
                  "compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\"))") +
           branch(directories,
                  "compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- \"$cur\"))") +
           choices + branch(others, "COMPREPLY=()") +
           "    esac\n"
           "    case $cur in\n"
           "        -*) COMPREPLY=($(compgen -W " +
           quoted(words, false) +
           " -- \"$cur\")) ;;\n"
           "        *) COMPREPLY=() ;;\n"
           "    esac\n"
           "}\n"
           "complete -F " +
           f + " " + tool + "\n";
}

// `text` as the description of a zsh _arguments option, within single quotes.
std::string zshDescription(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '[' || c == ']' || c == ':' || c == '\\') out += '\\';
        out += c;
    }
    return out.empty() ? "" : quoted("[" + out + "]", false);
}

std::string zsh(const char* tool, const std::vector<Option>& options, std::string_view usage) {
    std::string s = std::string("#compdef ") + tool + "\n# zsh completion for " + tool +
                    ", made by " + tool + " --generate-completion=zsh\n_arguments -s -S";
    for (const Option& o : options) {
        const std::string description = zshDescription(describe(o, usage));
        std::string action;
        switch (valueOf(o)) {
            case Value::None:
                break;
            case Value::File:
                action = ":file:_files";
                break;
            case Value::Directory:
                action = ":directory:_files -/";
                break;
            case Value::Choices:
                action = std::string(":") + o.argument + ":(" + o.choices + ")";
                break;
            case Value::Other:
                action = std::string(":") + o.argument + ": ";
                break;
        }
        const std::string longForm = std::string("--") + o.name + (o.argument ? "=" : "");
        s += " \\\n    ";
        if (o.shortName) {
            const std::string shortForm = std::string("-") + o.shortName + (o.argument ? "+" : "");
            s += std::string("'(-") + o.shortName + " --" + o.name + ")'{" + shortForm + "," +
                 longForm + "}";
        } else {
            s += "'" + longForm + "'";
        }
        s += description + quoted(action, false);
    }
    return s + " \\\n    '*: :'\n";
}

std::string fish(const char* tool, const std::vector<Option>& options, std::string_view usage) {
    std::string s = std::string("# fish completion for ") + tool + ", made by " + tool +
                    " --generate-completion=fish\ncomplete -c " + tool + " -f\n";
    for (const Option& o : options) {
        s += std::string("complete -c ") + tool;
        if (o.shortName) s += std::string(" -s ") + quoted(std::string(1, o.shortName), true);
        s += std::string(" -l ") + o.name;
        switch (valueOf(o)) {
            case Value::None:
                break;
            case Value::File:
                s += " -r -F";
                break;
            case Value::Directory:
                s += " -x -a '(__fish_complete_directories)'";
                break;
            case Value::Choices:
                s += " -x -a " + quoted(o.choices, true);
                break;
            case Value::Other:
                s += " -x";
                break;
        }
        const std::string description = describe(o, usage);
        if (!description.empty()) s += " -d " + quoted(description, true);
        s += "\n";
    }
    return s;
}

}  // namespace

std::string completionScript(const std::string& shell, const char* tool,
                             const std::vector<Option>& options, const char* usage) {
    if (shell == "bash") return bash(tool, options);
    if (shell == "zsh") return zsh(tool, options, usage);
    if (shell == "fish") return fish(tool, options, usage);
    return "";
}
