// Opening the inputs of a run, and the check that no file is both read
// and written: inputs and outputs are checked to be distinct files before
// anything is touched (output_set.h keeps them so during the run).
// Failures are raised as a Failure (failure.h).
#pragma once

#include <cstddef>
#include <string>

// A usage error when an output is also an input, or two outputs are the
// same: the same existing regular file (links followed) or the same new
// name in the same directory; and when standard input or output ("-") is a
// regular file that is also a named file of the run, or both are the same
// file. Devices, pipes and directories are not compared. An output named
// "" is a usage error too.
void checkDistinct(const char* const* inputs, size_t inputCount, const char* const* outputs,
                   size_t outputCount);

// Notes that standard input was closed when the tool started: reading "-"
// then fails.
void noteStandardInputClosed();

// Opens an input file for reading ("-" is standard input); a directory is
// refused, and so is "-" when standard input was closed. Fails the run with
// "cannot open 'FILE': reason" when it cannot be opened. The run's outputs
// learn of it (OutputSet::noteInput).
int openInput(const char* path);

// Splits a path into its directory ("." for none) and its last component.
void splitPath(const std::string& path, std::string& dir, std::string& base);

// The directory of temporary files: $TMPDIR when set and not empty, else
// /tmp.
const char* temporaryDirectory();

// A new temporary file in `dir` that no name leads to (made without one,
// or unlinked at once), open for reading and writing, so that no way out
// of the run leaves it behind; -1 with errno set when it cannot be made.
int openTemporaryFile(const char* dir);
