#include "completion.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace {

// The names of an option's choices, separated by spaces.
std::string choiceNames(const Option& o) {
    std::string names;
    for (const Choice& c : o.choices) {
        if (!names.empty()) names += ' ';
        names += c.name;
    }
    return names;
}

// The choices, each with its description, as zsh's _arguments takes them
// ("name\:"description" ...") or fish's -a ("name\t"description" ...").
std::string describedChoices(const Option& o, const char* separator) {
    std::string list;
    for (const Choice& c : o.choices) {
        if (!list.empty()) list += ' ';
        list += std::string(c.name) + separator + "\"" + c.description + "\"";
    }
    return list;
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
        switch (o.value()) {
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
            case Value::Choice:
                choices += "        " + names + ") COMPREPLY=($(compgen -W " +
                           quoted(choiceNames(o), false) + " -- \"$cur\")); return 0 ;;\n";
                break;
        }
    }
    const auto branch = [](const std::string& pattern, const std::string& action) {
        return pattern.empty() ? std::string()
                               : "        " + pattern + ") " + action + "; return 0 ;;\n";
    };
    const std::string f = std::string("_") + tool;
    // File names as bash-completion's _filedir gives them (spaces, quotes
    // and brackets kept), or, without bash-completion, one per line from
    // compgen, never split or globbed.
    const std::string fileNames =
        f +
        "_files() {\n"
        "    if declare -F _filedir >/dev/null; then\n"
        "        _filedir \"$@\"\n"
        "    else\n"
        "        compopt -o filenames 2>/dev/null\n"
        "        mapfile -t COMPREPLY < <(compgen \"${1:--f}\" -- \"$cur\")\n"
        "    fi\n"
        "}\n";
    return std::string("# bash completion for ") + tool + ", made by " + tool +
           " --generate-completion=bash\n" + fileNames + f +
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
           branch(files, f + "_files") + branch(directories, f + "_files -d") + choices +
           branch(others, "COMPREPLY=()") +
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

std::string zsh(const char* tool, const std::vector<Option>& options) {
    std::string s = std::string("#compdef ") + tool + "\n# zsh completion for " + tool +
                    ", made by " + tool + " --generate-completion=zsh\n_arguments -s -S";
    for (const Option& o : options) {
        const std::string description = zshDescription(o.brief);
        std::string action;
        switch (o.value()) {
            case Value::None:
                break;
            case Value::File:
                action = ":file:_files";
                break;
            case Value::Directory:
                action = ":directory:_files -/";
                break;
            case Value::Choice:
                action = std::string(":") + o.argument + ":((" + describedChoices(o, "\\:") + "))";
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

std::string fish(const char* tool, const std::vector<Option>& options) {
    std::string s = std::string("# fish completion for ") + tool + ", made by " + tool +
                    " --generate-completion=fish\ncomplete -c " + tool + " -f\n";
    for (const Option& o : options) {
        s += std::string("complete -c ") + tool;
        if (o.shortName) s += std::string(" -s ") + quoted(std::string(1, o.shortName), true);
        s += std::string(" -l ") + o.name;
        switch (o.value()) {
            case Value::None:
                break;
            case Value::File:
                s += " -r -F";
                break;
            case Value::Directory:
                s += " -x -a '(__fish_complete_directories)'";
                break;
            case Value::Choice:
                s += " -x -a " + quoted(describedChoices(o, "\\t"), true);
                break;
            case Value::Other:
                s += " -x";
                break;
        }
        const std::string description = o.brief;
        if (!description.empty()) s += " -d " + quoted(description, true);
        s += "\n";
    }
    return s;
}

}  // namespace

std::string completionScript(const std::string& shell, const char* tool,
                             const std::vector<Option>& options) {
    if (shell == "bash") return bash(tool, options);
    if (shell == "zsh") return zsh(tool, options);
    if (shell == "fish") return fish(tool, options);
    return "";
}
