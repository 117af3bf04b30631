// Where a log record says it comes from. Every record of the library names
// the exported member it belongs to: the exception barrier of each
// exported member opens a MemberScope with that member's signature, and a
// record logged below it, in a helper or a lambda, carries that signature
// with its own file and line. Outside any member a record names the
// function it is written in (a lambda by its enclosing function).
//
// Include this header, not log4cxx's alone, wherever the library logs: it
// replaces log4cxx's location macro for every LOG4CXX_* use after it. The
// signature is looked up only when the level is enabled.
#pragma once

#include <log4cxx/logger.h>

#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace kivo::logging {

// Where a barrier was entered from, taken as a default argument so that it
// is the caller's: std::source_location where the library has it (the
// caller's full signature); else (clang 14 over GCC 12's library, the fuzz
// build) the compiler's builtin, which gives the plain function name.
#if defined(__cpp_lib_source_location)
using Caller = std::source_location;
inline const char* callerName(const Caller& caller) { return caller.function_name(); }
#else
struct Caller {
    static constexpr Caller current(const char* name = __builtin_FUNCTION()) { return Caller{name}; }
    const char* name;
};
inline const char* callerName(const Caller& caller) { return caller.name; }
#endif

// The signature a record logged here names: the innermost member scope's,
// else `own` (the logging function's __PRETTY_FUNCTION__); any lambda
// suffix ("::<lambda()>") removed. Points to storage that lives as long
// as the process.
const char* recordMethod(const char* own) noexcept;

// Names the exported member `signature` (static storage, as
// std::source_location gives it) for the records of this thread until the
// scope ends. A scope opened in a lambda or a file-local helper while
// another is open (a nested barrier) keeps the open one.
class MemberScope {
public:
    explicit MemberScope(const char* signature) noexcept;
    ~MemberScope();
    MemberScope(const MemberScope&) = delete;
    MemberScope& operator=(const MemberScope&) = delete;

private:
    const char* m_previous;
};

}  // namespace kivo::logging

#undef LOG4CXX_LOCATION
#define LOG4CXX_LOCATION                                                                        \
    ::log4cxx::spi::LocationInfo(__FILE__, ::log4cxx::spi::LocationInfo::calcShortFileName(__FILE__), \
                                 ::kivo::logging::recordMethod(__PRETTY_FUNCTION__), __LINE__)
