#pragma once
#include <array>
#include <boost/date_time/posix_time/posix_time_types.hpp>

// YD/T 1363 date-time: year (high byte, low byte), month, day, hour, minute, second.
std::array<unsigned char, 7> get_ttime(boost::posix_time::ptime t);
