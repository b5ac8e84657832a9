#pragma once
// The document the collector benchmarks have served: XML lines ending in CR LF; and the
// FNV-1a hash that checks the file written from it without keeping a copy.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace bench {

inline constexpr std::uint64_t kFnvStart = 14695981039346656037ull;

inline std::uint64_t Fnv(std::uint64_t hash, std::string_view bytes) {
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

// Line `n` of the document.
inline std::string DocumentLine(std::size_t n) {
    return "<programma nr=\"" + std::to_string(n) + "\" kanaal=\"" + std::to_string(n % 97) + "\">Uitzending " +
           std::to_string(n * 7919 % 100003) + "</programma>\r\n";
}

// The hash of a file's bytes, read through `buffer` (its size is the size of each read).
inline std::uint64_t FileHash(const std::filesystem::path& file, std::string& buffer) {
    std::uint64_t hash = kFnvStart;
    std::ifstream in(file, std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        hash = Fnv(hash, std::string_view(buffer.data(), static_cast<std::size_t>(in.gcount())));
    }
    return hash;
}

}  // namespace bench
