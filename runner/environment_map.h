// EnvironmentMap: the variables collected for one program run, name to value.
//
// Keys are case-sensitive ("Path" and "PATH" are two variables). Iteration is
// in ascending byte order of the names, and that order matters: the block
// builder removes an existing variable by the *beginning* of its text, so for
// two names X and XY, X (set first) removes only agent variables that start
// with X, and XY (set afterwards) cannot remove X=... . Both end up in the child.
#pragma once

#include <map>
#include <string>

namespace runner {

using EnvironmentMap = std::map<std::string, std::string>;

}  // namespace runner
