#include "control/config_file_replacer.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "control/config_check.h"
#include "core/error_text.h"
#include "core/logging.h"
#include "core/proxy_config.h"

namespace {

const char kTag[] = "update_config_thread";

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes all of `data` to a new file at `tmp_path` (a mkstemp template, filled in) and syncs
// it. Returns an empty text, or what failed. The file is removed on failure.
std::string WriteSynced(const std::string& target, const char* data, size_t size,
                        std::string* tmp_path) {
  std::string name = target + ".tmpXXXXXX";
  int fd = mkostemp(&name[0], O_CLOEXEC);
  if (fd < 0)
    return "can't create " + name + ": " + ErrorText(errno);
  *tmp_path = name;

  // The new file keeps the old one's owner and permissions (mkstemp makes it 0600), but never
  // more than 0644: no set-id bit, nothing writable or executable for others.
  struct stat old_stat;
  if (lstat(target.c_str(), &old_stat) == 0) {
    fchmod(fd, old_stat.st_mode & 0644);
    if (fchown(fd, old_stat.st_uid, old_stat.st_gid) != 0) {
      // Not running as the owner: the file stays ours, readable as before by its mode.
    }
  } else {
    fchmod(fd, 0644);
  }

  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int err = errno;
    close(fd);
    unlink(name.c_str());
    return "can't write " + name + ": " + ErrorText(err);
  }
  bool ok = fwrite(data, 1, size, file) == size;
  ok = ok && fflush(file) == 0;
  ok = ok && fsync(fileno(file)) == 0;
  int err = errno;
  if (fclose(file) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(name.c_str());
    return "can't write " + name + ": " + ErrorText(err);
  }
  return std::string();
}

}  // namespace

ConfigFileReplacer::ConfigFileReplacer(const std::string& path) : path_(path) {}

std::string ConfigFileReplacer::CheckLoadable(const char* path) const {
  return ConfigCheck::Check(path, path_.c_str());
}

UpdateConfigOutcome::Result ConfigFileReplacer::Replace(const char* data, size_t size,
                                                        std::string* detail) {
  if (size == 0)
    return Reject("empty body", detail);
  // The body would be cut at its first NUL: that is a truncated file, not a configuration.
  const void* nul = memchr(data, '\0', size);
  if (nul != nullptr) {
    const size_t offset = static_cast<size_t>(static_cast<const char*>(nul) - data);
    return Reject("NUL byte at offset " + std::to_string(offset), detail);
  }

  // A link would have the rename replace whatever file it names, anywhere: the daemon writes
  // its own file or nothing.
  const std::string target = path_;
  struct stat link_stat;
  if (lstat(target.c_str(), &link_stat) == 0 && S_ISLNK(link_stat.st_mode)) {
    QV_LOGW(kTag, "can't open file %s", path_.c_str());
    return WriteFailed(target + " is a symbolic link", detail);
  }
  std::string tmp;
  std::string failure = WriteSynced(target, data, size, &tmp);
  if (!failure.empty()) {
    QV_LOGW(kTag, "can't open file %s", path_.c_str());
    return WriteFailed(failure, detail);
  }

  // The very bytes that are put in place go through the daemon's loader first.
  std::string reason = CheckLoadable(tmp.c_str());
  if (!reason.empty()) {
    unlink(tmp.c_str());
    return Reject(reason, detail);
  }

  if (rename(tmp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    unlink(tmp.c_str());
    return WriteFailed("can't rename " + tmp + " to " + target + ": " + ErrorText(err), detail);
  }
  // The rename itself reaches the disk only with its folder.
  const std::string folder = FolderOf(target);
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || fsync(dir) != 0)
    QV_LOGW(kTag, "config updated, but folder %s not synced: %s", folder.c_str(),
            ErrorText(errno).c_str());
  if (dir >= 0)
    close(dir);
  detail->clear();
  return UpdateConfigOutcome::kUpdated;
}

UpdateConfigOutcome::Result ConfigFileReplacer::Reject(const std::string& reason,
                                                       std::string* detail) {
  QV_LOGW(kTag, "config rejected: %s", reason.c_str());
  *detail = reason;
  return UpdateConfigOutcome::kRejected;
}

UpdateConfigOutcome::Result ConfigFileReplacer::WriteFailed(const std::string& what,
                                                            std::string* detail) {
  QV_LOGW(kTag, "config not written: %s", what.c_str());
  *detail = what;
  return UpdateConfigOutcome::kWriteFailed;
}
