// The progress line: when standard error is a terminal and a run has lasted
// more than two seconds, one line there says how much input has been read,
// what share of its size that is (when the size is known) and the rate. It
// is updated at most twice a second and erased when the run ends or before
// any message.
#pragma once

#include <memory>

#include "source.h"

// Starts the clock of the progress line, shown as "NAME: ..." when `on`
// and standard error is a terminal.
void enableProgress(const char* name, bool on);

// The source, counted towards the progress line when it is shown; fd is
// the input's descriptor (its size is known when it is a regular file).
std::unique_ptr<ByteSource> withProgress(std::unique_ptr<ByteSource> source, int fd);

// Erases the progress line, if one is shown.
void clearProgress();
