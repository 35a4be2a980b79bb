// Runs the built tunedump program and collects what it said and wrote.
#pragma once
#include <sys/wait.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace cli {

struct result {
    int status;  // exit code, or -1 when the program did not exit normally
    std::string out, err;
};

inline std::string scratch_dir()
{
    static const std::string dir = [] {
        static std::string d = TUNEDUMP_BUILD_DIR "/test-scratch-" + std::to_string(::getpid());
        std::system(("mkdir -p '" + d + "'").c_str());
        std::atexit([] { std::system(("rm -rf '" + d + "'").c_str()); });
        return d;
    }();
    return dir;
}

inline std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string quoted(const std::string& arg)
{
    std::string q = "'";
    for (char c : arg)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs tunedump with the arguments; stdin from /dev/null. redirect is added
// to the shell command line as it is (for example "> /dev/full"), prelude
// goes before it (for example "ulimit -f 64;").
inline result run_in_shell(const std::string& prelude, const std::vector<std::string>& args,
                           const std::string& redirect = "")
{
    const std::string out = scratch_dir() + "/stdout", err = scratch_dir() + "/stderr";
    std::string command = prelude + " " + quoted(TUNEDUMP_BINARY);
    for (const std::string& a : args)
        command.append(" ").append(quoted(a));
    command.append(" < /dev/null 2> ").append(quoted(err));
    command.append(redirect.empty() ? " > " : " ");
    command.append(redirect.empty() ? quoted(out) : redirect);
    const int raw = std::system(command.c_str());
    result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}

inline result run(const std::vector<std::string>& args, const std::string& redirect = "")
{
    return run_in_shell("", args, redirect);
}

}  // namespace cli
