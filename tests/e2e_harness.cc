#include "e2e_harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

Scratch::Scratch() {
    std::string base = (fs::temp_directory_path() / "kmertools-e2e-XXXXXX").string();
    if (!mkdtemp(base.data())) throw std::runtime_error("mkdtemp failed");
    root_ = base;
    work_ = root_ + "/work";
    fs::create_directory(work_);
}

Scratch::~Scratch() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void Scratch::write(const std::string& name, const std::string& content) const {
    std::ofstream f(path(name), std::ios::binary);
    f << content;
    if (!f.flush()) throw std::runtime_error("cannot write " + name);
}

std::string Scratch::read(const std::string& name) const {
    std::ifstream f(path(name), std::ios::binary);
    if (!f) return "<missing>";
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool Scratch::exists(const std::string& name) const {
    struct stat info;
    return lstat(path(name).c_str(), &info) == 0;
}

std::vector<std::string> Scratch::names() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(work_))
        found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}

RunResult Scratch::run(const std::string& binary, const std::vector<std::string>& args, Stdout mode,
                       const std::string& input) const {
    const std::string outPath = root_ + "/stdout", errPath = root_ + "/stderr";
    int pipeFds[2] = {-1, -1};
    if (mode == Stdout::BrokenPipe && pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (chdir(work_.c_str()) != 0) _exit(126);
        int in = open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(err, 2);
        switch (mode) {
            case Stdout::Capture:
                dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
                break;
            case Stdout::Closed:
                close(1);
                break;
            case Stdout::DevFull:
                dup2(open("/dev/full", O_WRONLY), 1);
                break;
            case Stdout::BrokenPipe:
                dup2(pipeFds[1], 1);
                close(pipeFds[0]);
                close(pipeFds[1]);
                break;
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(binary.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    if (mode == Stdout::BrokenPipe) {
        close(pipeFds[0]);
        close(pipeFds[1]);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    auto slurp = [](const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    };
    if (mode == Stdout::Capture) r.out = slurp(outPath);
    r.err = slurp(errPath);
    return r;
}
