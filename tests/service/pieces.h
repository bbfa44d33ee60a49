#pragma once

#include <algorithm>
#include <string>

namespace valdane::svc::test {

// The '|'-separated pieces that `text` lacks, or with want = false those it holds: "" when all
// is as wanted, else a failure message naming each piece that is not.
inline std::string Lacks(const std::string& text, const std::string& pieces, bool want = true) {
    std::string out;
    for (std::size_t from = 0, to; from <= pieces.size(); from = to + 1) {
        to = std::min(pieces.find('|', from), pieces.size());
        const std::string piece = pieces.substr(from, to - from);
        if ((text.find(piece) != std::string::npos) != want)
            out += piece + "\n";
    }
    return out;
}

inline std::string Holds(const std::string& text, const std::string& pieces) {
    return Lacks(text, pieces, false);
}

} // namespace valdane::svc::test
