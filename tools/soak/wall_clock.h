#pragma once
#include <chrono>

// The process's wall clock as the devices read it (time()), moved by an
// offset: what a site sees when someone sets the clock back or NTP steps it.
// Only a program that links wall_clock.cpp and exports its time() (see the
// soak's CMakeLists) moves the clock of the libraries it loads.
void SetWallClockOffset(std::chrono::seconds offset);
std::chrono::seconds WallClockOffset();
