#include "commands/cmd_file.h"

#include <cerrno>
#include <cstdarg>
#include <sys/stat.h>

#include "libcomm/libcomm.h"

int64_t cmd_file_length(std::FILE* f) {
    if (fseeko(f, 0, SEEK_END) != 0) return -1;
    const off_t length = ftello(f);
    if (fseeko(f, 0, SEEK_SET) != 0) return -1;
    return length;
}

cmd_file_t::~cmd_file_t() { close(); }

std::string cmd_file_t::write_path() const { return kind_ == kind_t::download ? path_ + ".part" : path_; }

bool cmd_file_t::open(const std::string& path, kind_t kind, const char* open_error, const char* write_error) {
    close();
    path_ = path;
    kind_ = kind;
    write_error_ = write_error ? write_error : open_error;
    failed_ = false;
    file_ = std::fopen(write_path().c_str(), kind == kind_t::download ? "wb" : "w");
    if (file_ == nullptr) {
        failed_ = true;
        log_error(open_error, path_.c_str());
        return false;
    }
    return true;
}

void cmd_file_t::fail(const char* message) {
    if (failed_) return;
    failed_ = true;
    log_error(message, path_.c_str());
}

bool cmd_file_t::write(const void* data, size_t size) {
    if (!good()) return false;
    if (size > 0 && std::fwrite(data, 1, size, file_) != size) fail(write_error_);
    return good();
}

bool cmd_file_t::puts(const char* text) {
    if (!good()) return false;
    if (std::fputs(text, file_) == EOF) fail(write_error_);
    return good();
}

bool cmd_file_t::printf(const char* format, ...) {
    if (!good()) return false;
    va_list args;
    va_start(args, format);
    int n = std::vfprintf(file_, format, args);
    va_end(args);
    if (n < 0) fail(write_error_);
    return good();
}

bool cmd_file_t::finish() {
    if (file_ == nullptr) return false;
    // A full disk often shows only when the buffer is flushed.
    if (std::fclose(file_) != 0) fail(write_error_);
    file_ = nullptr;
    return !failed_;
}

bool cmd_file_t::close() {
    if (file_ == nullptr) return false;
    return finish();
}

bool cmd_file_t::commit() {
    if (!finish()) return false;
    if (kind_ == kind_t::download && std::rename(write_path().c_str(), path_.c_str()) != 0) {
        failed_ = false;  // report the rename, once
        fail(write_error_);
        return false;
    }
    return true;
}

bool cmd_make_dir(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    struct stat st {};
    if (errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    log_error(CMD_FILE_WRITE_ERROR, path.c_str());
    return false;
}
