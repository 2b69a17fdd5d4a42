// Parameter values on disk: one file per parameter, holding its bytes as they
// are, replaced as a whole by rename so a reader never sees half a value.
#include "param_files.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "axparameter.h"

namespace {

// Distinguishes the temporary files of concurrent writers in one process;
// the process id distinguishes processes.
std::atomic<unsigned long> temporary_sequence{0};

std::string value_path(const std::string &directory, const char *name) {
  return directory + "/" + name;
}

// ".<name>.<pid>.<sequence>.tmp": parameter names have no dots, so the
// writer's process id can be read back from the name.
std::string temporary_path(const std::string &directory, const char *name) {
  return directory + "/." + name + "." + std::to_string(getpid()) + "." +
         std::to_string(temporary_sequence.fetch_add(1)) + ".tmp";
}

bool write_all(int fd, const char *data, std::size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

bool fsync_retrying(int fd) {
  while (fsync(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool sync_directory(const std::string &directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = fsync_retrying(fd);
  int saved_errno = errno;
  close(fd);
  errno = saved_errno;
  return synced;
}

void set_storage_error(GError **error, const char *what, const char *name, int error_number) {
  g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_STORAGE, "Cannot %s parameter '%s': %s",
              what, name, g_strerror(error_number));
}

}  // namespace

bool prepare_store_directory(const std::string &directory, GError **error) {
  if (g_mkdir_with_parents(directory.c_str(), 0700) != 0 ||
      access(directory.c_str(), W_OK | X_OK) != 0) {
    int error_number = errno;
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_STORAGE,
                "Cannot use parameter store '%s': %s", directory.c_str(), g_strerror(error_number));
    return false;
  }
  return true;
}

bool read_value_file(const std::string &directory, const char *name, std::string &value,
                     bool &missing, GError **error) {
  value.clear();
  missing = false;
  int fd = open(value_path(directory, name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      missing = true;
      return true;
    }
    set_storage_error(error, "read", name, errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    set_storage_error(error, "read", name, errno);
    close(fd);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    set_storage_error(error, "read", name, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    close(fd);
    return false;
  }
  char buffer[8192];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      set_storage_error(error, "read", name, errno);
      close(fd);
      return false;
    }
    if (got == 0) break;
    value.append(buffer, static_cast<std::size_t>(got));
    if (value.size() > AX_PARAMETER_VALUE_MAX) {
      g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_STORAGE,
                  "Parameter '%s' holds more than %d bytes", name, AX_PARAMETER_VALUE_MAX);
      close(fd);
      return false;
    }
    // A regular file reads short only at its end, and the status document
    // reads five parameters per request: spare the read that returns 0.
    if (value.size() >= static_cast<std::size_t>(info.st_size) && got < static_cast<ssize_t>(sizeof buffer)) break;
  }
  close(fd);
  // A NUL would cut the text the caller gets; such a file was not written here.
  if (value.find('\0') != std::string::npos) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_STORAGE,
                "Parameter '%s' holds a NUL byte", name);
    return false;
  }
  return true;
}

bool write_value_file(const std::string &directory, const char *name, const std::string &value,
                      bool sync, GError **error) {
  std::string temporary = temporary_path(directory, name);
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    set_storage_error(error, "write", name, errno);
    return false;
  }
  // The data reaches the disk before the rename makes it the parameter's
  // value, so neither a crash nor a power cut can leave a short file there.
  bool written = write_all(fd, value.data(), value.size()) && fsync_retrying(fd);
  int error_number = errno;
  if (close(fd) != 0 && errno != EINTR && written) {
    written = false;
    error_number = errno;
  }
  if (written && rename(temporary.c_str(), value_path(directory, name).c_str()) != 0) {
    written = false;
    error_number = errno;
  }
  if (!written) {
    g_unlink(temporary.c_str());
    set_storage_error(error, "write", name, error_number);
    return false;
  }
  if (sync && !sync_directory(directory)) {
    set_storage_error(error, "sync", name, errno);
    return false;
  }
  return true;
}

void remove_orphaned_temporaries(const std::string &directory) {
  GDir *dir = g_dir_open(directory.c_str(), 0, nullptr);
  if (!dir) return;
  while (const gchar *entry = g_dir_read_name(dir)) {
    if (entry[0] != '.' || !g_str_has_suffix(entry, ".tmp")) continue;
    gchar **parts = g_strsplit(entry, ".", -1);
    guint64 pid = 0;
    // parts: "", name, pid, sequence, "tmp"
    bool ours = g_strv_length(parts) == 5 &&
                g_ascii_string_to_unsigned(parts[2], 10, 1, G_MAXINT32, &pid, nullptr);
    g_strfreev(parts);
    // A writer that still runs may be about to rename its file.
    if (ours && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      g_unlink((directory + "/" + entry).c_str());
    }
  }
  g_dir_close(dir);
}
