// Opening the files of a run so that no run destroys data: inputs and
// outputs are checked to be distinct files, and an output that is a regular
// file is written beside its final name and put in place only when the whole
// run has succeeded.
//
// Every failure exit (fail, failUsage) and SIGINT, SIGTERM and SIGHUP remove
// the temporary files, so a failed or interrupted run leaves every existing
// file as it was and no new one behind.
#pragma once

#include <cstddef>

// Fails with a usage error when an output is also an input, or two outputs
// are the same: the same existing regular file (links followed) or the same
// new name in the same directory. "-", devices, pipes and directories are
// not compared.
void checkDistinct(const char* const* inputs, size_t inputCount, const char* const* outputs,
                   size_t outputCount);

// Opens an input file for reading ("-" is standard input); a directory is
// refused, and so is "-" when standard input was closed. Fails the run with
// "cannot open 'FILE': reason" when it cannot be opened.
int openInput(const char* path);

// Opens output files, all or none, and stores their descriptors in fds
// ("-" is standard output). A regular file, or a name that does not exist
// yet, is written to a hidden temporary file in the same directory (a
// symlink's target's directory), which commitOutputs() renames over the
// final name; an existing file keeps its permission bits. Devices, pipes,
// files with several hard links, and files in a directory where no
// temporary file can be made are written in place, emptied once every
// output is open. When one output cannot be opened the run fails and no
// file has changed.
void createOutputs(const char* const* paths, int* fds, int count);
int createOutput(const char* path);

// Puts every output written to a temporary file in place, in the order they
// were created. Call once every output is written and closed.
void commitOutputs();

// Removes the temporary files of outputs not yet put in place.
// Async-signal-safe.
void discardOutputs();

// Installs the handlers that discard the outputs on SIGINT, SIGTERM and
// SIGHUP and then die of the signal (a signal already ignored stays so).
void installCleanupHandlers();
