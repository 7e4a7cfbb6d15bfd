// Whole files in and out, a fresh working directory, and counting in texts:
// what the tests that run commands in a directory of their own share.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline std::vector<uint8_t> slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
inline std::string slurp_text(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void spit(const std::filesystem::path& p, const std::vector<uint8_t>& b) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::ssize(b));
}

// A new directory under /tmp, the working directory while the object lives;
// removed with everything in it afterwards.
class WorkDir {
public:
    WorkDir() {
        std::string name = (std::filesystem::temp_directory_path() / "qm_test_XXXXXX").string();
        if (::mkdtemp(name.data()) == nullptr) std::abort();
        path_ = name;
        std::filesystem::current_path(path_);
    }
    ~WorkDir() {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(path_);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    const std::filesystem::path old_ = std::filesystem::current_path();
    std::filesystem::path path_;
};

inline size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The number behind each occurrence of `key`, in order.
inline std::vector<int> numbers_after(const std::string& text, const std::string& key) {
    std::vector<int> found;
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1))
        found.push_back(std::atoi(text.c_str() + at + key.size()));
    return found;
}
