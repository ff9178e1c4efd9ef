#pragma once

#include <ostream>
#include <string>
#include <vector>

// The quorvel_view command line: returns the exit status (0 done, 1 failed,
// 2 usage error).
namespace Quorvel::FinalView {

int runViewCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace Quorvel::FinalView
