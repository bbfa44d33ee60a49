#pragma once

// Headers that only pass configuration sections around need not pull in the whole parser.
namespace toml {
inline namespace v3 {
class table;
}
} // namespace toml
