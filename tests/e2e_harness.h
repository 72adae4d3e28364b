// Runs the real tool binaries in scratch directories for end-to-end tests.
#pragma once

#include <map>
#include <string>
#include <vector>

// Whether the tools under test run under AddressSanitizer or ThreadSanitizer,
// as GCC says it (__SANITIZE_*__) or clang (__has_feature).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOOLS_UNDER_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define TOOLS_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(TOOLS_UNDER_ASAN)
#define TOOLS_UNDER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__) && !defined(TOOLS_UNDER_TSAN)
#define TOOLS_UNDER_TSAN 1
#endif

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

enum class Stdout { Capture, Closed, DevFull, BrokenPipe };

// A fresh directory under the system's temporary directory, removed with
// its contents at the end of the test.
class Scratch {
  public:
    Scratch();
    ~Scratch();
    const std::string& dir() const { return work_; }
    std::string path(const std::string& name) const { return work_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
    // The names in the directory, hidden ones included, sorted.
    std::vector<std::string> names() const;
    // Runs `binary` with `args` inside the scratch directory, with standard
    // input from the file `input` of the directory (or /dev/null).
    RunResult run(const std::string& binary, const std::vector<std::string>& args = {},
                  Stdout mode = Stdout::Capture, const std::string& input = "") const;

  private:
    std::string root_, work_;
};

// A strict reader of JSON text: every scalar by its path ("data.case.cutoff"),
// strings decoded (\\uXXXX of the BMP only, as UTF-8), numbers and literals as
// written. False on any syntax error or trailing text.
bool readJson(const std::string& text, std::map<std::string, std::string>& values);
