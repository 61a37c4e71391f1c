// A text too large to keep in memory for long (a whole chassis's /metrics):
// written once, on the event loop, into an unnamed temporary file, then read
// back by any number of readers, each at its own offset, from any thread.
//
// Invariants: append only before seal; read only after it; the file has no
// name, so nothing is left behind however the process ends.
#ifndef SUPERVISOR_SPOOL_H
#define SUPERVISOR_SPOOL_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace supervisor {

class Spool {
public:
    // nullptr with *why when no temporary file can be had.
    static std::unique_ptr<Spool> create(std::string *why);
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    void append(std::string_view text);
    // Everything appended is in the file; false (with *why) when some of it
    // could not be written.
    bool seal(std::string *why);
    size_t size() const { return size_; }
    // Up to max bytes from offset (fewer at the end, none past it); false
    // when the file could not be read.
    bool read(size_t offset, size_t max, std::string *out) const;

private:
    explicit Spool(int fd) : fd_(fd) {}
    void flush();
    int fd_ = -1;
    std::string buffer_;
    size_t size_ = 0;
    int error_ = 0; // the first write's errno
};

} // namespace supervisor

#endif // SUPERVISOR_SPOOL_H
