// Local files the commands write. One owner per file: a file that cannot be
// created, written or closed (a full disk shows at close) is reported once,
// through log_error, and later writes to it are dropped, so the command goes
// on where its flow goes on.
//
// A download (storage image, note and aux copies, firmware image) is written
// to "<name>.part" and renamed over "<name>" only by commit(): an earlier
// good file survives a failed or interrupted transfer, and the partial one
// stays as "<name>.part".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// A FILE* that closes itself; for files read, or whose close is not checked.
struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Length of a file opened for reading, read position back at the start; -1
// when unknown (a pipe).
int64_t cmd_file_length(std::FILE* f);

constexpr const char* CMD_FILE_WRITE_ERROR = "Error writing file:%s!\n";
constexpr const char* CMD_FILE_LOAD_ERROR = "Error loading file:%s!\n";

class cmd_file_t {
public:
    enum class kind_t { text, download };

    cmd_file_t() = default;
    ~cmd_file_t();
    cmd_file_t(const cmd_file_t&) = delete;
    cmd_file_t& operator=(const cmd_file_t&) = delete;

    // Creates (truncates) the file. The messages take the path as their one
    // "%s" (or ignore it); `write_error` defaults to `open_error`. Returns
    // false after reporting when the file cannot be created.
    bool open(const std::string& path, kind_t kind = kind_t::text, const char* open_error = CMD_FILE_WRITE_ERROR,
              const char* write_error = nullptr);
    bool write(const void* data, size_t size);
    bool puts(const char* text);
    bool printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Closes a text file, or a download that stays "<name>.part"; false when
    // anything failed (already reported).
    bool close();
    // Closes a download and renames it over its real name.
    bool commit();

    bool is_open() const { return file_ != nullptr; }
    // No failure so far (a file never opened is not good).
    bool good() const { return file_ != nullptr && !failed_; }
    const std::string& path() const { return path_; }
    // Where the bytes go now ("<name>.part" for a download).
    std::string write_path() const;

private:
    void fail(const char* message);
    bool finish();

    std::FILE* file_ = nullptr;
    std::string path_;
    kind_t kind_ = kind_t::text;
    const char* write_error_ = CMD_FILE_WRITE_ERROR;
    bool failed_ = false;
};

// Creates a directory (and no parents); an existing one is fine. Reports
// "Error writing file:%s!\n" and gives false when it cannot be made.
bool cmd_make_dir(const std::string& path);
