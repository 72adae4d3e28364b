// Shell completion scripts for bash, zsh and fish, made from the option
// table a tool parses, so that every option it takes completes: its long
// and short names, a file name where the argument is a FILE, a directory
// for a DIR, the choices of an option that has them, and nothing for
// other values, each described as the table describes it.
#pragma once

#include <string>
#include <vector>

#include "tool.h"

// The script for `shell` ("bash", "zsh" or "fish"), or "" for another.
std::string completionScript(const std::string& shell, const char* tool,
                             const std::vector<Option>& options);
