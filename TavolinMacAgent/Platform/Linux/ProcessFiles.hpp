#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavolin {

// What /proc tells about another process of this user. Thread-safe. Processes of other users,
// ended processes and unreadable files give empty answers.

// The process's arguments, its program first.
std::vector<std::string> processCommandLine(std::int64_t pid);

// The value of one variable of the environment the process started with.
std::optional<std::string> processEnvironmentValue(std::int64_t pid, std::string_view name);

}  // namespace tavolin
