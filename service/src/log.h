#pragma once

#include <string_view>

namespace valdane::svc {

// One line on stderr, stamped with the wall-clock time (UTC); whole lines even from threads.
void LogLine(std::string_view line);

} // namespace valdane::svc
