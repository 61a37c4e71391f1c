// The spool file (spool.h): tmpfile's descriptor, appends buffered, reads
// with pread so that readers share no file position.

#include "spool.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace supervisor {

namespace {
constexpr size_t kBuffer = 1u << 20;
}

std::unique_ptr<Spool> Spool::create(std::string *why) {
    // tmpfile's file is unlinked at once; its descriptor is ours to keep.
    std::FILE *file = std::tmpfile();
    if (file == nullptr) {
        *why = std::string("no temporary file: ") + std::strerror(errno);
        return nullptr;
    }
    const int fd = ::dup(::fileno(file));
    std::fclose(file);
    if (fd < 0) {
        *why = std::string("no temporary file: ") + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<Spool>(new Spool(fd));
}

Spool::~Spool() {
    ::close(fd_);
}

void Spool::append(std::string_view text) {
    buffer_.append(text);
    size_ += text.size();
    if (buffer_.size() >= kBuffer) {
        flush();
    }
}

void Spool::flush() {
    const char *at = buffer_.data();
    size_t left = buffer_.size();
    while (left > 0 && error_ == 0) {
        const ssize_t n = ::write(fd_, at, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error_ = n < 0 ? errno : EIO;
            break;
        }
        at += n;
        left -= static_cast<size_t>(n);
    }
    buffer_.clear();
}

bool Spool::seal(std::string *why) {
    flush();
    if (error_ != 0) {
        *why = std::string("spool not written: ") + std::strerror(error_);
        return false;
    }
    return true;
}

bool Spool::read(size_t offset, size_t max, std::string *out) const {
    out->resize(offset >= size_ ? 0 : std::min(max, size_ - offset));
    size_t done = 0;
    while (done < out->size()) {
        const ssize_t n = ::pread(fd_, out->data() + done, out->size() - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace supervisor
