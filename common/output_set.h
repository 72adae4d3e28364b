// The outputs of a run, so that no run destroys data: an output that is a
// regular file is written beside its final name and put in place, together
// with every other output of the run, only when the whole run has
// succeeded. The run's OutputSet, owned by the tool's frame, is the only
// way to open an output: it puts them in place together, or removes their
// temporary files when the run fails or a caught signal ends it, so that a
// failed or interrupted run leaves every existing file as it was and no new
// one behind. Failures are raised as a Failure (failure.h).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <deque>
#include <string>
#include <utility>
#include <vector>

// An output of the run, as its OutputSet created it.
struct Output {
    const char* path;        // as given; "-" is standard output
    int fd = -1;             // open for writing, until an OutputFile takes it
    std::string stagedIn{};  // the directory it is staged in, if it is
};

// The outputs of a run.
//
// An existing regular file that this user may not write fails the run
// ("Permission denied") before anything is made. A regular file, or a name
// that does not exist yet, is written to a hidden temporary file in the
// same directory (a symbolic link's target's, the link followed as a shell
// redirect follows it, whether or not the target exists), created with
// mode 0666 for the umask or the directory's default ACL to reduce; a
// replaced file's owner, mode and access ACL are copied to it. Failing to
// create it where files can be created fails the run. An existing file in
// a directory that takes no new file is staged in $TMPDIR (else /tmp) and
// copied into the file at the commit. Devices, pipes and files with several
// hard links are written in place, emptied once every output is open.
//
// No output may be an input of the run: each output's target (its device
// and inode, links followed) is compared with every input opened so far
// when it is created and again just before the commit, so that a name that
// became a link to an input meanwhile fails the run, every file as it was.
class OutputSet {
  public:
    // Becomes the run's outputs: the signal handlers reach it, and the
    // inputs opened are noted in it.
    OutputSet();
    // Removes the temporary files of the outputs not put in place.
    ~OutputSet();
    OutputSet(const OutputSet&) = delete;
    OutputSet& operator=(const OutputSet&) = delete;

    // Creates the outputs, all or none, in order.
    std::vector<Output*> create(const std::vector<const char*>& paths);
    Output& create(const char* path) { return *create(std::vector<const char*>{path})[0]; }

    // Notes an input of the run, open as fd: no output may become it.
    void noteInput(int fd);

    // Puts every output written to a temporary file in place, all together
    // or none: each is exchanged with the file it replaces (renameat2), a
    // new name is linked without replacing anything that appeared
    // meanwhile, and if one step fails the earlier ones are exchanged back
    // and the run fails. An output whose name became a directory or an
    // input fails the run before anything is changed. Staged outputs are
    // copied last. The caught signals are blocked meanwhile. On a file
    // system without renameat2 each output is renamed over its name, which
    // cannot be taken back. Call once every output is written and closed.
    void commit();

    // Removes the temporary files of outputs not yet put in place.
    // Async-signal-safe.
    void discard();

    // The run's outputs (for the signal handlers), or null.
    static OutputSet* current();

    struct Pending;

  private:
    void failIfInput(const char* path, const struct stat& target) const;
    std::deque<Output> outputs_;
    std::atomic<Pending*> first_{nullptr};
    Pending* last_ = nullptr;
    std::vector<std::pair<dev_t, ino_t>> inputs_;
};

// Installs the handlers that discard the run's outputs on SIGINT, SIGTERM,
// SIGHUP, SIGQUIT, SIGXFSZ, SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM,
// SIGPROF and SIGABRT and then die of the signal (a signal already ignored
// stays so).
void installCleanupHandlers();
