// The errors of Asio's socket calls as the platform error numbers that MapPlatformError reads.
#pragma once

#include <boost/system/error_code.hpp>
#include <cstdint>

uint32_t PlatformErrorOf(const boost::system::error_code &error);
