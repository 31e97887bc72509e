// A reply that trickles in a byte or two at a time, as the simulator and a
// real line deliver it, reaches the reader in one read that returns when its
// end arrives; what is not a frame is handed on as it comes, and the line
// is left so that the next byte wakes the reader again.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "pty.h"
#include "termios_port.h"

namespace {

// What one wait-and-read turn of the polling loop gets.
std::string Turn(TermiosPort& port)
{
    pollfd p{port.Fd(), POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return "(nothing)";
    unsigned char buffer[1024];
    const long n = port.Read(buffer, sizeof buffer);
    return n > 0 ? std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(n))
                 : "(read " + std::to_string(n) + ")";
}

TEST(TermiosRead, AFrameComingInPiecesIsReadWholeAndTheLineIsLeftAsItWas)
{
    Pty pty;
    ASSERT_FALSE(pty.Path().empty());
    TermiosPort port(pty.Path(), 9600);
    ASSERT_TRUE(port.Open()) << port.LastError();
    // A reply without INFO, and one whose LENGTH announces 40 INFO characters.
    const std::string frames[] = {"~200140510000FDB3\r", "~2001400060285658343242202020202020202020202020202020F5E1\r"};
    for (const std::string& frame : frames) {
        std::thread line([&pty, &frame] {
            // The SOI and a byte, then the rest in two pieces a few byte times apart.
            const size_t cut = frame.size() / 2;
            pty.Write(frame.substr(0, 2));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            pty.Write(frame.substr(2, cut - 2));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            pty.Write(frame.substr(cut));
        });
        EXPECT_EQ(Turn(port), frame);
        line.join();
        termios tio{};
        ASSERT_EQ(::tcgetattr(port.Fd(), &tio), 0);
        EXPECT_EQ(tio.c_cc[VMIN], 0) << "a byte between frames would wait for company";
    }
    // Bytes that start no frame go on at once, so do those after a frame's end.
    pty.Write("xyz");
    EXPECT_EQ(Turn(port), "xyz");
    pty.Write("~200140510000FDB3\rab");
    EXPECT_EQ(Turn(port), "~200140510000FDB3\rab");
}

}  // namespace
