// The service out of descriptors: a client it cannot take waits, one line
// says why, and it is taken once another connection closes.
#include <gtest/gtest.h>
#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/service/raw_client.h"
#include "tests/service/service_world.h"

namespace service_test {
namespace {

// The descriptors the process holds, by number.
std::vector<int> DescriptorsOf(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    std::vector<int> numbers;
    DIR *directory = opendir(path.c_str());
    if (directory == nullptr) {
        return numbers;
    }
    while (dirent *entry = readdir(directory)) {
        if (entry->d_name[0] != '.') {
            numbers.push_back(std::stoi(entry->d_name));
        }
    }
    closedir(directory);
    return numbers;
}

// A connection made by hand, its greeting not waited for.
int Connect(const std::string &path)
{
    int client = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(client);
        return -1;
    }
    return client;
}

bool Greeted(int client, int limitMs)
{
    pollfd ready{client, POLLIN, 0};
    return poll(&ready, 1, limitMs) == 1 && (ready.revents & POLLIN) != 0;
}

TEST(Descriptors, AClientBeyondTheServicesDescriptorsWaitsForOneToClose)
{
    VethPair pair;
    Service service({"--adapter", pair.Near()});
    ASSERT_TRUE(service.Ready());
    // The first client is served before the limit comes down. The sanitizers'
    // runtime checks a dynamic type the first time it meets it through a pipe
    // of its own, and at the limit it finds no descriptors for that pipe and
    // reports the service's first connection as an object of no type.
    std::vector<std::unique_ptr<RawClient>> taken;
    taken.push_back(std::make_unique<RawClient>(service.SocketPath()));
    std::vector<int> held = DescriptorsOf(service.Pid());
    ASSERT_FALSE(held.empty());
    // Room for two clients above the highest descriptor, and one in each gap below it.
    const int highest = *std::max_element(held.begin(), held.end());
    const size_t room = static_cast<size_t>(highest + 1) - held.size() + 2;
    rlimit before{};
    ASSERT_EQ(prlimit(service.Pid(), RLIMIT_NOFILE, nullptr, &before), 0);
    rlimit limit = before;
    limit.rlim_cur = static_cast<rlim_t>(highest + 1 + 2);
    ASSERT_EQ(prlimit(service.Pid(), RLIMIT_NOFILE, &limit, nullptr), 0);

    while (taken.size() < room + 1) {
        taken.push_back(std::make_unique<RawClient>(service.SocketPath()));
    }
    int waiting = Connect(service.SocketPath());
    int alsoWaiting = Connect(service.SocketPath());
    ASSERT_GE(waiting, 0);
    ASSERT_GE(alsoWaiting, 0);
    ASSERT_TRUE(service.WaitForLine("cannot take a new client: Too many open files"));
    // Said when taking the first of them failed: it was not greeted.
    EXPECT_FALSE(Greeted(waiting, 0));

    taken.pop_back();
    EXPECT_TRUE(Greeted(waiting, static_cast<int>(kLimit.count())));
    // With descriptors to spare again the service serves as before. (An
    // attach at the limit may find none for what the platform opens beside
    // it, as under AddressSanitizer.)
    ASSERT_EQ(prlimit(service.Pid(), RLIMIT_NOFILE, &before, nullptr), 0);
    EXPECT_TRUE(taken.front()->Attach(pair.Near()));
    close(waiting);
    close(alsoWaiting);
    taken.clear();
    EXPECT_EQ(service.Stop(), 0);
    size_t said = std::count_if(service.Lines().begin(), service.Lines().end(), [](const std::string &line) {
        return line.find("cannot take a new client") != std::string::npos;
    });
    EXPECT_EQ(said, 1u);
    EXPECT_NE(service.Lines().back().find("every rule kept"), std::string::npos) << service.Lines().back();
}

}  // namespace
}  // namespace service_test
