// Port names told apart before opening: what can never work, and what may come back.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "port_factory.h"

namespace {

TEST(HostPortCheck, TellsPermanentMistakesFromPassingTrouble)
{
    char pattern[] = "/tmp/vx42b-port-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const struct {
        std::string name;
        PortCheck check;
        const char* why;
    } cases[] = {
        {"tcp:gw.example:4001", PortCheck::Usable, ""},
        {"tcp:[::1]:4001", PortCheck::Usable, ""},
        {"tcp:::1:4001", PortCheck::Usable, ""},
        {"tcp:10.0.0.7:65535", PortCheck::Usable, ""},
        {"/dev/null", PortCheck::Usable, ""},  // a character device; only opening it tells it is no terminal
        {"tcp:10.0.0.7", PortCheck::Permanent, "has no port number; expected tcp:HOST:PORT with PORT from 1 to 65535"},
        {"tcp:[::1]", PortCheck::Permanent, "has no port number"},
        {"tcp:10.0.0.7:", PortCheck::Permanent, "has no port number"},
        {"tcp::4001", PortCheck::Permanent, "has no host"},
        {"tcp:[]:4001", PortCheck::Permanent, "has no host"},
        {"tcp:10.0.0.7:0", PortCheck::Permanent, "has port 0, out of range"},
        {"tcp:10.0.0.7:65536", PortCheck::Permanent, "has port 65536, out of range"},
        {"tcp:10.0.0.7:99999999999999999999", PortCheck::Permanent, "has port 99999999999999999999, out of range"},
        {"tcp:10.0.0.7:telnet", PortCheck::Permanent, "has port \"telnet\", not a number"},
        {"tcp:10.0.0.7:-1", PortCheck::Permanent, "has port \"-1\", not a number"},
        {"", PortCheck::Permanent, "is empty"},
        {dir, PortCheck::Permanent, "is a directory, not a serial device"},
        {dir + "/missing", PortCheck::Passing, "No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        EXPECT_EQ(CheckPortName(c.name, why), c.check);
        EXPECT_EQ(why.find(c.why), 0u) << why;
    }
    ::rmdir(dir.c_str());
}

}  // namespace
