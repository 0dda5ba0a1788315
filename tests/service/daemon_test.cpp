// rezezura-host as a daemon: readiness and stopping told to the service
// manager through its notification socket, and what `cmake --install` puts
// where a system's programs, libraries, headers and units go.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/service/service_world.h"

namespace service_test {
namespace {

// A notification socket such as systemd gives a service of Type=notify.
class ManagerSocket {
public:
    ManagerSocket() : path_(FreshSocketPath() + ".notify")
    {
        socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        bound_ = bind(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    }
    ~ManagerSocket()
    {
        unsetenv("NOTIFY_SOCKET");
        close(socket_);
        unlink(path_.c_str());
    }
    bool Bound() const { return bound_; }
    // The next notification within the limit, or nothing.
    std::string Next() const
    {
        pollfd wait = {socket_, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(kLimit.count())) != 1) {
            return "";
        }
        char text[1024];
        ssize_t got = recv(socket_, text, sizeof text, 0);
        return got > 0 ? std::string(text, static_cast<size_t>(got)) : "";
    }

private:
    std::string path_;
    int socket_ = -1;
    bool bound_ = false;
};

TEST(Daemon, TellsTheServiceManagerItServesAndThatItStops)
{
    VethPair pair;
    ManagerSocket manager;
    ASSERT_TRUE(manager.Bound());
    Service service({"--adapter", pair.Near()});
    ASSERT_TRUE(service.Ready());
    std::string ready = manager.Next();
    EXPECT_NE(ready.find("READY=1"), std::string::npos) << ready;
    EXPECT_NE(ready.find("STATUS=serving \\Device\\" + pair.Near()), std::string::npos) << ready;
    EXPECT_EQ(service.Stop(), 0);
    EXPECT_EQ(manager.Next(), "STOPPING=1");
}

TEST(Daemon, InstallsItsProgramsLibraryHeaderAndUnit)
{
    namespace fs = std::filesystem;
    fs::path prefix = FreshSocketPath() + ".prefix";
    ASSERT_EQ(RunProgram({"cmake", "--install", REZEZURA_BUILD_DIR, "--prefix", prefix.string()}), 0);
    for (const char *installed : {"sbin/rezezura-host", "bin/relayctl", "include/rezezura/rezezura_client.h",
                                  "include/rezezura/control/relay_ioctl.h", "lib/systemd/system/rezezura-host.service"}) {
        EXPECT_TRUE(fs::exists(prefix / installed)) << installed;
    }
    bool library = false;
    for (const auto &entry : fs::recursive_directory_iterator(prefix)) {
        library = library || entry.path().filename() == "librezezura_client.a";
    }
    EXPECT_TRUE(library);
    // The header stands on its own for a C program.
    fs::path program = prefix / "program.c";
    std::ofstream(program) << "#include <rezezura/rezezura_client.h>\n"
                              "int main(void) { rezezura_client *client; return rezezura_open(&client).status; }\n";
    EXPECT_EQ(RunProgram({"cc", "-fsyntax-only", "-I" + (prefix / "include").string(), program.string()}), 0);
    std::ifstream unit(prefix / "lib/systemd/system/rezezura-host.service");
    std::stringstream text;
    text << unit.rdbuf();
    EXPECT_NE(text.str().find("Type=notify"), std::string::npos);
    EXPECT_NE(text.str().find("/sbin/rezezura-host --all"), std::string::npos);
    fs::remove_all(prefix);
}

}  // namespace
}  // namespace service_test
