// g++ 14 and later make code that lets an exception reach the end of a
// noexcept function call __cxa_call_terminate, a libstdc++ symbol of 2024
// (CXXABI_1.3.15): a module that refers to it needs a libstdc++ that new,
// and its wheel a C library as new.  Defined here, the reference stays
// inside the module (the version script keeps it local); like the
// library's own, it ends the process.
#include <exception>

extern "C" [[noreturn, gnu::used]] void __cxa_call_terminate(void*) noexcept;
extern "C" [[noreturn, gnu::used]] void __cxa_call_terminate(void*) noexcept { std::terminate(); }
