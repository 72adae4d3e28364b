#include "e2e_harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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

bool readJson(const std::string& text, std::map<std::string, std::string>& values) {
    size_t at = 0;
    const auto space = [&] {
        while (at < text.size() && std::strchr(" \t\n\r", text[at])) ++at;
    };
    std::function<bool(std::string&)> string = [&](std::string& out) {
        if (text[at] != '"') return false;
        for (++at; at < text.size() && text[at] != '"'; ++at) {
            if (static_cast<unsigned char>(text[at]) < 0x20) return false;
            if (text[at] != '\\') {
                out += text[at];
                continue;
            }
            const char c = text[++at];
            if (c == 'u') {
                const unsigned u = std::stoul(text.substr(at + 1, 4), nullptr, 16);
                at += 4;
                if (u < 0x80)
                    out += char(u);
                else if (u < 0x800)
                    out += char(0xc0 | u >> 6), out += char(0x80 | (u & 0x3f));
                else
                    out += char(0xe0 | u >> 12), out += char(0x80 | (u >> 6 & 0x3f)),
                        out += char(0x80 | (u & 0x3f));
            } else {
                const char* from = "\"\\/bfnrt";
                const char* to = "\"\\/\b\f\n\r\t";
                const char* p = std::strchr(from, c);
                if (!p || !c) return false;
                out += to[p - from];
            }
        }
        return at++ < text.size();
    };
    std::function<bool(const std::string&)> value = [&](const std::string& path) {
        space();
        if (at >= text.size()) return false;
        if (text[at] == '{') {
            ++at, space();
            if (text[at] == '}') return ++at, true;
            for (;;) {
                std::string key;
                space();
                if (!string(key)) return false;
                space();
                if (text[at++] != ':' || !value(path.empty() ? key : path + "." + key))
                    return false;
                space();
                if (text[at] == '}') return ++at, true;
                if (text[at++] != ',') return false;
            }
        }
        std::string scalar;
        if (text[at] == '"') {
            if (!string(scalar)) return false;
        } else {
            const size_t end = text.find_first_of(",}] \n", at);
            scalar = text.substr(at, end - at);
            at = end;
            // JSON's number grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][-+]?[0-9]+)?
            size_t k = scalar[0] == '-';
            const auto digits = [&] {
                const size_t from = k;
                while (k < scalar.size() && std::isdigit(static_cast<unsigned char>(scalar[k])))
                    ++k;
                return k > from;
            };
            bool number = k < scalar.size() && (scalar[k] == '0' ? (++k, true) : digits());
            if (number && k < scalar.size() && scalar[k] == '.') ++k, number = digits();
            if (number && k < scalar.size() && (scalar[k] == 'e' || scalar[k] == 'E')) {
                ++k;
                if (k < scalar.size() && (scalar[k] == '+' || scalar[k] == '-')) ++k;
                number = digits();
            }
            if (scalar != "null" && scalar != "true" && scalar != "false" &&
                !(number && k == scalar.size()))
                return false;
        }
        values[path] = scalar;
        return true;
    };
    if (!value("")) return false;
    space();
    return at == text.size();
}
