#pragma once
// What the portable part of the child processes gives each system's engine
// (process_posix.cpp, process_win32.cpp).
#include <string>

#include "keelbox/process/process.hpp"

namespace keelbox {

// The result of a child that has ended with `returncode`: the output read
// from its pipes, kept for the streams `options` captured (standard error
// inside standard output when it went there).
ProcessResult finished_result(const ProcessOptions& options, long long returncode, std::string out,
                              std::string err);

}  // namespace keelbox
