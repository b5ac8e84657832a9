#pragma once
// A fresh folder of a test's own under the system's temporary folder, removed with all it
// holds when the object goes, and the plain file helpers the tests use around it.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace testsupport {

class TempFolder {
public:
    // ctest runs test programs side by side, each with the same counter, so a random part
    // of the process keeps their folders apart.
    explicit TempFolder(const std::string& tag = "test") {
        static std::atomic<int> counter{0};
        static const unsigned processTag = std::random_device{}();
        path_ = std::filesystem::temp_directory_path() /
                ("vbx-" + tag + "-" + std::to_string(processTag) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path Path(const std::string& name) const { return path_ / name; }
    // The folder, or a name in it, as the program's calls take it.
    std::u16string Name() const { return path_.u16string(); }
    std::u16string File(const std::string& name) const { return Path(name).u16string(); }
    // The names in the folder, sorted.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Symbolic links need a right that Windows (and Wine) may not grant: false where refused.
inline bool MakeLink(const std::filesystem::path& to, const std::filesystem::path& at) {
    std::error_code error;
    std::filesystem::create_symlink(to, at, error);
    return !error;
}

}  // namespace testsupport
