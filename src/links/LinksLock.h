#pragma once

#include <QString>

namespace vf {

// Who holds the link tables of a program folder: a run in the window, a batch run, or a
// verification.
enum class LinksUser { Window, Batch, Verification };

// The lock of a LinksTables folder, held for a whole run or verification: an operating-system
// lock on the file "velquor-fusion.lock" of the folder (flock on POSIX systems, LockFileEx on
// Windows), so that it goes with the process that holds it, even a killed one. A run takes it
// alone; verifications share it. The file's text names the holder (what it is, its process,
// user and start), which a refused program shows.
class LinksLock {
public:
    LinksLock() = default;
    ~LinksLock();
    LinksLock(LinksLock&& other) noexcept;
    LinksLock& operator=(LinksLock&& other) noexcept;
    LinksLock(const LinksLock&) = delete;
    LinksLock& operator=(const LinksLock&) = delete;

    // Takes the lock of the folder (which must exist) for `user`. Returns false with a French
    // message in *refusal when another program holds it, or when the lock file cannot be used.
    bool take(const QString& linksFolder, LinksUser user, QString* refusal);
    void release();
    bool isHeld() const;

private:
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

} // namespace vf
