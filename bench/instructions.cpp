#include "bench/instructions.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

extern char **environ;

namespace bench {
namespace {

constexpr char kTrigger[] = "desc: Trigger: Client Request: ";
constexpr char kTotals[] = "totals: ";

bool RunUnderCallgrind(const std::string &outFile, uint64_t frames)
{
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::vector<std::string> args = {"valgrind",
                                     "--tool=callgrind",
                                     "--quiet",
                                     "--collect-atstart=no",
                                     "--callgrind-out-file=" + outFile,
                                     self,
                                     kCountFlag + std::to_string(frames)};
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t child;
    if (posix_spawnp(&child, "valgrind", nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "instructions: valgrind could not be started\n");
        return false;
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "instructions: the callgrind run failed\n");
        return false;
    }
    return true;
}

// One dump: the name its client request gave it and its instruction total.
void ReadDump(const std::filesystem::path &path, uint64_t frames, std::map<std::string, double> &counts)
{
    std::ifstream in(path);
    std::string line;
    std::string name;
    while (std::getline(in, line)) {
        if (line.rfind(kTrigger, 0) == 0) {
            name = line.substr(sizeof kTrigger - 1);
        } else if (line.rfind(kTotals, 0) == 0 && !name.empty()) {
            counts[name] = std::strtod(line.c_str() + sizeof kTotals - 1, nullptr) / static_cast<double>(frames);
        }
    }
}

}  // namespace

std::map<std::string, double> CountInstructions(uint64_t frames)
{
    std::map<std::string, double> counts;
    char pattern[] = "/tmp/rezezura-callgrind-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::fprintf(stderr, "instructions: no directory for the dumps\n");
        return counts;
    }
    std::filesystem::path directory = pattern;
    if (RunUnderCallgrind((directory / "callgrind.out").string(), frames)) {
        for (const auto &entry : std::filesystem::directory_iterator(directory)) {
            ReadDump(entry.path(), frames, counts);
        }
    }
    std::filesystem::remove_all(directory);
    return counts;
}

}  // namespace bench
