// Opening the files of a run so that no run destroys data: inputs and
// outputs are checked to be distinct files, and an output that is a regular
// file is written beside its final name and put in place, together with
// every other output of the run, only when the whole run has succeeded.
//
// Failures are raised as a Failure (failure.h). The tool's frame removes
// the temporary files of a failed run (discardOutputs), and the caught
// signals (installCleanupHandlers) remove them too, so a failed or
// interrupted run leaves every existing file as it was and no new one
// behind.
#pragma once

#include <cstddef>

// A usage error when an output is also an input, or two outputs are the
// same: the same existing regular file (links followed) or the same new
// name in the same directory; and when standard input or output ("-") is a
// regular file that is also a named file of the run, or both are the same
// file. Devices, pipes and directories are not compared.
void checkDistinct(const char* const* inputs, size_t inputCount, const char* const* outputs,
                   size_t outputCount);

// Notes that standard input was closed when the tool started: reading "-"
// then fails.
void noteStandardInputClosed();

// Opens an input file for reading ("-" is standard input); a directory is
// refused, and so is "-" when standard input was closed. Fails the run with
// "cannot open 'FILE': reason" when it cannot be opened.
int openInput(const char* path);

// Opens output files, all or none, and stores their descriptors in fds
// ("-" is standard output). An existing regular file that this user may
// not write fails the run ("Permission denied") before anything is made.
// A regular file, or a name that does not exist yet, is written to a
// hidden temporary file in the same directory (a symlink's target's),
// created with mode 0666 for the umask or the directory's default ACL to
// reduce; a replaced file's owner, mode and access ACL are copied to it.
// Failing to create it where files can be created fails the run. An
// existing file in a directory that takes no new file is staged in
// $TMPDIR (else /tmp) and copied into the file at the commit. Devices,
// pipes and files with several hard links are written in place, emptied
// once every output is open.
void createOutputs(const char* const* paths, int* fds, int count);
int createOutput(const char* path);

// Puts every output written to a temporary file in place, all together or
// none: each is exchanged with the file it replaces (renameat2), a new
// name is linked without replacing anything that appeared meanwhile, and
// if one step fails the earlier ones are exchanged back and the run fails.
// Staged outputs are copied last. The caught signals are blocked
// meanwhile. On a file system without renameat2 each output is renamed
// over its name, which cannot be taken back. Call once every output is
// written and closed.
void commitOutputs();

// Removes the temporary files of outputs not yet put in place.
// Async-signal-safe.
void discardOutputs();

// Installs the handlers that discard the outputs on SIGINT, SIGTERM,
// SIGHUP, SIGQUIT, SIGXFSZ, SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM
// and SIGPROF and then die of the signal (a signal already ignored stays
// so).
void installCleanupHandlers();
