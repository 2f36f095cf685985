#include "as_user.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace lagwatch::test_support {

namespace {

bool user_may_search(const struct stat& st, uid_t uid, gid_t gid) {
  if (st.st_uid == uid) return (st.st_mode & S_IXUSR) != 0;
  if (st.st_gid == gid) return (st.st_mode & S_IXGRP) != 0;
  return (st.st_mode & S_IXOTH) != 0;
}

bool same_directory(const char* a, const char* b) {
  struct stat sa;
  struct stat sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Makes every mount of this process's new mount namespace private, so that nothing mounted in it
// reaches the system's own namespace. In a chroot "/" is no mount point: the namespace's real root
// is found from above the chroot (a root set below the old one, at `below`, lets ".." climb past
// it), made private there, and the chroot and working directory are then restored.
bool make_mounts_private(const char* below) {
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return true;
  if (errno != EINVAL) return false;
  const int old_root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int old_cwd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (old_root < 0 || old_cwd < 0 || chroot(below) != 0 || fchdir(old_root) != 0) return false;
  while (!same_directory(".", "..")) {
    if (chdir("..") != 0) return false;
  }
  const bool ok = chroot(".") == 0 &&
                  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  fchdir(old_root) == 0 && chroot(".") == 0 && fchdir(old_cwd) == 0;
  close(old_root);
  close(old_cwd);
  return ok;
}

}  // namespace

AsUser::AsUser(const std::string& tree, uid_t uid, gid_t gid) : tree_(tree), uid_(uid), gid_(gid) {
  // Each proper ancestor, from the top: the first one the user cannot search is covered, and
  // every directory below it down to the tree is made again in the cover.
  for (size_t slash = tree_.find('/', 1); slash != std::string::npos;
       slash = tree_.find('/', slash + 1)) {
    const std::string ancestor = tree_.substr(0, slash);
    struct stat st;
    if (cover_.empty()) {
      if (stat(ancestor.c_str(), &st) == 0 && !user_may_search(st, uid_, gid_)) cover_ = ancestor;
    } else {
      dirs_.push_back(ancestor);
    }
  }
  if (!cover_.empty()) dirs_.push_back(tree_);
}

bool AsUser::enter() const noexcept {
  if (!cover_.empty() && !make_reachable()) {
    static const char text[] = "harness: cannot make the build tree reachable\n";
    (void)!write(2, text, sizeof text - 1);
    return false;
  }
  if (setgroups(0, nullptr) != 0 || setgid(gid_) != 0 || setuid(uid_) != 0) {
    static const char text[] = "harness: cannot change the user\n";
    (void)!write(2, text, sizeof text - 1);
    return false;
  }
  return true;
}

bool AsUser::make_reachable() const noexcept {
  if (unshare(CLONE_NEWNS) != 0 || !make_mounts_private(tree_.c_str())) return false;
  // Opened in this namespace (a bind mount takes its source from the caller's own), before the
  // cover hides it; "/proc/self/fd/N" then names it.
  const int fd = open(tree_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  char held[32];
  snprintf(held, sizeof held, "/proc/self/fd/%d", fd);
  if (mount("tmpfs", cover_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) return false;
  for (const std::string& dir : dirs_) {
    if ((mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) || chmod(dir.c_str(), 0755) != 0)
      return false;
  }
  const bool bound = mount(held, tree_.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
  close(fd);
  return bound;
}

}  // namespace lagwatch::test_support
