#pragma once

// A fresh temporary directory per test, its path free of symbolic links; kept (and its path
// printed) when the test failed, so the files can be looked at.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace TestSupport {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "bosken-test-XXXXXX").string();
        // Resolved, as the product resolves the paths it is given: macOS's TMPDIR lies behind
        // /var -> /private/var.
        if (char* made = ::mkdtemp(pattern.data())) {
            std::error_code error;
            path_ = std::filesystem::canonical(made, error);
            if (error) path_ = made;
        }
    }
    ~TempDir() {
        if (path_.empty()) return;
        if (::testing::Test::HasFailure()) {
            std::fprintf(stderr, "kept test files in %s\n", path_.c_str());
            return;
        }
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Test fixture owning one TempDir.
class TempDirTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path(const std::string& name) const { return dir / name; }
};

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace TestSupport
