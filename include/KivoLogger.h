// The log4cxx logger type held by the exported classes' m_logger members.
#pragma once

#include <log4cxx/logger.h>

namespace kivo {
using LoggerPtr = log4cxx::LoggerPtr;
}
