// A folder nobody may write into while the guard lives: mode 0555 for an ordinary user, the
// immutable attribute for root (whom permissions do not bind). ok() is false when neither
// can be had here (a file system without the attribute, no capability).
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const std::filesystem::path& folder) : folder_(folder) {
    if (geteuid() != 0) {
      std::filesystem::permissions(
          folder_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    } else {
      immutable_ = SetImmutable(true);
    }
    // Proof by trying: a file cannot be made in it.
    const std::filesystem::path probe = folder_ / ".probe";
    std::ofstream(probe.string()) << "x";
    ok_ = !std::filesystem::exists(probe);
    std::error_code ec;
    if (!ok_) std::filesystem::remove(probe, ec);
  }
  ~ReadOnlyFolder() {
    if (immutable_) SetImmutable(false);
    std::error_code ec;
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;
  bool ok() const { return ok_; }

 private:
  bool SetImmutable(bool on) {
    const int fd = open(folder_.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
  }

  std::filesystem::path folder_;
  bool immutable_ = false;
  bool ok_ = false;
};
